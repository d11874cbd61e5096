#include "sockethandle.h"

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
    // No shutdown first: the station's datagram sockets never connect, so it could only fail
    // with ENOTCONN, and it would cost a system call for every confirmation sent. close() must
    // not be retried on EINTR on Linux (the descriptor is gone either way).
    ::close(m_fd);
    m_fd = -1;
}
