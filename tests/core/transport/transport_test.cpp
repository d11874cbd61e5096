#include "core/protocol.h"
#include "core/transport/socketerrors.h"
#include "core/transport/socketlayer.h"
#include "core/transport/transporterror.h"
#include "core/transport/udpclient.h"
#include "core/transport/udpserver.h"
#include "support/isolatedresolver.h"
#include "support/printers.h"
#include "support/privatenetwork.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

struct Received
{
    QByteArray data;
    QByteArray remoteIP;
    quint16 remotePort = 0;
};

// A server that records every datagram it is handed, on a free port unless told otherwise.
class RecordingServer
{
public:
    explicit RecordingServer(quint16 port = 0)
    {
        m_server.setDefaultPort(port);
        QObject::connect(&m_server,
                         &UdpServer::udpRead,
                         [this](const QByteArray &data, const SocketBinding &binding) {
                             m_received.push_back({data, binding.RemoteIP, binding.RemotePort});
                         });
    }

    UdpServer &server() { return m_server; }
    // The bound port, once active.
    quint16 port() const { return m_server.binding().Port; }
    const std::vector<Received> &received() const { return m_received; }

    bool waitForCount(std::size_t count)
    {
        return QTest::qWaitFor([&] { return m_received.size() >= count; });
    }

private:
    UdpServer m_server;
    std::vector<Received> m_received;
};

void SendTo(const QByteArray &host, const QByteArray &text, quint16 port = kStationPort)
{
    UdpClient client;
    client.Send(host, port, text);
}

// Bytes waiting in the socket's receive queue; zero once the server has read them.
int QueuedBytes(const UdpServer &server)
{
    int bytes = -1;
    ::ioctl(server.binding().handle.fd(), SIOCINQ, &bytes);
    return bytes;
}

} // namespace

TEST(UdpServer, ASecondBindOfThePortIsRefusedAndTheFirstKeepsReceiving)
{
    RUN_ON_LOOPBACK([] {
        RecordingServer first;
        first.server().setActive(true);
        ASSERT_TRUE(first.server().isActive());
        EXPECT_NE(first.port(), 0);
        EXPECT_EQ(first.server().binding().IP, QByteArray("0.0.0.0"));

        UdpServer second;
        second.setDefaultPort(first.port());
        try {
            second.setActive(true);
            ADD_FAILURE() << "the second bind succeeded";
        } catch (const SocketError &error) {
            ADD_FAILURE() << "expected the plain transport error, got " << error.what();
        } catch (const TransportError &error) {
            EXPECT_EQ(error.text(),
                      QByteArray("Could not bind socket. Address and port are already in use."));
        }
        EXPECT_FALSE(second.isActive());
        EXPECT_FALSE(second.binding().handleAllocated());

        SendTo("127.0.0.1", "=PC7~1|a|b", first.port());
        ASSERT_TRUE(first.waitForCount(1));
        EXPECT_EQ(first.received()[0].data, QByteArray("=PC7~1|a|b"));
    });
}

TEST(UdpServer, DeliversWholeDatagramsUpToTheBufferAndLosesLongerOnes)
{
    RUN_ON_LOOPBACK([] {
        RecordingServer station;
        station.server().setActive(true);
        const quint16 port = station.port();

        QByteArray full(UdpServer::kBufferSize, 'a');
        full[0] = '=';
        full[UdpServer::kBufferSize - 1] = 'z';
        SendTo("127.0.0.1", full, port);
        SendTo("127.0.0.1", QByteArray(UdpServer::kBufferSize + 1, 'b'), port);
        SendTo("127.0.0.1", QByteArray(), port);
        SendTo("127.0.0.1", "#after", port);

        // Deliveries keep the order of arrival, so with "#after" third nothing came in between.
        ASSERT_TRUE(station.waitForCount(3));
        ASSERT_EQ(station.received().size(), 3u);
        EXPECT_EQ(station.received()[0].data, full);
        EXPECT_TRUE(station.received()[1].data.isEmpty());
        EXPECT_EQ(station.received()[2].data, QByteArray("#after"));
        EXPECT_EQ(station.received()[2].remoteIP, QByteArray("127.0.0.1"));
        EXPECT_NE(station.received()[2].remotePort, 0);
        EXPECT_NE(station.received()[2].remotePort, port);
    });
}

TEST(UdpServer, ABoxOpenedByTheHandlerReadsNoSecondDatagram)
{
    // The datagrams are read on the event loop, and a handler's box runs one of its own: the
    // next datagram must still wait until the handler has returned.
    RUN_ON_LOOPBACK([] {
        UdpServer server;
        std::vector<QByteArray> handled;
        std::vector<QByteArray> handledInside;
        QObject::connect(&server, &UdpServer::udpRead, [&](const QByteArray &data) {
            handled.push_back(data);
            if (data != "#first")
                return;
            SendTo("127.0.0.1", "#second", server.binding().Port);
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            handledInside = handled;
        });
        server.setActive(true);
        SendTo("127.0.0.1", "#first", server.binding().Port);
        ASSERT_TRUE(QTest::qWaitFor([&] { return handled.size() >= 2; }));
        EXPECT_EQ(handledInside, std::vector<QByteArray>{"#first"});
        EXPECT_EQ(handled, (std::vector<QByteArray>{"#first", "#second"}));
    });
}

TEST(UdpServer, DeactivationClosesThePortAndWhatItStillHeldIsGone)
{
    RUN_ON_LOOPBACK([] {
        RecordingServer station;
        station.server().setActive(true);
        const quint16 port = station.port();
        // No event loop runs here, so the datagram stays in the socket.
        SendTo("127.0.0.1", "=PC7~5|x|queued", port);
        EXPECT_GT(QueuedBytes(station.server()), 0);

        station.server().setActive(false);
        EXPECT_FALSE(station.server().isActive());
        QCoreApplication::processEvents();
        EXPECT_TRUE(station.received().empty());

        // The port is free again.
        UdpServer again;
        again.setDefaultPort(port);
        EXPECT_NO_THROW(again.setActive(true));
    });
}

TEST(UdpServer, ASocketThatCanNoLongerBeReadIsReportedOnceAndNothingMoreIsRead)
{
    RUN_ON_LOOPBACK([] {
        RecordingServer station;
        std::vector<QByteArray> failures;
        QObject::connect(&station.server(), &UdpServer::readFailed, [&](const QByteArray &text) {
            failures.push_back(text);
        });
        station.server().setActive(true);
        // The descriptor now names a file that is always readable and is no socket.
        const int fd = station.server().binding().handle.fd();
        const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::dup2(devNull, fd), fd);
        ::close(devNull);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !failures.empty(); }));
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents();
        EXPECT_EQ(
                failures,
                std::vector<QByteArray>{"Socket Error # 10038\r\nSocket operation on non-socket."});
        EXPECT_TRUE(station.received().empty());
    });
}

TEST(UdpServer, DeactivationFromInsideTheHandlerDoesNotHang)
{
    RUN_ON_LOOPBACK([] {
        UdpServer server;
        int calls = 0;
        QObject::connect(&server, &UdpServer::udpRead, [&] {
            ++calls;
            server.setActive(false);
        });
        server.setActive(true);
        SendTo("127.0.0.1", "#stop", server.binding().Port);
        ASSERT_TRUE(QTest::qWaitFor([&] { return calls == 1; }));
        EXPECT_FALSE(server.isActive());
    });
}

TEST(UdpServer, PortZeroLetsTheSystemChoose)
{
    RUN_ON_LOOPBACK([] {
        RecordingServer station(0);
        station.server().setActive(true);
        const quint16 chosen = station.server().binding().Port;
        EXPECT_NE(chosen, 0);
        SendTo("127.0.0.1", "#to-chosen", chosen);
        ASSERT_TRUE(station.waitForCount(1));
        EXPECT_EQ(station.received()[0].data, QByteArray("#to-chosen"));
    });
}

TEST(UdpClient, LocalhostInAnyCaseNeedsNoResolver)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolver(QByteArray()); // not even "localhost" can be looked up now
        EXPECT_THROW(SocketLayer::ResolvePeerAddress("localhost.localdomain"), SocketError);
        EXPECT_EQ(SocketLayer::ResolvePeerAddress("LOCALHOST"), QByteArray("127.0.0.1"));

        RecordingServer station(kStationPort);
        station.server().setActive(true);
        UdpClient client;
        client.setHost("LoCaLhOsT");
        client.setPort(kStationPort);
        client.Send("#by-name");
        ASSERT_TRUE(station.waitForCount(1));
        EXPECT_EQ(station.received()[0].data, QByteArray("#by-name"));
    });
}

TEST(UdpClient, NamesGoToTheResolverAndAnUnknownOneIsReported)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolver("127.0.0.1 deskpc\n198.18.7.7 printer-room\n");
        EXPECT_EQ(SocketLayer::ResolvePeerAddress("deskpc"), QByteArray("127.0.0.1"));
        EXPECT_EQ(SocketLayer::ResolvePeerAddress("printer-room"), QByteArray("198.18.7.7"));
        EXPECT_EQ(SocketLayer::ResolvePeerAddress("192.168.0.7"), QByteArray("192.168.0.7"));
        // Not a literal, so the resolver is asked, and it knows no such name.
        try {
            SocketLayer::ResolvePeerAddress("10.0.0.300");
            ADD_FAILURE() << "10.0.0.300 resolved";
        } catch (const SocketError &error) {
            EXPECT_EQ(error.code(), 11001);
        }

        RecordingServer station(kStationPort);
        station.server().setActive(true);
        SendTo("deskpc", "#via-hosts");
        ASSERT_TRUE(station.waitForCount(1));

        try {
            SendTo("no-such-station", "#never");
            ADD_FAILURE() << "sending to an unknown name succeeded";
        } catch (const SocketError &error) {
            EXPECT_EQ(error.code(), 11001);
            EXPECT_EQ(error.text(), QByteArray("Socket Error # 11001\r\nHost not found."));
            EXPECT_EQ(SocketLayer::lastError(), 11001);
        }
    });
}

TEST(UdpClient, BroadcastAndOversizedDatagramsAreRefused)
{
    RUN_IN_PRIVATE_NETWORK([] {
        // A desk has a network and a default route; without them the system would refuse the
        // broadcast for want of a route, before looking at the option. Here both lead to lo.
        ASSERT_EQ(std::system("ip addr add 198.18.0.1/24 dev lo && ip route add default dev lo"),
                  0);
        for (const QByteArray &broadcast :
             {QByteArray("255.255.255.255"), QByteArray("198.18.0.255")}) {
            try {
                SendTo(broadcast, "=PC7~1|a|b");
                ADD_FAILURE() << "a broadcast to " << broadcast.constData()
                              << " went out with the option off";
            } catch (const SocketError &error) {
                EXPECT_EQ(error.code(), 10013);
                EXPECT_EQ(error.text(), QByteArray("Socket Error # 10013\r\nAccess denied."));
            }
        }
        try {
            SendTo("127.0.0.1", QByteArray(70000, 'x'));
            ADD_FAILURE() << "a datagram beyond the UDP limit was sent";
        } catch (const SocketError &error) {
            ADD_FAILURE() << "expected the plain transport error, got " << error.what();
        } catch (const TransportError &error) {
            EXPECT_EQ(error.text(), QByteArray("Package Size Too Big."));
        }
    });
}

TEST(UdpClient, OneClientSendsRepeatedlyFromOneEphemeralPort)
{
    RUN_ON_LOOPBACK([] {
        RecordingServer station;
        station.server().setActive(true);
        {
            UdpClient client;
            client.setHost("127.0.0.1");
            client.setPort(station.port());
            client.Send("#one");
            client.Send("#two");
        }
        ASSERT_TRUE(station.waitForCount(2));
        EXPECT_EQ(station.received()[0].remotePort, station.received()[1].remotePort);
    });
}
