#pragma once

#include "support/privatenetwork.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <memory>
#include <string>
#include <vector>

// Where the windows of a desktop test go.
enum class DesktopDisplay {
    Offscreen, // Qt's offscreen platform
    X11,       // an Xvfb display, the xcb platform
    Wayland,   // weston's headless backend, the wayland platform
};

// A desktop of the test child's own: a private session bus (no service on it is started on
// demand, so nothing of the machine's desktop answers) and the display asked for, with a
// private XDG_RUNTIME_DIR. The servers end with the child. Meant as the prepare step of
// RunInPreparedChild: the reason to skip, or an empty text.
std::string StartDesktopSession(DesktopDisplay display);

// The test's own connection to the private bus, apart from the station's, as a desktop
// service's would be.
QDBusConnection DesktopServiceConnection();

// Runs body like RUN_WINDOW_TEST, but in a child with a desktop session of its own (the servers
// and the environment end with it); its stations are on loopback as in this process.
#define RUN_DESKTOP_TEST(display, ...)                                                             \
    do {                                                                                           \
        const PrivateNetworkResult result_                                                         \
                = RunInPreparedChild([] { return StartDesktopSession(display); },                  \
                                     __VA_ARGS__,                                                  \
                                     120,                                                          \
                                     MakeDesktopApplication);                                      \
        if (result_.outcome == PrivateNetworkResult::Outcome::Skipped)                             \
            GTEST_SKIP() << result_.message;                                                       \
        if (result_.outcome == PrivateNetworkResult::Outcome::Failed)                              \
            FAIL() << result_.message;                                                             \
    } while (false)

std::unique_ptr<QCoreApplication> MakeDesktopApplication(int &argc, char **argv);

// The desktop's services answer from a thread of their own, as from a process of their own:
// Qt's tray asks the watcher with blocking calls from the station's thread.
class DesktopService : public QObject
{
    Q_OBJECT

public:
    ~DesktopService() override;

protected:
    // Owns service on the test's connection with this object at path; false when it cannot.
    bool startAt(const QString &service, const QString &path, QDBusConnection::RegisterOptions how);

    mutable QMutex m_mutex;

private:
    QThread m_thread;
    QString m_service;
    QString m_path;
};

// A notification service that records what it is asked to show and can act as the user
// picking a notification.
class RecordingNotifications : public DesktopService
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Notification
    {
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        uint id = 0; // the one it got
    };

    bool start();
    void invokeAction(uint id, const QString &action);
    std::vector<Notification> notifications() const;

public Q_SLOTS:
    uint Notify(const QString &appName,
                uint replacesId,
                const QString &appIcon,
                const QString &summary,
                const QString &body,
                const QStringList &actions,
                const QVariantMap &hints,
                int expireTimeout);
    QStringList GetCapabilities();
    void CloseNotification(uint id);

private:
    uint m_lastId = 0;
    std::vector<Notification> m_notifications;
};

// The StatusNotifierItem hosts' watcher, recording the items that register with it.
class StatusNotifierWatcherStandIn : public DesktopService
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)

public:
    bool start();
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    // "service" or "service/path" as each item gave it.
    QStringList registeredItems() const;
    // Clicks an item as a host does: Activate on its StatusNotifierItem object. The item
    // answers once its program has handled the click.
    QDBusPendingCall activate(const QString &item);

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message);
    void RegisterStatusNotifierHost(const QString &service);

private:
    QStringList m_items;
};
