#pragma once

// The one owner of a file descriptor: a socket's, or an end of the termination signals' pipe.
// Move-only, and closed with its owner.
class SocketHandle
{
public:
    SocketHandle() = default;
    explicit SocketHandle(int fd)
        : m_fd(fd)
    {}
    ~SocketHandle() { close(); }

    SocketHandle(SocketHandle &&other) noexcept;
    SocketHandle &operator=(SocketHandle &&other) noexcept;
    SocketHandle(const SocketHandle &) = delete;
    SocketHandle &operator=(const SocketHandle &) = delete;

    bool isValid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    void close() noexcept;

private:
    int m_fd = -1;
};
