#include "senderrun.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QFile input;
    QFile output;
    QFile errors;
    // Unbuffered, so that each outcome line shows as soon as it is known.
    if (!input.open(stdin, QIODevice::ReadOnly)
        || !output.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)
        || !errors.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        std::fputs("veltrin-send: standard streams are not open\n", stderr);
        return kUsageOrStartError;
    }
    return RunSender(QCoreApplication::arguments(), input, output, errors);
}
