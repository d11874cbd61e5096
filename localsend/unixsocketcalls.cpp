#include "unixsocketcalls.h"

#include "platform/codepage.h"

#include <QFile>

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace UnixSocketCalls {

namespace {

template<typename Call>
auto Retried(Call call)
{
    auto result = call();
    while (result == -1 && errno == EINTR)
        result = call();
    return result;
}

const sockaddr *Generic(const sockaddr_un &address)
{
    return reinterpret_cast<const sockaddr *>(&address);
}

} // namespace

SocketHandle Socket(bool nonBlocking)
{
    const int flags = SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    return SocketHandle(Retried([flags] { return ::socket(AF_UNIX, flags, 0); }));
}

SocketHandle Accept(int listener)
{
    return SocketHandle(Retried([listener] {
        return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }));
}

int Bind(int fd, const sockaddr_un &address)
{
    return Retried([&] { return ::bind(fd, Generic(address), sizeof address); });
}

int Listen(int fd, int backlog)
{
    return Retried([&] { return ::listen(fd, backlog); });
}

int Connect(int fd, const sockaddr_un &address)
{
    // A local connect that a signal cut short has not begun: it can simply be made again.
    return Retried([&] { return ::connect(fd, Generic(address), sizeof address); });
}

ssize_t Receive(int fd, char *buffer, size_t size)
{
    return Retried([&] { return ::recv(fd, buffer, size, 0); });
}

ssize_t Send(int fd, const char *data, size_t size)
{
    return Retried([&] { return ::send(fd, data, size, MSG_NOSIGNAL); });
}

int SetNonBlocking(int fd)
{
    const int flags = Retried([fd] { return ::fcntl(fd, F_GETFL); });
    if (flags == -1)
        return -1;
    return Retried([&] { return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK); });
}

int SetSendTimeout(int fd, int timeoutMs)
{
    timeval timeout{};
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

std::optional<uid_t> PeerUser(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return std::nullopt;
    return credentials.uid;
}

std::optional<sockaddr_un> AddressOf(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // The name must leave room for the zero that ends it.
    if (path.isEmpty() || std::size_t(path.size()) >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    return address;
}

QByteArray Failure(const QString &path, int error)
{
    return PathToWindows1250(path) + ": " + EncodeWindows1250(qt_error_string(error));
}

} // namespace UnixSocketCalls
