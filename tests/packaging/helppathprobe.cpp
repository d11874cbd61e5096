#include "core/udm.h"

#include <QCoreApplication>

#include <cstdio>

// Prints the help file path that the station's code works out for a binary in this one's place,
// so that a test can run it from an installed tree through a link, as a menu or a shell would.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::printf("%s\n", Tdm::HelpFilePath().toLocal8Bit().constData());
    return 0;
}
