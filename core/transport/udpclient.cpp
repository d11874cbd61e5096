#include "udpclient.h"
#include "socketerrors.h"
#include "transporterror.h"

UdpClient::~UdpClient() = default; // the binding's handle closes the socket

void UdpClient::Send(const QByteArray &text)
{
    Send(m_host, m_port, text);
}

void UdpClient::Send(const QByteArray &host, quint16 port, const QByteArray &text)
{
    // Resolved again at every send: nothing is cached, so a moved computer is found at once.
    const std::optional<IPv4Address> address
            = SocketLayer::ParseIPv4Literal(SocketLayer::ResolvePeerAddress(host));
    if (!address)
        SocketLayer::raiseSocketError(WinsockCode::HostNotFound);

    if (!m_binding.handleAllocated()) {
        m_binding.handle = SocketLayer::openDatagramSocket();
        // A new socket has the option off: only turning it on costs a system call, which every
        // confirmation's fresh client would otherwise pay.
        if (m_broadcastEnabled)
            SocketLayer::setBroadcast(m_binding.handle.fd(), true);
    }

    qsizetype sent = 0;
    try {
        sent = SocketLayer::sendTo(m_binding.handle.fd(), *address, port, text);
    } catch (const SocketError &error) {
        if (error.code() == WinsockCode::MessageTooLong)
            throw TransportError("Package Size Too Big.");
        throw;
    }
    if (sent < text.size())
        throw TransportError("Not all bytes sent.");
}
