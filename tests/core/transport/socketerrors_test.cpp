#include "core/transport/socketerrors.h"
#include "core/transport/socketlayer.h"
#include "core/transport/transporterror.h"
#include "support/printers.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <cerrno>

TEST(SocketErrorText, MessagesCarryTheCodeAndItsTextOnTheNextLine)
{
    EXPECT_EQ(SocketError(11001).text(), QByteArray("Socket Error # 11001\r\nHost not found."));
    EXPECT_EQ(SocketError(10013).text(), QByteArray("Socket Error # 10013\r\nAccess denied."));
    EXPECT_EQ(SocketError(10013).code(), 10013);
    // The two texts that break the pattern of the table.
    EXPECT_EQ(SocketErrorText(10035), QByteArray("Operation would block. "));
    EXPECT_EQ(SocketErrorText(10066), QByteArray("Directory not empty"));
    // A code the table does not know shows its number and an empty text.
    EXPECT_EQ(SocketErrorMessage(12345), QByteArray("Socket Error # 12345\r\n"));
}

TEST(SocketErrorText, LinuxErrorsMapOntoTheNumbersThePeersShow)
{
    EXPECT_EQ(WinsockCodeFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WinsockCodeFromErrno(EMSGSIZE), 10040);
    EXPECT_EQ(WinsockCodeFromErrno(EACCES), 10013);
    EXPECT_EQ(WinsockCodeFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(WinsockCodeFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(WinsockCodeFromErrno(ENETDOWN), 10050);
    EXPECT_EQ(WinsockCodeFromErrno(ECONNREFUSED), 10061);
    // Every mapped errno lands on a code that has a text.
    for (int e = 1; e < 134; ++e) {
        const int code = WinsockCodeFromErrno(e);
        if (code != e) {
            EXPECT_FALSE(SocketErrorText(code).isEmpty()) << "errno " << e << " -> " << code;
        }
    }
    EXPECT_EQ(WinsockCodeFromResolver(EAI_NONAME, 0), 11001);
    EXPECT_EQ(WinsockCodeFromResolver(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(WinsockCodeFromResolver(EAI_SYSTEM, EMFILE), 10024);
}

TEST(IsIPv4Literal, FourPartsEachFromZeroTo255)
{
    EXPECT_TRUE(SocketLayer::IsIPv4Literal("192.168.0.7"));
    EXPECT_TRUE(SocketLayer::IsIPv4Literal("0.0.0.0"));
    EXPECT_TRUE(SocketLayer::IsIPv4Literal("255.255.255.255"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("1.2.3"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("1.2.3.4.5"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("10.0.0.300"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("1..2.3"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal(""));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("PC7"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("1.2.3.4 "));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("1.2.3.-1"));
}

TEST(IsIPv4Literal, PartsMayBeHexadecimalSignedOrLedByBlanks)
{
    const auto address = SocketLayer::ParseIPv4Literal("$7f. 0x0.+0.X1");
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(*address, (IPv4Address{127, 0, 0, 1}));
    EXPECT_TRUE(SocketLayer::IsIPv4Literal("0XFF.x0A.-0.1"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("0x100.0.0.1"));
    EXPECT_FALSE(SocketLayer::IsIPv4Literal("$.0.0.1"));
}
