#include "udplistenerthread.h"
#include "transporterror.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kWaitMilliseconds = 1000;

} // namespace

UdpListenerThread::UdpListenerThread(std::vector<int> socketFds,
                                     int bufferSize,
                                     Deliver deliver,
                                     Finished finished)
    : m_socketFds(std::move(socketFds))
    , m_bufferSize(bufferSize)
    , m_deliver(std::move(deliver))
    , m_finished(std::move(finished))
    , m_wakeup(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

UdpListenerThread::~UdpListenerThread()
{
    stop();
    join();
}

void UdpListenerThread::start()
{
    m_stopped = false;
    m_thread = std::thread([this] { run(); });
}

void UdpListenerThread::stop()
{
    m_stopped = true;
    if (m_wakeup.isValid()) {
        const quint64 one = 1;
        // A full counter already wakes the wait, so a failed write changes nothing.
        [[maybe_unused]] const ssize_t written = ::write(m_wakeup.fd(), &one, sizeof one);
    }
}

void UdpListenerThread::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void UdpListenerThread::run()
{
    std::vector<pollfd> waitSet;
    for (const int fd : m_socketFds)
        waitSet.push_back(pollfd{fd, POLLIN, 0});
    if (m_wakeup.isValid())
        waitSet.push_back(pollfd{m_wakeup.fd(), POLLIN, 0});

    while (!m_stopped) {
        for (pollfd &entry : waitSet)
            entry.revents = 0;
        const int ready = ::poll(waitSet.data(), waitSet.size(), kWaitMilliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break; // the sockets are gone; the server receives nothing until reactivated
        for (std::size_t index = 0; index < m_socketFds.size(); ++index) {
            if (m_stopped)
                break;
            if ((waitSet[index].revents & (POLLIN | POLLERR)) == 0)
                continue;
            try {
                m_deliver(index, SocketLayer::receiveFrom(m_socketFds[index], m_bufferSize));
            } catch (...) {
                // A datagram that cannot be read or handled is lost alone; listening goes on.
            }
        }
    }
    if (m_finished)
        m_finished();
}
