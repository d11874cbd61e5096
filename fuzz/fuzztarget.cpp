#include "fuzztarget.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

void FuzzFailure(const char *what, const QByteArray &detail)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    if (!detail.isEmpty())
        std::fprintf(stderr, "  %s\n", detail.toPercentEncoding(" <>|~=#").constData());
    std::fflush(stderr);
    std::abort();
}

QString FuzzScratchDirectory()
{
    // A function-local static is destroyed at exit, which removes the directory with it.
    static QTemporaryDir directory(QDir::tempPath() + QStringLiteral("/veltrin-fuzz-XXXXXX"));
    return directory.isValid() ? directory.path() : QString();
}
