#include "headlessconsole.h"
#include "printedboxes.h"

#include "core/udm.h"
#include "localsend/localsendservice.h"
#include "platform/terminationsignals.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::requested, &app, &QCoreApplication::quit);
    PrintedBoxes boxes;
    Tdm dm(boxes);
    if (!dm.started())
        return 1;
    HeadlessConsole console(dm, stdout);
    // veltrin-send hands its messages to the running station here; without it, it cannot.
    LocalSendService localSend(dm);
    QString problem;
    if (!localSend.start(&problem))
        std::fprintf(stderr,
                     "warning: veltrin-send cannot reach this station: %s\n",
                     problem.toLocal8Bit().constData());
    console.start();
    const int result = termination.wasRequested() ? 0 : app.exec();
    // Before the console goes: nothing is confirmed that nobody is told of.
    dm.stopListening();
    return result;
}
