#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>
#include <vector>

// A plain UDP socket on IPv4 for the programs that stand in for a station's partner or watch
// what a station sends: the tests, the benchmarks, the fuzz target and the screenshot tool. No
// station code is involved, so what it sees is exactly what went over the wire.
class UdpPeer
{
public:
    struct Datagram
    {
        QByteArray data;
        QByteArray senderIP;
        quint16 senderPort = 0;
    };

    // Unbound: the system gives it an address and a port at its first send.
    UdpPeer();
    // Bound to address and port (0: a free one); bound() says whether it could be.
    UdpPeer(const char *address, quint16 port);
    ~UdpPeer();
    UdpPeer(UdpPeer &&other) noexcept;
    UdpPeer &operator=(UdpPeer &&other) noexcept;
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    bool bound() const { return m_bound; }
    int fd() const { return m_fd; }
    // The local port; 0 before it has one.
    quint16 port() const;

    // One datagram; false when the system refused it.
    bool sendTo(const char *address, quint16 port, QByteArrayView datagram) const;
    // The next datagram, waiting up to timeoutMs for it (0: only one already there).
    std::optional<Datagram> receive(int timeoutMs = 0) const;
    // The same into a buffer of the caller's, for loops that must not allocate: the datagram's
    // length (cut to size), or -1 when none came.
    qsizetype receive(char *buffer, qsizetype size, int timeoutMs) const;
    // Everything that has arrived, waiting up to timeoutMs for the first of it.
    std::vector<QByteArray> receiveAll(int timeoutMs = 0) const;
    // Room for a burst; as root beyond the system's limit for other programs.
    void setReceiveBuffer(int bytes) const;

private:
    int m_fd = -1;
    bool m_bound = false;
};
