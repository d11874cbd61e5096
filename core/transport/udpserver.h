#pragma once

#include "socketbinding.h"
#include "socketlayer.h"

#include <QByteArray>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class UdpListenerThread;
struct PendingDelivery;

// The station's listening endpoint. While active, a listener thread waits for datagrams and
// announces each one with udpRead on the thread that owns the server, one at a time; the
// listener stays blocked until every receiver has returned.
class UdpServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultBufferSize = 8192;

    explicit UdpServer(QObject *parent = nullptr);
    ~UdpServer() override;

    void setDefaultPort(quint16 port) { m_defaultPort = port; }
    quint16 defaultPort() const { return m_defaultPort; }
    void setBufferSize(int bytes) { m_bufferSize = bytes; }
    int bufferSize() const { return m_bufferSize; }
    void setBroadcastEnabled(bool enabled) { m_broadcastEnabled = enabled; }
    // The kernel's buffer for datagrams not read yet, asked for at activation; 0 keeps the
    // system's default.
    void setReceiveBufferBytes(int bytes) { m_receiveBufferBytes = bytes; }

    // Activation binds every binding (adding one on DefaultPort when there is none) and starts
    // the listener; it raises TransportError or SocketError and stays inactive on failure.
    // Deactivation still delivers datagrams already handed over, then closes the sockets.
    void setActive(bool active);
    bool isActive() const { return m_listener != nullptr; }

    SocketBinding &addBinding();
    const std::vector<std::unique_ptr<SocketBinding>> &bindings() const { return m_bindings; }
    SocketBinding *currentBinding() const { return m_currentBinding; }

Q_SIGNALS:
    // One datagram, as received on binding, whose RemoteIP and RemotePort name its sender. Both
    // belong to the server and serve the next datagram too: receivers copy what they keep, so
    // they connect directly (Qt::DirectConnection). Qt does not promise to carry an exception
    // through a signal, so each receiver handles its own errors.
    void udpRead(UdpServer &sender, const QByteArray &data, SocketBinding &binding);

protected:
    bool event(QEvent *event) override;

private:
    void activate();
    void deactivate();
    // Called on the listener thread; returns once the owner's thread has run the handler.
    void handOver(std::size_t bindingIndex, ReceivedDatagram datagram);
    // Carries out the oldest handed-over datagram; false when none was waiting.
    bool runQueuedDelivery();
    void deliver(PendingDelivery &delivery);
    void listenerFinished();

    SocketLayer::Use m_layer;
    std::vector<std::unique_ptr<SocketBinding>> m_bindings;
    SocketBinding *m_currentBinding = nullptr;
    quint16 m_defaultPort = 0;
    int m_bufferSize = kDefaultBufferSize;
    bool m_broadcastEnabled = false;
    int m_receiveBufferBytes = 0;
    std::unique_ptr<UdpListenerThread> m_listener;

    std::mutex m_handoverMutex; // guards the four below
    std::condition_variable m_handoverChanged;
    std::deque<PendingDelivery *> m_pendingDeliveries;
    PendingDelivery *m_runningDelivery = nullptr;
    bool m_listenerRunning = false;
};
