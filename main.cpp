#include "core/udm.h"
#include "headless/headlessconsole.h"
#include "headless/printedboxes.h"

#include <QCoreApplication>

#include <cstdio>

// Until the station's window exists, the station runs in the terminal: the core with its port,
// clock and histories, driven by the console's commands.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    PrintedBoxes boxes;
    Tdm dm(boxes);
    if (!dm.started())
        return 1;
    std::fputs("Okno stanice ještě není hotové; stanice běží v terminálu.\n"
               "Příkazy: send POČÍTAČ TEXT, tables, queue, quit.\n",
               stderr);
    HeadlessConsole console(dm, stdout);
    console.start();
    return app.exec();
}
