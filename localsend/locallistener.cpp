#include "locallistener.h"
#include "localconnection.h"
#include "unixsocketcalls.h"

#include "platform/error.h"

#include <QFile>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr int kBacklog = 50;
// Out of descriptors, a waiting connection cannot be taken and would wake the loop for ever.
constexpr int kOutOfDescriptorsPauseMs = 1000;

// A private directory beside the socket's place, where the socket is made and given its
// mode before anyone can reach it; removed again however listening ends.
class NewSocketDirectory
{
public:
    explicit NewSocketDirectory(const QByteArray &socketPath)
    {
        const qsizetype slash = socketPath.lastIndexOf('/');
        QByteArray pattern = (slash < 0 ? QByteArray(".") : socketPath.left(slash)) + "/.XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
    }
    ~NewSocketDirectory()
    {
        if (m_path.isEmpty())
            return;
        ::unlink(socketPath().constData());
        ::rmdir(m_path.constData());
    }
    NewSocketDirectory(const NewSocketDirectory &) = delete;
    NewSocketDirectory &operator=(const NewSocketDirectory &) = delete;

    bool isValid() const { return !m_path.isEmpty(); }
    QByteArray socketPath() const { return m_path + "/s"; }

private:
    QByteArray m_path;
};

} // namespace

LocalListener::LocalListener(QObject *parent)
    : QObject(parent)
    , m_readable(QSocketNotifier::Read)
{
    m_readable.setEnabled(false);
    connect(&m_readable, &QSocketNotifier::activated, this, [this] { acceptWaiting(); });
}

LocalListener::~LocalListener()
{
    close();
}

bool LocalListener::isAnswered(const QString &path)
{
    using namespace UnixSocketCalls;
    const std::optional<sockaddr_un> address = AddressOf(QFile::encodeName(path));
    if (!address)
        return false;
    const SocketHandle probe = Socket();
    if (!probe.isValid())
        return false;
    // A local connect is settled at once: taken, refused, or, when the listener's queue is
    // full, to be tried again, which still means somebody listens.
    return Connect(probe.fd(), *address) == 0 || errno == EAGAIN;
}

void LocalListener::listen(const QString &path)
{
    using namespace UnixSocketCalls;
    close();
    const QByteArray name = QFile::encodeName(path);
    if (!AddressOf(name))
        throw Error(Failure(path, ENAMETOOLONG));
    const NewSocketDirectory directory(name);
    if (!directory.isValid())
        throw Error(Failure(path, errno));
    const std::optional<sockaddr_un> address = AddressOf(directory.socketPath());
    if (!address)
        throw Error(Failure(path, ENAMETOOLONG));
    SocketHandle socket = Socket();
    if (!socket.isValid() || Bind(socket.fd(), *address) != 0 || Listen(socket.fd(), kBacklog) != 0
        || ::chmod(directory.socketPath().constData(), S_IRUSR | S_IWUSR) != 0) {
        throw Error(Failure(path, errno));
    }
    // In one step, so that nobody ever finds the name missing or open to others.
    struct stat status = {};
    if (::rename(directory.socketPath().constData(), name.constData()) != 0
        || ::lstat(name.constData(), &status) != 0) {
        throw Error(Failure(path, errno));
    }
    m_socket = std::move(socket);
    m_path = path;
    m_device = status.st_dev;
    m_inode = status.st_ino;
    m_readable.setSocket(m_socket.fd());
    m_readable.setEnabled(true);
}

void LocalListener::close()
{
    m_readable.setEnabled(false);
    m_pending.clear();
    if (!m_socket.isValid())
        return;
    m_socket.close();
    const QByteArray name = QFile::encodeName(m_path);
    struct stat status = {};
    if (::lstat(name.constData(), &status) == 0 && status.st_dev == m_device
        && status.st_ino == m_inode) {
        ::unlink(name.constData());
    }
}

std::unique_ptr<LocalConnection> LocalListener::nextPendingConnection()
{
    if (m_pending.empty())
        return nullptr;
    std::unique_ptr<LocalConnection> next = std::move(m_pending.front());
    m_pending.erase(m_pending.begin());
    return next;
}

void LocalListener::acceptWaiting()
{
    bool accepted = false;
    for (;;) {
        SocketHandle connection = UnixSocketCalls::Accept(m_socket.fd());
        if (!connection.isValid()) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                m_readable.setEnabled(false);
                QTimer::singleShot(kOutOfDescriptorsPauseMs, this, [this] {
                    m_readable.setEnabled(isListening());
                });
            }
            break; // EAGAIN: none left; ECONNABORTED and the like: that one is gone
        }
        m_pending.push_back(std::make_unique<LocalConnection>(std::move(connection)));
        accepted = true;
    }
    if (accepted)
        Q_EMIT newConnection();
}
