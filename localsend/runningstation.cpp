#include "runningstation.h"
#include "localconnection.h"
#include "locallistener.h"
#include "localsendprotocol.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

bool AskRunningStationToShow(const QString &path, int timeoutMs)
{
    // The usual start finds nobody listening (no socket, or one a station left when it was
    // ended): that is known without a failed connection to unwind from on the way to the window.
    if (!LocalListener::isAnswered(path))
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    LocalConnection connection;
    try {
        // Nobody listening is known at once; only a full queue at the station makes this wait.
        connection.connectTo(path, timeoutMs);
    } catch (const std::exception &) {
        return false;
    }
    if (!IsSameUser(connection))
        return false;

    QEventLoop loop;
    QTimer expiry;
    FrameReader reader;
    bool shown = false;
    bool done = false;
    const auto finish = [&] {
        done = true;
        loop.quit();
    };
    const auto take = [&] {
        reader.append(connection.readAll());
        if (const std::optional<QByteArray> payload = reader.next()) {
            const std::optional<LocalSendReply> reply = DecodeReply(*payload);
            shown = reply && reply->kind == LocalSendReply::Kind::Accepted;
            finish();
        } else if (reader.overlong()) {
            finish();
        }
    };
    expiry.setSingleShot(true);
    QObject::connect(&expiry, &QTimer::timeout, &loop, finish);
    QObject::connect(&connection, &LocalConnection::readyRead, &loop, take);
    QObject::connect(&connection, &LocalConnection::disconnected, &loop, [&] {
        take(); // the answer may come with the end of the connection
        finish();
    });
    connection.write(EncodeShowWindowFrame());
    expiry.start(std::max<qint64>(deadline.remainingTime(), 0));
    if (!done)
        loop.exec();
    connection.disconnect(&loop);
    connection.abort();
    return shown;
}
