#include "hostresolver.h"
#include "socketerrors.h"
#include "socketlayer.h"
#include "transporterror.h"

#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

// What the owner shares with its lookup threads, which may outlive it: they hold this, never the
// owner itself, and find the owner gone once it has been destroyed.
struct HostResolver::Shared
{
    std::mutex mutex; // guards the three below
    HostResolver *owner = nullptr;
    std::deque<QByteArray> waiting;
    int threads = 0;

    static void run(const std::shared_ptr<Shared> &shared);
};

void HostResolver::Shared::run(const std::shared_ptr<Shared> &shared)
{
    for (;;) {
        QByteArray host;
        {
            std::lock_guard lock(shared->mutex);
            if (shared->waiting.empty() || !shared->owner) {
                --shared->threads;
                return;
            }
            host = std::move(shared->waiting.front());
            shared->waiting.pop_front();
        }
        QByteArray address;
        int errorCode = 0;
        try {
            address = SocketLayer::ResolvePeerAddress(host);
        } catch (const SocketError &error) {
            errorCode = error.code();
        }
        std::lock_guard lock(shared->mutex);
        // Posted under the lock: the owner's destructor takes it before the owner goes, and the
        // posted answer then goes with the owner's other pending events.
        if (HostResolver *owner = shared->owner) {
            QMetaObject::invokeMethod(
                    owner,
                    [owner, host, address, errorCode] { owner->answer(host, address, errorCode); },
                    Qt::QueuedConnection);
        }
    }
}

HostResolver::HostResolver(QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
{
    m_shared->owner = this;
}

HostResolver::~HostResolver()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->owner = nullptr;
    m_shared->waiting.clear();
}

void HostResolver::lookUp(const QByteArray &host)
{
    if (!m_inFlight.insert(host).second)
        return;
    std::lock_guard lock(m_shared->mutex);
    m_shared->waiting.push_back(host);
    if (m_shared->threads >= kMaxThreads)
        return; // a thread that finishes its lookup takes the next
    ++m_shared->threads;
    try {
        std::thread(&Shared::run, m_shared).detach();
    } catch (const std::system_error &) {
        // No thread to spare now: the name waits for one of those already running, or, when
        // none runs, fails like a name server that cannot be reached.
        --m_shared->threads;
        if (m_shared->threads == 0) {
            m_shared->waiting.pop_back();
            QMetaObject::invokeMethod(
                    this,
                    [this, host] { answer(host, {}, WinsockCode::TryAgain); },
                    Qt::QueuedConnection);
        }
    }
}

void HostResolver::answer(const QByteArray &host, const QByteArray &address, int errorCode)
{
    m_inFlight.erase(host);
    Q_EMIT resolved(host, address, errorCode);
}
