#include "localconnection.h"
#include "unixsocketcalls.h"

#include "platform/error.h"

#include <QFile>
#include <QMetaObject>
#include <QPointer>

#include <cerrno>

namespace {

// Read at most this much at a time, so that a peer writing without pause cannot keep the loop
// in one connection; the notifier comes again for the rest.
constexpr qsizetype kReadChunk = 64 * 1024;
constexpr int kReadChunksPerTurn = 4;

} // namespace

LocalConnection::LocalConnection(QObject *parent)
    : QObject(parent)
    , m_readable(QSocketNotifier::Read)
    , m_writable(QSocketNotifier::Write)
{
    m_readable.setEnabled(false);
    m_writable.setEnabled(false);
    connect(&m_readable, &QSocketNotifier::activated, this, [this] { receive(); });
    connect(&m_writable, &QSocketNotifier::activated, this, [this] { flush(); });
}

LocalConnection::LocalConnection(SocketHandle socket, QObject *parent)
    : LocalConnection(parent)
{
    attach(std::move(socket));
}

LocalConnection::~LocalConnection()
{
    abort();
}

void LocalConnection::connectTo(const QString &path, int timeoutMs)
{
    using namespace UnixSocketCalls;
    abort();
    const std::optional<sockaddr_un> address = AddressOf(QFile::encodeName(path));
    if (!address)
        throw Error(Failure(path, ENAMETOOLONG));
    // Connecting blocks only while the listener's queue is full, and the send timeout bounds
    // that wait; afterwards the socket never blocks.
    SocketHandle socket = Socket(false);
    if (!socket.isValid() || SetSendTimeout(socket.fd(), std::max(timeoutMs, 1)) != 0)
        throw Error(Failure(path, errno));
    if (Connect(socket.fd(), *address) != 0)
        throw Error(Failure(path, errno));
    if (SetSendTimeout(socket.fd(), 0) != 0 || SetNonBlocking(socket.fd()) != 0)
        throw Error(Failure(path, errno));
    attach(std::move(socket));
}

void LocalConnection::attach(SocketHandle socket)
{
    m_socket = std::move(socket);
    m_input.clear();
    m_output.clear();
    m_closeWhenWritten = false;
    m_readable.setSocket(m_socket.fd());
    m_writable.setSocket(m_socket.fd());
    m_readable.setEnabled(true);
}

QByteArray LocalConnection::readAll()
{
    return std::exchange(m_input, QByteArray());
}

void LocalConnection::write(const QByteArray &bytes)
{
    if (!isConnected() || m_closeWhenWritten || bytes.isEmpty())
        return;
    m_output.append(bytes);
    flush();
}

void LocalConnection::disconnectFromServer()
{
    if (!isConnected() || m_closeWhenWritten)
        return;
    m_closeWhenWritten = true;
    if (m_output.isEmpty())
        close();
}

void LocalConnection::abort()
{
    ++m_generation; // an end already on its way to be told is not told any more
    m_readable.setEnabled(false);
    m_writable.setEnabled(false);
    m_socket.close();
    m_output.clear();
    m_closeWhenWritten = false;
}

void LocalConnection::receive()
{
    bool arrived = false;
    bool ended = false;
    for (int chunk = 0; chunk < kReadChunksPerTurn; ++chunk) {
        const qsizetype before = m_input.size();
        m_input.resize(before + kReadChunk);
        const ssize_t received
                = UnixSocketCalls::Receive(m_socket.fd(), m_input.data() + before, kReadChunk);
        const int error = errno;
        m_input.resize(before + std::max<qsizetype>(received, 0));
        if (received > 0) {
            arrived = true;
            continue;
        }
        // Zero is the peer's orderly end; a reset comes after everything it had sent.
        ended = received == 0 || (error != EAGAIN && error != EWOULDBLOCK);
        break;
    }
    const QPointer<LocalConnection> alive(this);
    const quint64 generation = m_generation;
    if (arrived)
        Q_EMIT readyRead();
    // Whoever read may have closed, reused or deleted the connection meanwhile.
    if (ended && alive && generation == m_generation && isConnected())
        close();
}

void LocalConnection::flush()
{
    while (!m_output.isEmpty()) {
        const ssize_t sent = UnixSocketCalls::Send(
                m_socket.fd(), m_output.constData(), std::size_t(m_output.size()));
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_writable.setEnabled(true); // the rest when the peer has taken some
                return;
            }
            close(); // the peer is gone: what was not sent is lost with it
            return;
        }
        m_output.remove(0, sent);
    }
    m_writable.setEnabled(false);
    if (m_closeWhenWritten)
        close();
}

void LocalConnection::close()
{
    abort();
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == m_generation)
                    Q_EMIT disconnected();
            },
            Qt::QueuedConnection);
}
