#include "platform/computername.h"

#include "support/printers.h"

#include <gtest/gtest.h>

TEST(ComputerName, EndsAtTheFirstDot)
{
    EXPECT_EQ(ComputerNetworkNameFrom("pc-novak.kancelar.example.cz"), QByteArray("pc-novak"));
    EXPECT_EQ(ComputerNetworkNameFrom("pc-novak"), QByteArray("pc-novak"));
    EXPECT_EQ(ComputerNetworkNameFrom(".local"), QByteArray());
    EXPECT_EQ(ComputerNetworkNameFrom(""), QByteArray());
}

TEST(ComputerName, KeepsTheWholeFirstLabel)
{
    // Two computers whose names share their first 15 characters must not send as one.
    EXPECT_EQ(ComputerNetworkNameFrom("accounting-pc-01"), QByteArray("accounting-pc-01"));
    EXPECT_EQ(ComputerNetworkNameFrom("accounting-pc-02.example.cz"),
              QByteArray("accounting-pc-02"));
    const QByteArray label(63, 'a');
    EXPECT_EQ(ComputerNetworkNameFrom(label + ".example.cz"), label);
    EXPECT_EQ(ComputerNetworkNameFrom(label + "bcd"), label);
}

TEST(ComputerName, ThisComputerHasAName)
{
    const QByteArray name = ComputerNetworkName();

    EXPECT_FALSE(name.isEmpty());
    EXPECT_LE(name.size(), 63);
    EXPECT_FALSE(name.contains('.'));
}
