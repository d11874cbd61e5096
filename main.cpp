#include "core/udm.h"
#include "localsend/localsendprotocol.h"
#include "localsend/localsendservice.h"
#include "localsend/runningstation.h"
#include "platform/terminationsignals.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/messagebox.h"
#include "resources/stationimages.h"
#include "ui/fmMain.h"
#include "ui/stationtray.h"

#include <QApplication>

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

    // Started again while this user's station runs: its window comes up instead, and this
    // start ends quietly. Anyone else on the port still meets the start-up warning.
    if (AskRunningStationToShow(LocalSendSocketPath()))
        return 0;

    TerminationSignals termination;
    // Not quit(): that first asks the windows to close, and the main window only hides.
    QObject::connect(
            &termination, &TerminationSignals::requested, &app, [] { QCoreApplication::exit(0); });
    StationTray tray;

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
        TfMain fMain(dm, tray.icon(), tray.mode());
        tray.follow(fMain);
        localSend.setShowWindowHandler([&fMain] { fMain.bringToFront(); });
        boxes.setParent(&fMain);
        fMain.show();
        result = termination.wasRequested() ? 0 : QApplication::exec();
        // Before the window goes: a message read after this point would be confirmed and
        // announced to nobody.
        dm.stopListening();
        boxes.setParent(nullptr);
        localSend.setShowWindowHandler({});
    }
    return dm.started() ? result : 1;
}
