#include "desktopnotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
constexpr int kServerDecidesTimeout = -1;

QDBusMessage Call(const QString &method)
{
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent)
    : QObject(parent)
    , m_bus(QDBusConnection::sessionBus())
{
    if (!m_bus.isConnected())
        return;
    m_bus.connect(kService,
                  kPath,
                  kInterface,
                  QStringLiteral("ActionInvoked"),
                  this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(kService,
                  kPath,
                  kInterface,
                  QStringLiteral("NotificationClosed"),
                  this,
                  SLOT(onNotificationClosed(uint, uint)));
    // A service that reads markup would take a "<" or "&" of the text for the start of a tag.
    auto *capabilities = new QDBusPendingCallWatcher(
            m_bus.asyncCall(Call(QStringLiteral("GetCapabilities"))), this);
    connect(capabilities, &QDBusPendingCallWatcher::finished, this, [this](auto *call) {
        const QDBusPendingReply<QStringList> reply = *call;
        if (reply.isValid())
            m_markup = reply.value().contains(QStringLiteral("body-markup"));
        call->deleteLater();
    });
}

void DesktopNotifier::notify(const QString &ident, const QString &text, qint32 messageId)
{
    if (!m_bus.isConnected())
        return;
    Pending notification;
    notification.summary = QStringLiteral("Nová zpráva od ") + ident;
    notification.body
            = text.size() > kBodyLength ? text.left(kBodyLength - 1) + QChar(0x2026) : text;
    notification.messageId = messageId;
    // Until the service has said which id the one being posted got, a second one would stack.
    if (m_posting)
        m_next = notification;
    else
        post(notification);
}

void DesktopNotifier::post(const Pending &notification)
{
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    QDBusMessage call = Call(QStringLiteral("Notify"));
    call << QStringLiteral("Veltrin") << m_shown << QString::fromLatin1(kIconName)
         << notification.summary
         << (m_markup ? notification.body.toHtmlEscaped() : notification.body)
         << QStringList{kDefaultAction, QStringLiteral("Zobrazit")} << hints
         << kServerDecidesTimeout;
    m_posting = true;
    // The service shows the new text in place of the old as it takes the call: a click from then
    // on is about this message, though the service's answer may still be on its way.
    if (m_shown != 0)
        m_shownMessage = notification.messageId;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    const qint32 messageId = notification.messageId;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, messageId](auto *done) {
        posted(done, messageId);
    });
}

void DesktopNotifier::posted(QDBusPendingCallWatcher *call, qint32 messageId)
{
    call->deleteLater();
    m_posting = false;
    const QDBusPendingReply<uint> reply = *call;
    // No service, or one that failed: the message is in the window all the same.
    if (reply.isValid() && reply.value() != 0) {
        m_shown = reply.value();
        m_shownMessage = messageId;
    }
    if (m_next) {
        const Pending next = *m_next;
        m_next.reset();
        post(next);
    }
}

void DesktopNotifier::onActionInvoked(uint id, const QString &action)
{
    if (id != 0 && id == m_shown && action == kDefaultAction)
        Q_EMIT activated(m_shownMessage);
}

void DesktopNotifier::onNotificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason);
    // The next message gets a notification of its own again.
    if (id != 0 && id == m_shown)
        m_shown = 0;
}
