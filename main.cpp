#include "core/udm.h"
#include "localsend/localsendservice.h"
#include "platform/ui/helpviewer.h"
#include "resources/stationimages.h"
#include "ui/fmMain.h"
#include "ui/widgetboxes.h"

#include <QApplication>
#include <QSystemTrayIcon>

// Only wires the station together: the tray icon exists before the core starts and after it
// stops, and the window goes before the core, which still owns what the window shows.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Closing the window hides it; only "Konec" ends the station.
    app.setQuitOnLastWindowClosed(false);
    app.setWindowIcon(ProgramIcon());
    // Lets the desktop match the window to the menu entry, its name and icon (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(VELTRIN_APP_ID));

    const TfMain::Tray trayMode = QSystemTrayIcon::isSystemTrayAvailable()
                                          ? TfMain::Tray::Available
                                          : TfMain::Tray::Unavailable;
    QSystemTrayIcon tray(ProgramIcon());
    tray.setToolTip(QStringLiteral("Veltrin"));
    if (trayMode == TfMain::Tray::Available)
        tray.show();

    HelpKeyFilter help(Tdm::HelpFilePath());
    app.installEventFilter(&help);

    WidgetMessageBoxes boxes;
    Tdm dm(boxes);
    // veltrin-send hands its messages to the running station here; the station runs without.
    LocalSendService localSend(dm);
    if (QString problem; dm.started() && !localSend.start(&problem))
        qWarning("veltrin-send cannot reach this station: %s", qUtf8Printable(problem));
    int result = 0;
    {
        TfMain fMain(dm, &tray, trayMode);
        boxes.setParent(&fMain);
        fMain.show();
        result = QApplication::exec();
        boxes.setParent(nullptr);
    }
    return dm.started() ? result : 1;
}
