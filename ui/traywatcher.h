#pragma once

#include <QObject>
#include <QTimer>

class QDBusServiceWatcher;

// Whether a tray is there to bring a hidden window back from, and the moment one turns up: a
// StatusNotifierItem host (its watcher on the session bus) or, on X11, a classic XEmbed tray.
// A panel started after the station is the usual reason for a late tray.
//
// It never asks QSystemTrayIcon::isSystemTrayAvailable(): Qt decides once per process whether
// to use the StatusNotifierItem way, at its first look, so a look taken before the watcher
// appears would keep the icon off such a tray for good.
class TrayWatcher : public QObject
{
    Q_OBJECT

public:
    // How often an X11 desktop is looked at again for a classic tray, which announces itself
    // to nobody the station listens to.
    static constexpr int kRecheckMs = 3000;

    explicit TrayWatcher(QObject *parent = nullptr);

    bool available() const;
    // From now on, appeared() comes once when a tray turns up.
    void watch();

Q_SIGNALS:
    void appeared();

private:
    void recheck();

    QDBusServiceWatcher *m_watcher = nullptr;
    QTimer m_recheck;
    bool m_announced = false;
};
