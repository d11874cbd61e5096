#include "udpserver.h"
#include "udplistenerthread.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>

namespace {

// Wakes the owner's thread: it runs the deliveries queued by the listener.
const QEvent::Type kDeliveryQueuedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

constexpr auto kDeactivationWake = std::chrono::milliseconds(1000);

} // namespace

// One datagram on its way from the listener to the handler; the listener waits on done.
struct PendingDelivery
{
    std::size_t bindingIndex = 0;
    ReceivedDatagram datagram;
    bool done = false;
};

UdpServer::UdpServer(QObject *parent)
    : QObject(parent)
{}

UdpServer::~UdpServer()
{
    deactivate();
}

SocketBinding &UdpServer::addBinding()
{
    m_bindings.push_back(std::make_unique<SocketBinding>());
    return *m_bindings.back();
}

void UdpServer::setActive(bool active)
{
    if (active && !isActive())
        activate();
    else if (!active && isActive())
        deactivate();
}

void UdpServer::activate()
{
    if (m_bindings.empty())
        addBinding().Port = m_defaultPort;

    try {
        for (const std::unique_ptr<SocketBinding> &binding : m_bindings) {
            binding->handle.close();
            binding->handle = SocketLayer::openDatagramSocket();
            // No address-reuse option: a port another socket holds must stay refused, which is
            // how a second station on the same computer finds out.
            SocketLayer::bind(binding->handle.fd(), binding->IP, binding->Port);
            SocketLayer::localAddress(binding->handle.fd(), binding->IP, binding->Port);
            SocketLayer::setBroadcast(binding->handle.fd(), m_broadcastEnabled);
            if (m_receiveBufferBytes > 0)
                SocketLayer::setReceiveBuffer(binding->handle.fd(), m_receiveBufferBytes);
        }
    } catch (...) {
        // An inactive server holds no port: whatever was bound before the failure is released.
        for (const std::unique_ptr<SocketBinding> &binding : m_bindings)
            binding->handle.close();
        throw;
    }
    m_currentBinding = m_bindings.front().get();

    std::vector<int> fds;
    for (const std::unique_ptr<SocketBinding> &binding : m_bindings)
        fds.push_back(binding->handle.fd());
    {
        std::lock_guard lock(m_handoverMutex);
        m_listenerRunning = true;
    }
    m_listener = std::make_unique<UdpListenerThread>(
            std::move(fds),
            m_bufferSize,
            [this](std::size_t bindingIndex, ReceivedDatagram datagram) {
                handOver(bindingIndex, std::move(datagram));
            },
            [this] { listenerFinished(); });
    m_listener->start();
}

void UdpServer::deactivate()
{
    if (!m_listener)
        return;
    m_listener->stop();
    {
        // The listener may be waiting for a delivery to be carried out; carry out what is
        // queued until it has ended, so nothing handed over is lost and nothing deadlocks.
        std::unique_lock lock(m_handoverMutex);
        if (m_runningDelivery) {
            // Deactivated from inside the handler: the listener waits for that very delivery,
            // and the handler cannot return before we do. Release the listener now.
            m_runningDelivery->done = true;
            m_runningDelivery = nullptr;
            m_handoverChanged.notify_all();
        }
        while (m_listenerRunning) {
            if (!m_pendingDeliveries.empty()) {
                lock.unlock();
                runQueuedDelivery();
                lock.lock();
                continue;
            }
            m_handoverChanged.wait_for(lock, kDeactivationWake);
        }
    }
    m_listener->join();
    m_listener.reset();
    // Closed only once the listener is gone, so it never waits on a descriptor that the system
    // may already have handed to somebody else.
    for (const std::unique_ptr<SocketBinding> &binding : m_bindings)
        binding->handle.close();
    m_currentBinding = nullptr;
}

void UdpServer::handOver(std::size_t bindingIndex, ReceivedDatagram datagram)
{
    PendingDelivery delivery{bindingIndex, std::move(datagram), false};
    std::unique_lock lock(m_handoverMutex);
    m_pendingDeliveries.push_back(&delivery);
    QCoreApplication::postEvent(this, new QEvent(kDeliveryQueuedEvent));
    m_handoverChanged.notify_all();
    m_handoverChanged.wait(lock, [&delivery] { return delivery.done; });
}

void UdpServer::listenerFinished()
{
    std::lock_guard lock(m_handoverMutex);
    m_listenerRunning = false;
    m_handoverChanged.notify_all();
}

bool UdpServer::event(QEvent *event)
{
    if (event->type() == kDeliveryQueuedEvent) {
        // One delivery per wake-up: every hand-over posted its own event, and the next datagram
        // is handed over only once this one is handled, so whatever the handler posted (the
        // core's notifications) runs before the next datagram. Draining the queue here instead
        // would store a whole burst before the first of its notifications is seen.
        runQueuedDelivery();
        return true;
    }
    return QObject::event(event);
}

bool UdpServer::runQueuedDelivery()
{
    PendingDelivery *delivery = nullptr;
    {
        std::lock_guard lock(m_handoverMutex);
        if (m_pendingDeliveries.empty())
            return false;
        delivery = m_pendingDeliveries.front();
        m_pendingDeliveries.pop_front();
        m_runningDelivery = delivery;
    }
    deliver(*delivery);
    std::lock_guard lock(m_handoverMutex);
    if (m_runningDelivery == delivery) {
        delivery->done = true;
        m_runningDelivery = nullptr;
        m_handoverChanged.notify_all();
    }
    return true;
}

void UdpServer::deliver(PendingDelivery &delivery)
{
    // Nothing may escape into the event loop: a failing handler costs its datagram only.
    try {
        // Copies, not references: the delivery lives on the listener's stack, and the listener
        // may be released while the handler still runs (deactivation from inside it).
        const QByteArray data = delivery.datagram.data;
        SocketBinding &binding = *m_bindings.at(delivery.bindingIndex);
        binding.RemoteIP = delivery.datagram.senderIP;
        binding.RemotePort = delivery.datagram.senderPort;
        m_currentBinding = &binding;
        Q_EMIT udpRead(*this, data, binding);
    } catch (...) {
    }
}
