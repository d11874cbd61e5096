#pragma once

#include "core/protocol.h"
#include "tools/udppeer.h"

#include <QByteArray>

#include <optional>
#include <vector>

// The port the stations under test listen on in a private network, so that a raw peer can hold
// the protocol port there.
inline constexpr quint16 kTestStationPort = 40000;

// The port the last station made by MakeTestStation listens on; before there is one, the port
// the settings of the stations under test name.
quint16 TestStationPort();

// A plain UDP socket standing in for a partner: it sees exactly what the station under test
// sends to its address, and can answer the station directly on the station's port. Without a
// port of its own it stands where that station sends: the protocol port in a private network,
// else a free port on loopback, which the stations made after it send to (TestPartnerPort).
class RawPeer
{
public:
    explicit RawPeer(const char *address = "127.0.0.1", std::optional<quint16> port = {});
    ~RawPeer();
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool bound() const { return m_socket.bound(); }
    quint16 port() const { return m_port; }
    const UdpPeer &socket() const { return m_socket; }

    // To the station on this computer; by default the last one made by MakeTestStation.
    void sendTo(const QByteArray &datagram, quint16 port = TestStationPort());

    // Everything that has arrived, waiting up to timeoutMs for the first datagram.
    std::vector<QByteArray> take(int timeoutMs = 0);

    // Waits, with the event loop running, until count datagrams have come in.
    std::vector<QByteArray> takeCount(std::size_t count, int timeoutMs = 5000);

private:
    UdpPeer m_socket;
    bool m_partner = false;
    quint16 m_port = 0;
};

// Where the stations under test on loopback send: the newest RawPeer made without a port, while
// it exists; else a port this process holds and never reads, so that nothing a station sends
// can reach any other program.
quint16 TestPartnerPort();
