// Two processes, each a station of its own on one of two hosts, exchange a message and its
// confirmation over real UDP. The hosts are two network namespaces joined by a veth pair: every
// datagram goes to the station port of its destination, so the two ends cannot share one
// network stack, and the traffic must stay off the machine's own network.

#include "support/namespacepair.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>

#include <memory>
#include <string>

namespace {

using Side = NamespacePair::Side;

constexpr int kConnectTimeoutMs = 10000;
constexpr int kReadyTimeoutMs = 10000;
constexpr int kExchangeTimeoutMs = 20000;

const QByteArray kKey = "PC7~12";
const QByteArray kIdent = "Reception";
// A "|" inside the body is no separator, and "\xF8" is the Windows-1250 "ř": both must arrive
// as they were sent.
const QByteArray kBody = "a|b \xF8"
                         "ekl";

class WireExchangeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hosts = std::make_unique<NamespacePair>();
        if (m_hosts->status() == NamespacePair::Status::Unavailable)
            GTEST_SKIP() << "two hosts cannot be simulated here: " << m_hosts->problem();
        ASSERT_TRUE(m_hosts->status() == NamespacePair::Status::Ready)
                << "the two hosts could not be set up: " << m_hosts->problem();
        std::string problem;
        ASSERT_TRUE(m_hosts->waitUntilConnected(QDeadlineTimer(kConnectTimeoutMs), &problem))
                << problem;
    }

    QByteArray address(Side side) const { return m_hosts->address(side); }

    void startPeer(Side side, ChildProcess &peer, const QByteArrayList &arguments)
    {
        std::string problem;
        ASSERT_TRUE(m_hosts->start(side, peer, WIRE_PEER_PATH, arguments, &problem)) << problem;
    }

    // Listens in B for one message; returns once it is listening.
    void startReceiver()
    {
        ASSERT_NO_FATAL_FAILURE(startPeer(Side::B, m_receiver, {"serve", "1", "15"}));
        ASSERT_TRUE(m_receiver.waitForLine("ready", QDeadlineTimer(kReadyTimeoutMs)))
                << "the receiver did not start listening: " << m_receiver.describe();
    }

    void startSender(int timeoutSeconds)
    {
        ASSERT_NO_FATAL_FAILURE(startPeer(Side::A,
                                          m_sender,
                                          {"send",
                                           address(Side::B),
                                           kKey,
                                           kIdent,
                                           kBody,
                                           QByteArray::number(timeoutSeconds)}));
    }

    void expectConfirmed()
    {
        ASSERT_TRUE(m_sender.waitForFinished(QDeadlineTimer(kExchangeTimeoutMs)))
                << "the sender did not finish: " << m_sender.describe();
        const QByteArray expected = "confirmed " + kKey + " from " + address(Side::B);
        EXPECT_EQ(m_sender.exitCode(), 0) << "the sender " << m_sender.describe();
        EXPECT_TRUE(m_sender.outputLines().contains(expected))
                << "expected the line: " << expected.toStdString() << "\nthe sender "
                << m_sender.describe();
    }

    void expectReceivedOnce()
    {
        ASSERT_TRUE(m_receiver.waitForFinished(QDeadlineTimer(kExchangeTimeoutMs)))
                << "the receiver did not finish: " << m_receiver.describe();
        EXPECT_EQ(m_receiver.exitCode(), 0) << "the receiver " << m_receiver.describe();
        const QByteArray expected
                = "message " + kKey + '|' + kIdent + '|' + kBody + " from " + address(Side::A);
        EXPECT_EQ(m_receiver.outputLines().count(expected), 1)
                << "expected the line: " << expected.toStdString() << "\nthe receiver "
                << m_receiver.describe();
    }

    // Declared first, so that both peers are killed before their namespaces are deleted.
    std::unique_ptr<NamespacePair> m_hosts;
    ChildProcess m_receiver;
    ChildProcess m_sender;
};

TEST_F(WireExchangeTest, MessageIsDeliveredAndConfirmedAcrossHosts)
{
    ASSERT_NO_FATAL_FAILURE(startReceiver());
    ASSERT_NO_FATAL_FAILURE(startSender(10));

    expectConfirmed();
    expectReceivedOnce();
}

TEST_F(WireExchangeTest, SenderResendsUntilThePeerListens)
{
    // The first datagram reaches a host where nothing listens yet and is lost; only a later one
    // can be confirmed.
    ASSERT_NO_FATAL_FAILURE(startSender(10));
    ASSERT_TRUE(m_sender.waitForLine("sent 1", QDeadlineTimer(kReadyTimeoutMs)))
            << "the sender " << m_sender.describe();
    ASSERT_NO_FATAL_FAILURE(startReceiver());

    expectConfirmed();
    EXPECT_TRUE(m_sender.outputLines().contains("sent 2")) << "the sender " << m_sender.describe();
    expectReceivedOnce();
}

TEST_F(WireExchangeTest, SenderGivesUpWithoutConfirmation)
{
    ASSERT_NO_FATAL_FAILURE(startSender(2));

    ASSERT_TRUE(m_sender.waitForFinished(QDeadlineTimer(kExchangeTimeoutMs)))
            << "the sender did not give up: " << m_sender.describe();
    EXPECT_EQ(m_sender.exitCode(), 1) << "the sender " << m_sender.describe();
    const QByteArrayList lines = m_sender.outputLines();
    EXPECT_TRUE(lines.contains("sent 2"))
            << "the sender did not send again: " << m_sender.describe();
    for (const QByteArray &line : lines)
        EXPECT_FALSE(line.startsWith("confirmed")) << "the sender " << m_sender.describe();
}

} // namespace
