#pragma once

#include "fmMain.h"

#include <QObject>
#include <QSystemTrayIcon>

class TrayWatcher;

// The station's tray icon, shown while there is a tray to show it in. When the station starts
// before the desktop's panel, the icon comes as soon as a tray appears, and from then on the
// window's close box hides the window as it does with a tray from the start.
class StationTray : public QObject
{
    Q_OBJECT

public:
    explicit StationTray(QObject *parent = nullptr);

    QSystemTrayIcon *icon() { return &m_icon; }
    TfMain::Tray mode() const { return m_mode; }
    // Tells window when a tray turns up later; the window must outlive the tray's watch.
    void follow(TfMain &window);

private:
    QSystemTrayIcon m_icon;
    TrayWatcher *m_watcher;
    TfMain::Tray m_mode = TfMain::Tray::Unavailable;
};
