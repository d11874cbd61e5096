#include "sockethandle.h"

#include <sys/socket.h>
#include <unistd.h>

#include <utility>

SocketHandle::SocketHandle(SocketHandle &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{}

SocketHandle &SocketHandle::operator=(SocketHandle &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void SocketHandle::close() noexcept
{
    if (m_fd < 0)
        return;
    // Results are of no use here: a datagram socket that never connected reports ENOTCONN, and
    // close() must not be retried on EINTR on Linux (the descriptor is gone either way).
    ::shutdown(m_fd, SHUT_WR);
    ::close(m_fd);
    m_fd = -1;
}
