#pragma once

#include "socketbinding.h"

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// The station's listening endpoint, read on the event loop of the thread that owns it. Each time
// its socket is readable one datagram is read and announced with udpRead; the next one is read
// only once every receiver has returned, however long they take and whatever event loop they
// run meanwhile (a box they open), so datagrams are handled one at a time in the order they
// came. Until then the system's receive buffer holds what arrives.
class UdpServer : public QObject
{
    Q_OBJECT

public:
    // A longer datagram is lost whole.
    static constexpr int kBufferSize = 8192;

    explicit UdpServer(QObject *parent = nullptr);
    ~UdpServer() override;

    void setDefaultPort(quint16 port) { m_defaultPort = port; }
    // The system's buffer for datagrams not read yet, asked for at activation; 0 keeps the
    // system's default. The system may grant less, or refuse, which is no reason not to listen.
    void setReceiveBufferBytes(int bytes) { m_receiveBufferBytes = bytes; }

    // Activation binds DefaultPort on every local IPv4 address and starts reading; it raises
    // TransportError or SocketError and stays inactive on failure. Deactivation stops reading
    // and closes the socket; what the system still held for it is gone.
    void setActive(bool active);
    bool isActive() const { return m_binding.handleAllocated(); }
    // The socket and its bound address and port; RemoteIP and RemotePort name the last sender.
    const SocketBinding &binding() const { return m_binding; }

    // While held (holds nest), nothing is read: datagrams wait in the system's buffer, to be
    // read once the last hold is released.
    void holdReading();
    void releaseReading();

Q_SIGNALS:
    // One datagram, with its sender in binding's RemoteIP and RemotePort. Both references hold
    // only while the receivers run. Qt does not carry an exception through a signal, so each
    // receiver handles its own errors.
    void udpRead(const QByteArray &data, const SocketBinding &binding);
    // The socket cannot be read any more: the server receives nothing until it is made active
    // again. Datagrams merely lost (too long, or a read the system refused for the moment) are
    // not announced.
    void readFailed(const QByteArray &errorText);

private:
    void activate();
    void deactivate();
    void readOne();

    SocketBinding m_binding;
    quint16 m_defaultPort = 0;
    int m_receiveBufferBytes = 0;
    QSocketNotifier *m_notifier = nullptr;
    int m_holds = 0;
    bool m_failed = false;
};
