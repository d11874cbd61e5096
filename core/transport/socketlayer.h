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

// The process-wide gateway to the operating system's sockets and resolver. It exists while at
// least one server or client does (each holds a SocketLayer::Use) and remembers the code of the
// last failed call. Every call here retries on EINTR and raises TransportError or SocketError.
class SocketLayer
{
public:
    // Held by every transport object for its lifetime.
    class Use
    {
    public:
        Use();
        ~Use();
        Use(const Use &) = delete;
        Use &operator=(const Use &) = delete;
    };

    static bool exists();
    static int lastError();

    // "LOCALHOST" in any case is 127.0.0.1, an IPv4 literal is itself, anything else is looked
    // up; gives dotted text or raises SocketError (11001 when the name is not found).
    static QByteArray ResolvePeerAddress(const QByteArray &host);
    static bool IsIPv4Literal(QByteArrayView text);
    static std::optional<IPv4Address> ParseIPv4Literal(QByteArrayView text);

    static SocketHandle openDatagramSocket();
    // A refused port raises "Could not bind socket. Address and port are already in use.".
    static void bind(int socketFd, const QByteArray &ip, quint16 port);
    static void localAddress(int socketFd, QByteArray &ip, quint16 &port);
    static void setBroadcast(int socketFd, bool enabled);
    // Asks for a receive buffer of the given size; the system may grant less (its maximum for
    // unprivileged programs), which is not an error.
    static void setReceiveBuffer(int socketFd, int bytes);
    static qsizetype
    sendTo(int socketFd, const IPv4Address &address, quint16 port, QByteArrayView data);
    // One datagram; a datagram longer than bufferSize is consumed and raises SocketError 10040.
    static ReceivedDatagram receiveFrom(int socketFd, int bufferSize);

    [[noreturn]] static void raiseSocketError(int code);
};
