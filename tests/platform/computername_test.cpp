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

TEST(ComputerName, KeepsAtMostFifteenCharacters)
{
    EXPECT_EQ(ComputerNetworkNameFrom("abcdefghijklmno"), QByteArray("abcdefghijklmno"));
    EXPECT_EQ(ComputerNetworkNameFrom("abcdefghijklmnopqrstu"), QByteArray("abcdefghijklmno"));
    EXPECT_EQ(ComputerNetworkNameFrom("abcdefghijklmnopq.example.cz"),
              QByteArray("abcdefghijklmno"));
}

TEST(ComputerName, ThisComputerHasAName)
{
    const QByteArray name = ComputerNetworkName();

    EXPECT_FALSE(name.isEmpty());
    EXPECT_LE(name.size(), 15);
    EXPECT_FALSE(name.contains('.'));
}
