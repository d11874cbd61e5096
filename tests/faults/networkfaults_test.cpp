// The station's network misbehaving: its port held by another program, the cable pulled under a
// queued message at either end, and a partner that confirms from another address than the one
// the message went to. The station runs in a child of its own inside a network namespace, its
// clock driven tick by tick by the test, so that the retries come without waiting for them.

#include "faultchild.h"

#include "core/protocol.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "support/namespacepair.h"
#include "support/rawpeer.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"
#include "support/teststation.h"
#include "tools/udppeer.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kConnectTimeoutMs = 10000;

QByteArray StartFailure(const QByteArray &systemText)
{
    return EncodeWindows1250(u"Program nelze spustit!\r\n\r\nMožné důvody: buď již jednou "
                             u"spuštěn je, nebo není nainstalovaná podpora síťového protokolu "
                             u"TCP/IP.\r\nHlášení systému: ")
           + systemText
           + EncodeWindows1250(u"\r\nPokud je již spuštěn, poklepejte na jeho ikonu v SysTray "
                               u"v pravém dolním rohu.");
}

// The station under test, listening on the protocol port of its private network.
struct Station : TestStation
{
    explicit Station(quint16 port = kStationPort)
        : TestStation({}, port)
    {}
};

using Kind = StationRecord::Kind;

// A plain socket on the station port of a host that the test's process is not in.
UdpPeer HostSocket(const NamespacePair &pair, NamespacePair::Side side, std::string *problem)
{
    return UdpPeerIn(pair.name(side), pair.address(side).constData(), kStationPort, problem);
}

// "ip -n NAMESPACE link set dev INTERFACE up|down": the cable of one host plugged or pulled.
void SetLink(const NamespacePair &pair, NamespacePair::Side side, const char *state)
{
    ChildProcess ip;
    std::string problem;
    const QByteArrayList arguments{
            "-n", pair.name(side), "link", "set", "dev", pair.interfaceName(side), state};
    ASSERT_TRUE(ip.start(IpProgram(), arguments, &problem)) << problem;
    ASSERT_TRUE(ip.waitForFinished(QDeadlineTimer(10000))) << ip.describe();
    ASSERT_EQ(ip.exitCode(), 0) << ip.describe();
}

class NetworkFault : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (IpProgram().isEmpty())
            GTEST_SKIP() << "no \"ip\" program to pull a link with";
        m_pair = std::make_unique<NamespacePair>();
        if (m_pair->status() == NamespacePair::Status::Unavailable)
            GTEST_SKIP() << "two hosts cannot be simulated here: " << m_pair->problem();
        ASSERT_EQ(m_pair->status(), NamespacePair::Status::Ready) << m_pair->problem();
        std::string problem;
        ASSERT_TRUE(m_pair->waitUntilConnected(QDeadlineTimer(kConnectTimeoutMs), &problem))
                << problem;
    }

    std::unique_ptr<NamespacePair> m_pair;
};

} // namespace

TEST(StationPortFault, PortHeldByAnotherProgramStopsTheStartWithTheWarning)
{
    RUN_IN_PRIVATE_NETWORK([] {
        // Another program: a process of its own that holds the port until its pipe closes.
        int ready[2];
        int release[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
        const pid_t holder = ::fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const UdpPeer port("0.0.0.0", kStationPort);
            const char bound = port.bound() ? 1 : 0;
            if (::write(ready[1], &bound, 1) != 1)
                ::_exit(2);
            char ignored = 0;
            while (::read(release[0], &ignored, 1) < 0 && errno == EINTR) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        char bound = 0;
        ASSERT_EQ(::read(ready[0], &bound, 1), 1);
        ASSERT_EQ(bound, 1) << "the other program could not take the port";

        UseSettings(QByteArray()); // no settings file: the default port
        UseFreshMessageStore();
        {
            RecordingBoxes boxes;
            Tdm dm(boxes, [] { return QByteArray("PC7"); });
            EXPECT_FALSE(dm.started());
            EXPECT_EQ(boxes.warnings,
                      std::vector<QByteArray>{StartFailure(
                              "Could not bind socket. Address and port are already in use.")});
            EXPECT_TRUE(boxes.errors.empty());
            EXPECT_EQ(dm.listeningPort(), 0);
        }
        // Reading the settings made no file, and the other program still has its port.
        EXPECT_FALSE(QFileInfo::exists(UsedSettingsPath()));
        EXPECT_EQ(::waitpid(holder, nullptr, WNOHANG), 0) << "the other program has ended";
        RawPeer second("0.0.0.0", kStationPort);
        EXPECT_FALSE(second.bound()) << "the port was free again after the failed start";

        ::close(release[1]);
        int status = 0;
        ASSERT_EQ(::waitpid(holder, &status, 0), holder);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        // With the port given back, the same station starts.
        RecordingBoxes boxes;
        Tdm dm(boxes, [] { return QByteArray("PC7"); });
        EXPECT_TRUE(dm.started());
        EXPECT_TRUE(boxes.warnings.empty());
    });
}

TEST_F(NetworkFault, PartnersCablePulledUnderAQueuedMessageItIsSentWhenItComesBack)
{
    const NamespacePair &pair = *m_pair;
    RUN_IN_FAULT_CHILD(PrepareInsideNetworkNamespace(pair.name(NamespacePair::Side::A)), [&] {
        const QByteArray partner = pair.address(NamespacePair::Side::B);
        std::string problem;
        const UdpPeer b = HostSocket(pair, NamespacePair::Side::B, &problem);
        ASSERT_TRUE(b.bound()) << problem;
        Station station;
        ASSERT_TRUE(station.dm->started());

        ASSERT_NO_FATAL_FAILURE(SetLink(pair, NamespacePair::Side::B, "down"));
        station.dm->QueueMessage("Sklad", partner, "ahoj");
        const QByteArray key = station.dm->outboundQueue()[0].Key;
        // The first two attempts go into a cable that leads nowhere: no error, no datagram.
        station.ticksUntil(8);
        EXPECT_TRUE(b.receiveAll(500).empty());
        ASSERT_EQ(station.dm->outboundQueue().size(), 1u);
        EXPECT_EQ(station.dm->outboundQueue()[0].State, TMessageQueueItem::Pending);
        EXPECT_EQ(station.dm->outboundQueue()[0].Attempts, 6);
        EXPECT_EQ(station.count(Kind::GivenUp), 0);
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 0);

        ASSERT_NO_FATAL_FAILURE(SetLink(pair, NamespacePair::Side::B, "up"));
        ASSERT_TRUE(pair.waitUntilConnected(QDeadlineTimer(kConnectTimeoutMs), &problem))
                << problem;
        station.ticksUntil(16);
        const std::vector<QByteArray> seen = b.receiveAll(5000);
        ASSERT_EQ(seen, std::vector<QByteArray>{"=" + key + "|Recepce|ahoj"});
        b.sendTo(pair.address(NamespacePair::Side::A).constData(), kStationPort, "#" + key);

        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Confirmed) == 1; }));
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 1);
        EXPECT_EQ(station.dm->tOut().row(0).MSG, QByteArray("ahoj"));
        EXPECT_EQ(station.statusLines(), std::vector<QByteArray>{"Konfirmace " + key});
        EXPECT_EQ(station.count(Kind::GivenUp), 0);
    });
}

TEST_F(NetworkFault, OwnCablePulledUnderAQueuedMessageGivesItUpAtTheNextAttempt)
{
    const NamespacePair &pair = *m_pair;
    RUN_IN_FAULT_CHILD(PrepareInsideNetworkNamespace(pair.name(NamespacePair::Side::A)), [&] {
        const QByteArray partner = pair.address(NamespacePair::Side::B);
        std::string problem;
        const UdpPeer b = HostSocket(pair, NamespacePair::Side::B, &problem);
        ASSERT_TRUE(b.bound()) << problem;
        Station station;
        ASSERT_TRUE(station.dm->started());

        station.dm->QueueMessage("Sklad", partner, "ahoj");
        const QByteArray key = station.dm->outboundQueue()[0].Key;
        station.ticksUntil(1);
        ASSERT_EQ(b.receiveAll(5000), std::vector<QByteArray>{"=" + key + "|Recepce|ahoj"});

        // Nobody confirms; before the second attempt the station's own link goes down and with
        // it the route to the partner.
        ASSERT_NO_FATAL_FAILURE(SetLink(pair, NamespacePair::Side::A, "down"));
        station.ticksUntil(7);
        EXPECT_EQ(station.count(Kind::GivenUp), 0);
        station.ticksUntil(8);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::GivenUp) == 1; }));
        const QByteArray error = "Socket Error # 10051\r\nNetwork is unreachable.";
        EXPECT_EQ(station.statusLines(),
                  (std::vector<QByteArray>{"Chyba: " + partner + ':' + error,
                                           "Chyba: " + partner + ' ' + error}));
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 4);
        EXPECT_EQ(station.dm->tOut().row(0).MSG, QByteArray("ahoj"));

        // Given up means given up: the cable back in brings no further attempt.
        ASSERT_NO_FATAL_FAILURE(SetLink(pair, NamespacePair::Side::A, "up"));
        ASSERT_TRUE(pair.waitUntilConnected(QDeadlineTimer(kConnectTimeoutMs), &problem))
                << problem;
        station.ticksUntil(72);
        EXPECT_TRUE(b.receiveAll(500).empty());
        EXPECT_EQ(station.count(Kind::GivenUp), 1);
    });
}

TEST(ConfirmationFault, ConfirmationFromAnotherAddressConfirmsTheMessage)
{
    RUN_IN_PRIVATE_NETWORK([] {
        RawPeer recipient("127.0.0.1", kStationPort);
        RawPeer elsewhere("127.0.0.2", kStationPort);
        ASSERT_TRUE(recipient.bound());
        ASSERT_TRUE(elsewhere.bound());
        Station station(kTestStationPort);
        ASSERT_TRUE(station.dm->started());

        station.dm->QueueMessage("Sklad", "127.0.0.1", "ahoj");
        const QByteArray key = station.dm->outboundQueue()[0].Key;
        station.ticksUntil(1);
        ASSERT_EQ(recipient.takeCount(1), std::vector<QByteArray>{"=" + key + "|Recepce|ahoj"});

        // A confirmation of a key the station never queued changes nothing, from anywhere.
        elsewhere.sendTo("#PC7~999");
        // The sender of a confirmation is not looked at: the key alone confirms.
        elsewhere.sendTo("#" + key);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Confirmed) == 1; }));
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 1);
        EXPECT_EQ(station.statusLines(), std::vector<QByteArray>{"Konfirmace " + key});

        // The recipient's own confirmation, late, changes nothing more. The message behind it
        // is handled after it, so once that is in, the confirmation has been seen.
        recipient.sendTo("#" + key);
        recipient.sendTo("=PC9~1|Sklad|dekuji");
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 1; }));
        station.ticksUntil(64);
        EXPECT_EQ(recipient.take(200), std::vector<QByteArray>{"#PC9~1"})
                << "a confirmed message was sent again";
        EXPECT_EQ(station.count(Kind::Confirmed), 1);
        EXPECT_EQ(station.dm->tOut().count(), 1);
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 1);
    });
}
