#include "fuzztarget.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (const std::string reason = FuzzTargetSetUp(); !reason.empty())
        FuzzFailure(reason.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzTestOneInput(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}

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
