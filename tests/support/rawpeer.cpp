#include "rawpeer.h"
#include "privatenetwork.h"

#include <QTest>

#include <unistd.h>

namespace {

quint16 g_partnerPort = 0;
pid_t g_partnerProcess = 0; // a test child forked while a partner exists has none of its own

} // namespace

RawPeer::RawPeer(const char *address, std::optional<quint16> port)
    : m_socket(address, port.value_or(InPrivateNetwork() ? kStationPort : 0))
    , m_partner(!port && !InPrivateNetwork() && m_socket.bound())
    , m_port(m_socket.port())
{
    if (m_partner) {
        g_partnerPort = m_port;
        g_partnerProcess = ::getpid();
    }
}

RawPeer::~RawPeer()
{
    if (m_partner && g_partnerPort == m_port)
        g_partnerPort = 0;
}

void RawPeer::sendTo(const QByteArray &datagram, quint16 port)
{
    m_socket.sendTo("127.0.0.1", port, datagram);
}

std::vector<QByteArray> RawPeer::take(int timeoutMs)
{
    return m_socket.receiveAll(timeoutMs);
}

std::vector<QByteArray> RawPeer::takeCount(std::size_t count, int timeoutMs)
{
    std::vector<QByteArray> datagrams;
    // Whatever has come when the wait ends is the answer; the caller counts it.
    static_cast<void>(QTest::qWaitFor(
            [&] {
                for (QByteArray &d : take())
                    datagrams.push_back(std::move(d));
                return datagrams.size() >= count;
            },
            timeoutMs));
    return datagrams;
}

quint16 TestPartnerPort()
{
    if (g_partnerPort != 0 && g_partnerProcess == ::getpid())
        return g_partnerPort;
    // Held to the end of the process; what arrives stays unread until the buffer drops it.
    static const UdpPeer sink("127.0.0.1", 0);
    return sink.port();
}
