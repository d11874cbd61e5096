#pragma once

#include "locallistener.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class LocalConnection;
class Tdm;
struct TMessageQueueItem;

// Lets veltrin-send hand a message to the running station instead of taking the port itself.
// Each connection may make one request: its copies are queued exactly as the compose dialog
// queues them, and the connection is told when each one is confirmed or given up, then closed.
// Anything that is not a well-formed request from this same user is refused. Once listening,
// the service hears of every outcome the core announces. A second start of the station may
// instead ask for the window, which the service hands to whoever shows it.
class LocalSendService : public QObject
{
    Q_OBJECT

public:
    // How long a connection may take to deliver its request.
    static constexpr int kRequestTimeoutMs = 10000;

    explicit LocalSendService(Tdm &dm, QObject *parent = nullptr);
    ~LocalSendService() override;

    // Listens on path (LocalSendSocketPath() unless a test says otherwise). A socket left behind
    // by a station that ended without removing it is replaced; a live one is not. False with
    // the reason when it cannot listen; the station runs on without this way in.
    bool start(QString *problem, const QString &path = {});
    QString path() const { return m_listener.path(); }
    // Brings the station's window to the front; without one the request is refused.
    void setShowWindowHandler(std::function<void()> showWindow)
    {
        m_showWindow = std::move(showWindow);
    }

private:
    struct Client;

    void accept();
    void read(Client &client);
    void take(Client &client, const QByteArray &payload);
    void showWindow(Client &client);
    void refuse(Client &client, const QByteArray &text);
    void send(Client &client, const QByteArray &frame);
    void forget(LocalConnection *socket);
    void report(const TMessageQueueItem &entry);
    Client *clientOf(LocalConnection *socket);

    Tdm &m_dm;
    LocalListener m_listener;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::function<void()> m_showWindow;
};
