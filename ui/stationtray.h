#pragma once

#include "fmMain.h"

#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

class TrayWatcher;

// The station's tray icon, shown while there is a tray to show it in. When the station starts
// before the desktop's panel, the icon comes as soon as a tray appears, and from then on the
// window's close box hides the window as it does with a tray from the start.
//
// The icon is made only once there is a tray: Qt settles how it shows an icon when the icon
// is made, and one made before the StatusNotifierItem watcher appeared would never reach it.
class StationTray : public QObject
{
    Q_OBJECT

public:
    explicit StationTray(QObject *parent = nullptr);

    // Nothing while there is no tray.
    QSystemTrayIcon *icon() { return m_icon.get(); }
    TfMain::Tray mode() const { return m_mode; }
    // Hands window the icon when a tray turns up later.
    void follow(TfMain &window);

private:
    void makeIcon();

    std::unique_ptr<QSystemTrayIcon> m_icon;
    TrayWatcher *m_watcher;
    TfMain::Tray m_mode = TfMain::Tray::Unavailable;
};
