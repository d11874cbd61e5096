#include "runningstation.h"
#include "localsendprotocol.h"

#include <QEventLoop>
#include <QLocalSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A socket file left where another user could put one must not make the station give way.
bool ServedBySameUser(const QLocalSocket &socket)
{
#ifdef SO_PEERCRED
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &length)
        != 0) {
        return false;
    }
    return credentials.uid == ::geteuid();
#else
    Q_UNUSED(socket);
    return true;
#endif
}

} // namespace

bool AskRunningStationToShow(const QString &path, int timeoutMs)
{
    QLocalSocket socket;
    QEventLoop loop;
    QTimer deadline;
    FrameReader reader;
    bool shown = false;
    bool done = false;
    const auto finish = [&] {
        done = true;
        loop.quit();
    };
    const auto take = [&] {
        reader.append(socket.readAll());
        if (const std::optional<QByteArray> payload = reader.next()) {
            const std::optional<LocalSendReply> reply = DecodeReply(*payload);
            shown = reply && reply->kind == LocalSendReply::Kind::Accepted;
            finish();
        } else if (reader.overlong()) {
            finish();
        }
    };
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, finish);
    QObject::connect(&socket, &QLocalSocket::connected, &loop, [&] {
        if (ServedBySameUser(socket))
            socket.write(EncodeShowWindowFrame());
        else
            finish();
    });
    QObject::connect(&socket, &QLocalSocket::readyRead, &loop, take);
    QObject::connect(&socket, &QLocalSocket::disconnected, &loop, [&] {
        take(); // the answer may come with the end of the connection
        finish();
    });
    QObject::connect(&socket, &QLocalSocket::errorOccurred, &loop, finish);
    socket.connectToServer(path);
    // Nobody listening is known at once; the loop runs only while an answer may still come.
    if (!done && socket.state() != QLocalSocket::UnconnectedState) {
        deadline.start(timeoutMs);
        loop.exec();
    }
    socket.disconnect(&loop);
    socket.abort();
    return shown;
}
