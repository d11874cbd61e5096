#include "runningstation.h"
#include "localsendprotocol.h"

#include <QEventLoop>
#include <QLocalSocket>
#include <QTimer>

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
        if (IsSameUser(socket))
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
