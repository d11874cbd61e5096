#pragma once

#include "socketlayer.h"

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

// Waits on the server's sockets (1000 ms at a time) and reads each datagram; it only waits and
// reads, everything else happens on the server's thread through the deliver callback, which
// blocks until the datagram has been handled.
class UdpListenerThread
{
public:
    using Deliver = std::function<void(std::size_t bindingIndex, ReceivedDatagram datagram)>;
    using Finished = std::function<void()>;

    UdpListenerThread(std::vector<int> socketFds,
                      int bufferSize,
                      Deliver deliver,
                      Finished finished);
    ~UdpListenerThread(); // stops and joins
    UdpListenerThread(const UdpListenerThread &) = delete;
    UdpListenerThread &operator=(const UdpListenerThread &) = delete;

    void start();
    // Marks the thread stopped and wakes its wait; it ends after the datagram in hand, if any.
    void stop();
    void join();

private:
    void run();

    std::vector<int> m_socketFds;
    int m_bufferSize;
    Deliver m_deliver;
    Finished m_finished;
    SocketHandle m_wakeup; // an eventfd in the wait set, written by stop()
    std::atomic<bool> m_stopped{true};
    std::thread m_thread;
};
