#include "udppeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

sockaddr_in Address(const char *address, quint16 port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    return sa;
}

} // namespace

UdpPeer::UdpPeer()
    : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{}

UdpPeer::UdpPeer(const char *address, quint16 port)
    : UdpPeer()
{
    const sockaddr_in sa = Address(address, port);
    m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
}

UdpPeer::~UdpPeer()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

UdpPeer::UdpPeer(UdpPeer &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_bound(std::exchange(other.m_bound, false))
{}

UdpPeer &UdpPeer::operator=(UdpPeer &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_bound = std::exchange(other.m_bound, false);
    }
    return *this;
}

quint16 UdpPeer::port() const
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

bool UdpPeer::sendTo(const char *address, quint16 port, QByteArrayView datagram) const
{
    const sockaddr_in sa = Address(address, port);
    ssize_t sent = 0;
    do {
        sent = ::sendto(m_fd,
                        datagram.data(),
                        std::size_t(datagram.size()),
                        MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&sa),
                        sizeof sa);
    } while (sent < 0 && errno == EINTR);
    return sent == datagram.size();
}

namespace {

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

} // namespace

qsizetype UdpPeer::receive(char *buffer, qsizetype size, int timeoutMs) const
{
    if (!WaitReadable(m_fd, timeoutMs))
        return -1;
    ssize_t n = 0;
    do {
        n = ::recv(m_fd, buffer, std::size_t(size), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

std::optional<UdpPeer::Datagram> UdpPeer::receive(int timeoutMs) const
{
    if (!WaitReadable(m_fd, timeoutMs))
        return std::nullopt;
    Datagram datagram;
    datagram.data.resize(65536);
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    ssize_t n = 0;
    do {
        n = ::recvfrom(m_fd,
                       datagram.data.data(),
                       std::size_t(datagram.data.size()),
                       MSG_DONTWAIT,
                       reinterpret_cast<sockaddr *>(&sender),
                       &senderLength);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return std::nullopt;
    datagram.data.resize(n);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
    datagram.senderIP = text;
    datagram.senderPort = ntohs(sender.sin_port);
    return datagram;
}

std::vector<QByteArray> UdpPeer::receiveAll(int timeoutMs) const
{
    std::vector<QByteArray> datagrams;
    for (int wait = timeoutMs; std::optional<Datagram> datagram = receive(wait); wait = 0)
        datagrams.push_back(std::move(datagram->data));
    return datagrams;
}

void UdpPeer::setReceiveBuffer(int bytes) const
{
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}
