#pragma once

#include "platform/sockethandle.h"

#include <QByteArray>
#include <QString>

#include <optional>

#include <sys/types.h>
#include <sys/un.h>

// The system calls of a local stream socket, one thin wrapper each, as Qt keeps them for its
// own sockets: a call a signal interrupts is made again, anything else is returned as the call
// returned it with errno left for the caller. Every descriptor made here is closed on exec, so
// a program the station starts never holds its socket.
namespace UnixSocketCalls {

// A new stream socket; non-blocking unless told otherwise. Invalid, errno set, on failure.
SocketHandle Socket(bool nonBlocking = true);
// The next waiting connection, non-blocking; invalid with errno set when there is none.
SocketHandle Accept(int listener);
int Bind(int fd, const sockaddr_un &address);
int Listen(int fd, int backlog);
int Connect(int fd, const sockaddr_un &address);
ssize_t Receive(int fd, char *buffer, size_t size);
// Never raises SIGPIPE: a peer that went away is an error like any other.
ssize_t Send(int fd, const char *data, size_t size);
int SetNonBlocking(int fd);
// How long a blocking connect waits for room in the listener's queue (0: for ever).
int SetSendTimeout(int fd, int timeoutMs);
// The user the kernel says runs the other end of a connected socket.
std::optional<uid_t> PeerUser(int fd);

// The address of a socket file; nothing when the name does not fit in one.
std::optional<sockaddr_un> AddressOf(const QByteArray &path);
// "<path>: <why>", for an error's text.
QByteArray Failure(const QString &path, int error);

} // namespace UnixSocketCalls
