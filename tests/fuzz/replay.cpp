// Replays every kept input of one fuzz target through the target itself: the corpus, so that
// the inputs the fuzzer found interesting keep passing, and every crash found, so that a fixed
// crash stays fixed.

#include "fuzz/fuzztarget.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

QStringList InputFiles(const QString &directory)
{
    QStringList files;
    const QDir dir(directory);
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (!name.startsWith(u'.'))
            files.append(dir.filePath(name));
    }
    return files;
}

int Replay(const QStringList &files)
{
    for (const QString &path : files) {
        SCOPED_TRACE(path.toStdString());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const QByteArray bytes = file.readAll();
        // An input that breaks a check aborts the process, and the test with it, naming the
        // file through the trace printed before.
        std::fprintf(stderr, "replaying %s\n", qPrintable(path));
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                               std::size_t(bytes.size()));
    }
    return int(files.size());
}

class FuzzReplay : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const std::string reason = FuzzTargetSetUp(); !reason.empty())
            GTEST_SKIP() << reason;
    }
};

} // namespace

TEST_F(FuzzReplay, TheCorpusAndEveryCrashFoundPass)
{
    // The hand-written seeds alone are more than one file; an empty corpus means a wrong path.
    EXPECT_GE(Replay(InputFiles(QStringLiteral(FUZZ_CORPUS_DIR))), 2)
            << "no corpus in " << FUZZ_CORPUS_DIR;
    // A crash kept once it was fixed must stay fixed: it would abort the replay here.
    Replay(InputFiles(QStringLiteral(FUZZ_CRASHES_DIR)));
}
