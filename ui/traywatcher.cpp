#include "traywatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

bool StatusNotifierHostPresent()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()
           && bus.interface()->isServiceRegistered(kWatcherService).value();
}

// The tray manager owns the selection the XEmbed tray convention names after the screen.
bool XEmbedTrayPresent()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display *display = x11 ? x11->display() : nullptr;
    if (!display)
        return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.constData(), False);
    return selection != None && XGetSelectionOwner(display, selection) != None;
}

} // namespace

TrayWatcher::TrayWatcher(QObject *parent)
    : QObject(parent)
{
    m_recheck.setInterval(kRecheckMs);
    connect(&m_recheck, &QTimer::timeout, this, [this] { recheck(); });
}

bool TrayWatcher::available() const
{
    return StatusNotifierHostPresent() || XEmbedTrayPresent();
}

void TrayWatcher::watch()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && !m_watcher) {
        m_watcher = new QDBusServiceWatcher(
                kWatcherService, bus, QDBusServiceWatcher::WatchForRegistration, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { recheck(); });
    }
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        m_recheck.start();
    recheck();
}

void TrayWatcher::recheck()
{
    if (m_announced || !available())
        return;
    m_announced = true;
    m_recheck.stop();
    if (m_watcher)
        m_watcher->setWatchedServices({});
    Q_EMIT appeared();
}
