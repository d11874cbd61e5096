#include "stationtray.h"
#include "traywatcher.h"

#include "resources/stationimages.h"

StationTray::StationTray(QObject *parent)
    : QObject(parent)
    , m_icon(ProgramIcon())
    , m_watcher(new TrayWatcher(this))
{
    m_icon.setToolTip(QStringLiteral("Veltrin"));
    if (m_watcher->available()) {
        m_mode = TfMain::Tray::Available;
        m_icon.show();
    }
}

void StationTray::follow(TfMain &window)
{
    if (m_mode == TfMain::Tray::Available)
        return;
    connect(m_watcher, &TrayWatcher::appeared, &window, [this, &window] {
        m_mode = TfMain::Tray::Available;
        m_icon.show();
        window.setTrayMode(m_mode);
    });
    m_watcher->watch();
}
