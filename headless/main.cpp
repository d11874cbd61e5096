#include "headlessconsole.h"
#include "printedboxes.h"

#include "core/udm.h"
#include "localsend/localsendservice.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
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
    return app.exec();
}
