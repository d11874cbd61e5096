#include "rawpeer.h"
#include "privatenetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

RawPeer::RawPeer(const char *address, quint16 port)
    : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

RawPeer::~RawPeer()
{
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
    WaitUntil(
            [&] {
                for (QByteArray &d : take())
                    datagrams.push_back(std::move(d));
                return datagrams.size() >= count;
            },
            timeoutMs);
    return datagrams;
}
