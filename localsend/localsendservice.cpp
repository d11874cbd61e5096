#include "localsendservice.h"
#include "localconnection.h"
#include "localsendprotocol.h"

#include "core/udm.h"
#include "platform/codepage.h"
#include "platform/error.h"

#include <QTimer>

namespace {

QByteArray Text(QStringView czech)
{
    return EncodeWindows1250(czech);
}

} // namespace

struct LocalSendService::Client
{
    struct Copy
    {
        std::weak_ptr<const TMessageQueueItem> entry;
        quint32 index = 0;
    };

    std::unique_ptr<LocalConnection> socket;
    FrameReader reader;
    QTimer requestTimeout;
    bool requestTaken = false;
    std::vector<Copy> copies; // those whose outcome is still to be told
};

LocalSendService::LocalSendService(Tdm &dm, QObject *parent)
    : QObject(parent)
    , m_dm(dm)
{
    connect(&m_listener, &LocalListener::newConnection, this, [this] { accept(); });
}

LocalSendService::~LocalSendService()
{
    for (const std::unique_ptr<Client> &client : m_clients) {
        client->socket->disconnect(this);
        client->socket->abort();
    }
    m_clients.clear();
    m_listener.close(); // the socket file goes with the station
}

bool LocalSendService::start(QString *problem, const QString &path)
{
    const QString name = path.isEmpty() ? LocalSendSocketPath() : path;
    // Listening puts a new socket in place of whatever file has the name, so a live one must
    // be asked first; one that nobody answers on was left by a station that ended abruptly.
    try {
        if (LocalListener::isAnswered(name))
            throw Error("another station already answers on " + PathToWindows1250(name));
        m_listener.listen(name);
    } catch (const std::exception &error) {
        *problem = DecodeWindows1250(ErrorTextOf(error));
        return false;
    }
    // Direct: the entry is known by its address, which holds only while the signal runs.
    connect(&m_dm, &Tdm::messageConfirmed, this, &LocalSendService::report, Qt::DirectConnection);
    connect(&m_dm, &Tdm::messageGivenUp, this, &LocalSendService::report, Qt::DirectConnection);
    return true;
}

void LocalSendService::accept()
{
    while (std::unique_ptr<LocalConnection> connection = m_listener.nextPendingConnection()) {
        if (!IsSameUser(*connection))
            continue; // closed as it goes
        auto client = std::make_unique<Client>();
        LocalConnection *socket = connection.get();
        client->socket = std::move(connection);
        client->requestTimeout.setSingleShot(true);
        client->requestTimeout.setInterval(kRequestTimeoutMs);
        connect(&client->requestTimeout, &QTimer::timeout, socket, [this, socket] {
            if (Client *late = clientOf(socket))
                refuse(*late, Text(u"Požadavek nedošel celý."));
        });
        connect(socket, &LocalConnection::readyRead, this, [this, socket] {
            if (Client *reading = clientOf(socket))
                read(*reading);
        });
        // Queued: a client goes only once nothing of the service is busy with it any more.
        connect(
                socket,
                &LocalConnection::disconnected,
                this,
                [this, socket] { forget(socket); },
                Qt::QueuedConnection);
        client->requestTimeout.start();
        m_clients.push_back(std::move(client));
        // What came with the connection is told by readyRead as the loop comes round.
    }
}

LocalSendService::Client *LocalSendService::clientOf(LocalConnection *socket)
{
    for (const std::unique_ptr<Client> &client : m_clients) {
        if (client->socket.get() == socket)
            return client.get();
    }
    return nullptr;
}

void LocalSendService::read(Client &client)
{
    const QByteArray bytes = client.socket->readAll();
    // One request per connection: whatever follows it is not looked at.
    if (client.requestTaken)
        return;
    client.reader.append(bytes);
    const std::optional<QByteArray> payload = client.reader.next();
    if (payload)
        take(client, *payload);
    else if (client.reader.overlong())
        refuse(client, Text(u"Požadavek je příliš dlouhý."));
}

void LocalSendService::take(Client &client, const QByteArray &payload)
{
    client.requestTaken = true;
    client.requestTimeout.stop();
    if (IsShowWindowRequest(payload)) {
        showWindow(client);
        return;
    }
    const std::optional<LocalSendRequest> request = DecodeRequest(payload);
    if (!request) {
        refuse(client, Text(u"Požadavek nemá platný tvar."));
        return;
    }
    if (const std::optional<QByteArray> problem = RequestProblem(*request)) {
        refuse(client, *problem);
        return;
    }
    try {
        for (qsizetype i = 0; i < request->hosts.size(); ++i) {
            const QByteArray &host = request->hosts[i];
            // As the headless console does, the host stands for the recipient's name too.
            const std::shared_ptr<const TMessageQueueItem> entry
                    = m_dm.QueueMessage(host, host, request->body, request->ident);
            client.copies.push_back({entry, quint32(i)});
        }
    } catch (const std::exception &error) {
        // Copies queued before the failure still go out; their outcomes still come.
        if (client.copies.empty()) {
            refuse(client, ErrorTextOf(error));
            return;
        }
    }
    LocalSendReply accepted;
    accepted.kind = LocalSendReply::Kind::Accepted;
    accepted.index = quint32(client.copies.size());
    send(client, EncodeReplyFrame(accepted));
}

void LocalSendService::showWindow(Client &client)
{
    if (!m_showWindow) {
        refuse(client, Text(u"Stanice nemá okno."));
        return;
    }
    m_showWindow();
    LocalSendReply accepted;
    accepted.kind = LocalSendReply::Kind::Accepted;
    send(client, EncodeReplyFrame(accepted));
    client.socket->disconnectFromServer();
}

void LocalSendService::refuse(Client &client, const QByteArray &text)
{
    client.requestTaken = true;
    client.requestTimeout.stop();
    LocalSendReply refused;
    refused.kind = LocalSendReply::Kind::Refused;
    refused.text = text;
    send(client, EncodeReplyFrame(refused));
    client.socket->disconnectFromServer(); // once what was written has gone out
}

void LocalSendService::send(Client &client, const QByteArray &frame)
{
    client.socket->write(frame); // nothing once the connection has ended
}

void LocalSendService::forget(LocalConnection *socket)
{
    // The copies stay queued in the station; only nobody waits for their outcome any more.
    std::erase_if(m_clients, [socket](const std::unique_ptr<Client> &client) {
        return client->socket.get() == socket;
    });
}

void LocalSendService::report(const TMessageQueueItem &entry)
{
    for (const std::unique_ptr<Client> &client : m_clients) {
        auto copy = std::find_if(
                client->copies.begin(), client->copies.end(), [&entry](const Client::Copy &c) {
                    return c.entry.lock().get() == &entry;
                });
        if (copy == client->copies.end())
            continue;
        LocalSendReply outcome;
        outcome.kind = LocalSendReply::Kind::Outcome;
        outcome.index = copy->index;
        outcome.confirmed = entry.State == TMessageQueueItem::Confirmed;
        outcome.text = outcome.confirmed ? QByteArray() : entry.ErrorText;
        client->copies.erase(copy);
        send(*client, EncodeReplyFrame(outcome));
        if (client->copies.empty())
            client->socket->disconnectFromServer();
        return;
    }
}
