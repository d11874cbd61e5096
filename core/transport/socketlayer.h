#pragma once

#include "platform/sockethandle.h"

#include <QByteArray>

#include <array>
#include <optional>

struct ReceivedDatagram
{
    QByteArray data;
    QByteArray senderIP;
    quint16 senderPort = 0;
};

using IPv4Address = std::array<quint8, 4>;

// The gateway to the operating system's sockets and resolver. It remembers the code of the last
// failed call. Every call here retries on EINTR and raises TransportError or SocketError.
class SocketLayer
{
public:
    static int lastError();

    // The address a host text names without asking anybody: "LOCALHOST" in any case is
    // 127.0.0.1, an IPv4 literal is itself; anything else needs the resolver.
    static std::optional<IPv4Address> LiteralAddress(QByteArrayView host);
    // The literal address as above, or else the resolver's first IPv4 address for the name,
    // as dotted text; raises SocketError (11001 when the name is not found). A lookup blocks
    // for as long as the name servers take: the station's thread never calls it for a name.
    static QByteArray ResolvePeerAddress(const QByteArray &host);
    static bool IsIPv4Literal(QByteArrayView text);
    static std::optional<IPv4Address> ParseIPv4Literal(QByteArrayView text);
    static QByteArray DottedText(const IPv4Address &address);

    static SocketHandle openDatagramSocket();
    // Binds every local IPv4 address; a refused port raises "Could not bind socket. Address
    // and port are already in use.".
    static void bind(int socketFd, quint16 port);
    static void localAddress(int socketFd, QByteArray &ip, quint16 &port);
    static void setBroadcast(int socketFd, bool enabled);
    // Asks for a receive buffer of the given size; the system may grant less (its maximum for
    // unprivileged programs) or nothing, and the socket works either way.
    static void requestReceiveBuffer(int socketFd, int bytes);
    static qsizetype
    sendTo(int socketFd, const IPv4Address &address, quint16 port, QByteArrayView data);
    // One datagram, without waiting; a datagram longer than bufferSize is consumed and raises
    // SocketError 10040, and none waiting raises 10035.
    static ReceivedDatagram receiveFrom(int socketFd, int bufferSize);

    [[noreturn]] static void raiseSocketError(int code);
};
