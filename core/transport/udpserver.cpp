#include "udpserver.h"
#include "socketerrors.h"
#include "socketlayer.h"
#include "transporterror.h"

#include <QScopeGuard>
#include <QSocketNotifier>

namespace {

// The errors after which the socket will never give a datagram again; anything else costs at
// most the datagram in hand.
bool EndsReading(int code)
{
    switch (code) {
    case 10009: // EBADF
    case 10014: // EFAULT
    case 10022: // EINVAL
    case 10038: // ENOTSOCK
    case 10057: // ENOTCONN
    case 10058: // ESHUTDOWN
        return true;
    default:
        return false;
    }
}

} // namespace

UdpServer::UdpServer(QObject *parent)
    : QObject(parent)
{}

UdpServer::~UdpServer()
{
    deactivate();
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
    SocketHandle handle = SocketLayer::openDatagramSocket();
    // No address-reuse option: a port another socket holds must stay refused, which is how a
    // second station on the same computer finds out.
    SocketLayer::bind(handle.fd(), m_defaultPort);
    SocketLayer::localAddress(handle.fd(), m_binding.IP, m_binding.Port);
    if (m_receiveBufferBytes > 0)
        SocketLayer::requestReceiveBuffer(handle.fd(), m_receiveBufferBytes);
    m_binding.handle = std::move(handle);
    m_failed = false;
    m_notifier = new QSocketNotifier(m_binding.handle.fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdpServer::readOne);
    m_notifier->setEnabled(m_holds == 0);
}

void UdpServer::deactivate()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        // It may be the very notifier whose activation is being handled.
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    m_binding.handle.close();
}

void UdpServer::holdReading()
{
    // Nothing changes for the notifier yet: most holds end before the socket is next looked at,
    // and readOne() turns it off only when it is.
    ++m_holds;
}

void UdpServer::releaseReading()
{
    if (m_holds > 0 && --m_holds == 0 && m_notifier && !m_failed)
        m_notifier->setEnabled(true);
}

void UdpServer::readOne()
{
    if (m_holds > 0) {
        m_notifier->setEnabled(false); // until the last hold is released
        return;
    }
    ReceivedDatagram datagram;
    try {
        datagram = SocketLayer::receiveFrom(m_binding.handle.fd(), kBufferSize);
    } catch (const SocketError &error) {
        if (!EndsReading(error.code()))
            return; // that datagram, if there was one, is lost alone
        m_failed = true;
        m_notifier->setEnabled(false);
        Q_EMIT readFailed(error.text());
        return;
    }
    m_binding.RemoteIP = datagram.senderIP;
    m_binding.RemotePort = datagram.senderPort;
    // Held while the receivers run: a box one of them opens runs an event loop, which must not
    // read the next datagram half-way through this one.
    holdReading();
    const auto release = qScopeGuard([this] { releaseReading(); });
    Q_EMIT udpRead(datagram.data, m_binding);
}
