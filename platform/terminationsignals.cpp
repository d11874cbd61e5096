#include "terminationsignals.h"

#include <QSocketNotifier>
#include <QtGlobal>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Only what a handler may touch: the pipe's write end and whether an end was asked for.
volatile std::sig_atomic_t g_writeFd = -1;
volatile std::sig_atomic_t g_requested = 0;

void OnTerminationSignal(int signalNumber)
{
    if (g_requested) {
        // Blocked until this handler returns, the signal then acts as if never caught.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    g_requested = 1;
    const int savedErrno = errno;
    const char byte = 0;
    // A full pipe already holds a wake-up, and nothing else that could fail here can be helped.
    [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &byte, 1);
    errno = savedErrno;
}

ssize_t ReadRetryingInterrupts(int fd, void *buffer, size_t size)
{
    ssize_t result;
    do {
        result = ::read(fd, buffer, size);
    } while (result == -1 && errno == EINTR);
    return result;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (g_writeFd != -1) {
        qWarning("Termination signals are already handled elsewhere in this program.");
        return;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Termination signals end the program at once: no pipe (%s).",
                 std::strerror(errno));
        return;
    }
    m_readEnd = SocketHandle(ends[0]);
    m_writeEnd = SocketHandle(ends[1]);
    g_writeFd = m_writeEnd.fd();
    g_requested = 0;
    m_notifier = new QSocketNotifier(m_readEnd.fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char drained[16];
        while (ReadRetryingInterrupts(m_readEnd.fd(), drained, sizeof drained) > 0) {
        }
        // Only the first signal writes: the next one ends the program itself.
        m_requested = true;
        Q_EMIT requested();
    });

    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &m_earlier[i]);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_readEnd.isValid())
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &m_earlier[i], nullptr);
    delete m_notifier;
    // The handler is gone before the pipe it writes to.
    g_writeFd = -1;
    g_requested = 0;
}
