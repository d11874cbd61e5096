#include "rawpeer.h"
#include "privatenetwork.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

quint16 g_partnerPort = 0;
pid_t g_partnerProcess = 0; // a test child forked while a partner exists has none of its own

int BoundSocket(const char *address, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

quint16 LocalPort(int fd)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

} // namespace

RawPeer::RawPeer(const char *address, std::optional<quint16> port)
    : m_fd(BoundSocket(address, port.value_or(InPrivateNetwork() ? kStationPort : 0)))
    , m_bound(m_fd >= 0)
    , m_partner(!port && !InPrivateNetwork() && m_bound)
    , m_port(LocalPort(m_fd))
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
    if (m_fd >= 0)
        ::close(m_fd);
}

void RawPeer::sendTo(const QByteArray &datagram, quint16 port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(m_fd,
             datagram.constData(),
             std::size_t(datagram.size()),
             0,
             reinterpret_cast<sockaddr *>(&sa),
             sizeof sa);
}

std::vector<QByteArray> RawPeer::take(int timeoutMs)
{
    std::vector<QByteArray> datagrams;
    pollfd entry{m_fd, POLLIN, 0};
    int wait = timeoutMs;
    while (::poll(&entry, 1, wait) > 0) {
        QByteArray buffer(65536, '\0');
        const ssize_t n = ::recv(m_fd, buffer.data(), std::size_t(buffer.size()), 0);
        if (n < 0)
            break;
        buffer.resize(n);
        datagrams.push_back(buffer);
        wait = 0;
    }
    return datagrams;
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
    static const int sink = BoundSocket("127.0.0.1", 0);
    return LocalPort(sink);
}
