#pragma once

#include "socketbinding.h"
#include "socketlayer.h"

#include <QByteArray>

// A sender of single datagrams, made fresh for each send and destroyed right after it. Its
// socket is opened at the first send and never bound: the system picks an ephemeral port.
class UdpClient
{
public:
    UdpClient() = default;
    ~UdpClient();
    UdpClient(const UdpClient &) = delete;
    UdpClient &operator=(const UdpClient &) = delete;

    void setHost(const QByteArray &host) { m_host = host; }
    const QByteArray &host() const { return m_host; }
    void setPort(quint16 port) { m_port = port; }
    quint16 port() const { return m_port; }
    void setBroadcastEnabled(bool enabled) { m_broadcastEnabled = enabled; }

    // Sends the bytes of text as one datagram; raises TransportError or SocketError.
    void Send(const QByteArray &text);
    void Send(const QByteArray &host, quint16 port, const QByteArray &text);

private:
    SocketBinding m_binding;
    QByteArray m_host;
    quint16 m_port = 0;
    bool m_broadcastEnabled = false;
};
