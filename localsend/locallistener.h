#pragma once

#include "platform/sockethandle.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>
#include <sys/types.h>
#include <vector>

class LocalConnection;

// Listens on a local stream socket that only this user may connect to. The socket file takes
// the place of whatever file had its name, and goes with the listener, unless another has
// taken its place meanwhile.
class LocalListener : public QObject
{
    Q_OBJECT

public:
    explicit LocalListener(QObject *parent = nullptr);
    ~LocalListener() override;

    // Whether something listens on path now; a file nobody answers on is left by a program
    // that ended without removing it.
    static bool isAnswered(const QString &path);

    // Throws an Error with the reason when it cannot listen on path.
    void listen(const QString &path);
    void close();
    bool isListening() const { return m_socket.isValid(); }
    QString path() const { return m_path; }

    // The next connection accepted, or nothing; the caller owns it.
    std::unique_ptr<LocalConnection> nextPendingConnection();

Q_SIGNALS:
    // Connections wait for nextPendingConnection().
    void newConnection();

private:
    void acceptWaiting();

    SocketHandle m_socket;
    QSocketNotifier m_readable;
    QString m_path;
    // The socket file as listening left it, so that close() removes that one only.
    dev_t m_device = 0;
    ino_t m_inode = 0;
    std::vector<std::unique_ptr<LocalConnection>> m_pending;
};
