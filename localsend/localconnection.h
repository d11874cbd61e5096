#pragma once

#include "platform/sockethandle.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

// One end of a connection on a local stream socket, driven by the event loop: what arrives is
// kept until read, what is written goes out as fast as the peer takes it, and the end of the
// connection, by either side, is told once. A connection never blocks the loop, except that
// connecting waits (a bounded time) while the listener's queue is full.
class LocalConnection : public QObject
{
    Q_OBJECT

public:
    explicit LocalConnection(QObject *parent = nullptr);
    // Takes over a socket a listener accepted.
    explicit LocalConnection(SocketHandle socket, QObject *parent = nullptr);
    ~LocalConnection() override;

    // Connects to the listener on path. Throws an Error with the reason when nobody listens
    // there, the name is unusable, or the listener's queue stays full for timeoutMs.
    void connectTo(const QString &path, int timeoutMs);

    bool isConnected() const { return m_socket.isValid(); }
    // The socket, for asking the kernel about its peer; -1 once closed.
    int descriptor() const { return m_socket.fd(); }

    // What has arrived and was not read yet.
    QByteArray readAll();
    // Queued behind what is still unsent; nothing happens once the connection is closed.
    void write(const QByteArray &bytes);
    qsizetype bytesToWrite() const { return m_output.size(); }
    // Closes once everything written has gone out, then tells disconnected().
    void disconnectFromServer();
    // Closes at once, dropping what was not sent yet, without a word: whoever aborts knows.
    void abort();

Q_SIGNALS:
    // New bytes are waiting for readAll().
    void readyRead();
    // The connection has ended: the peer closed it or failed, or disconnectFromServer() is
    // done. Always comes from the event loop, never from inside a call on this object.
    void disconnected();

private:
    void attach(SocketHandle socket);
    void receive();
    void flush();
    void close();

    SocketHandle m_socket;
    QSocketNotifier m_readable;
    QSocketNotifier m_writable;
    QByteArray m_input;
    QByteArray m_output;
    bool m_closeWhenWritten = false;
    // Raised on every close that is to be told; a told close of an earlier socket is not.
    quint64 m_generation = 0;
};
