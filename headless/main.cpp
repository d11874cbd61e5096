#include "headlessconsole.h"
#include "printedboxes.h"

#include "core/udm.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    PrintedBoxes boxes;
    Tdm dm(boxes);
    if (!dm.started())
        return 1;
    HeadlessConsole console(dm, stdout);
    console.start();
    return app.exec();
}
