#include "stationtray.h"
#include "traywatcher.h"

#include "resources/stationimages.h"

StationTray::StationTray(QObject *parent)
    : QObject(parent)
    , m_watcher(new TrayWatcher(this))
{
    if (m_watcher->available())
        makeIcon();
}

void StationTray::makeIcon()
{
    m_icon = std::make_unique<QSystemTrayIcon>(ProgramIcon());
    m_icon->setToolTip(QStringLiteral("Veltrin"));
    m_icon->show();
    m_mode = TfMain::Tray::Available;
}

void StationTray::follow(TfMain &window)
{
    if (m_mode == TfMain::Tray::Available)
        return;
    connect(m_watcher, &TrayWatcher::appeared, &window, [this, &window] {
        makeIcon();
        window.setTray(m_icon.get());
    });
    m_watcher->watch();
}
