#pragma once

#include "core/protocol.h"

#include <QByteArray>

#include <vector>

// The port the stations under test listen on, so that a raw peer can hold the protocol port.
inline constexpr quint16 kTestStationPort = 40000;

// A plain UDP socket standing in for a partner: it sees exactly what the station sends to the
// protocol port of its address, and can answer the station directly on the station's port.
class RawPeer
{
public:
    explicit RawPeer(const char *address = "127.0.0.1", quint16 port = kStationPort);
    ~RawPeer();
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool bound() const { return m_bound; }

    // To the station on this computer.
    void sendTo(const QByteArray &datagram, quint16 port = kTestStationPort);

    // Everything that has arrived, waiting up to timeoutMs for the first datagram.
    std::vector<QByteArray> take(int timeoutMs = 0);

    // Waits, with the event loop running, until count datagrams have come in.
    std::vector<QByteArray> takeCount(std::size_t count, int timeoutMs = 5000);

private:
    int m_fd;
    bool m_bound = false;
};
