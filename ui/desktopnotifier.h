#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <optional>

class QDBusPendingCallWatcher;

// Tells the desktop about a new message through its notification service (the freedesktop
// Notifications interface on the session bus), so that a message that came while the window was
// away leaves a trace. Messages that come in a burst update the one notification on screen. The
// notification's default action hands back the message it was about. Without a service on the
// bus nothing is shown and nothing is said.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    // The desktop entry's file name without ".desktop": the desktop keys its per-application
    // notification settings by it.
    static constexpr char kDesktopEntry[] = VELTRIN_APP_ID;
    // The icon the desktop entry names.
    static constexpr char kIconName[] = "veltrin";
    // Longer texts are cut here; the whole text is one click away.
    static constexpr int kBodyLength = 200;

    explicit DesktopNotifier(QObject *parent = nullptr);

    // messageId is what activated() gives back when the user picks the notification.
    void notify(const QString &ident, const QString &text, qint32 messageId);

Q_SIGNALS:
    void activated(qint32 messageId);

private Q_SLOTS:
    // The service's signals, connected by name as QtDBus requires.
    void onActionInvoked(uint id, const QString &action);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Pending
    {
        QString summary;
        QString body;
        qint32 messageId = 0;
    };

    void post(const Pending &notification);
    void posted(QDBusPendingCallWatcher *call, qint32 messageId);

    QDBusConnection m_bus;
    uint m_shown = 0;              // the notification on screen, 0 when there is none
    qint32 m_shownMessage = 0;     // the message it is about
    bool m_posting = false;        // a Notify is on its way; its id is not known yet
    bool m_markup = false;         // the service reads the body as markup
    std::optional<Pending> m_next; // came while posting: replaces the one being posted
};
