#include "support/filehelpers.h"
#include "support/privatenetwork.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

// The installed tree, from the build's install rules into a scratch root and from the Debian
// package unpacked with dpkg-deb: which files land where with which modes, that the links reach
// the program's directory, and that the programs run from there and find their help file.

namespace {

const QString kBuildDir = QStringLiteral(VELTRIN_BUILD_DIR);
const QString kSourceDir = QStringLiteral(VELTRIN_SOURCE_DIR);
const QString kVersion = QStringLiteral(VELTRIN_VERSION_TEXT);
constexpr bool kSenderBuilt = VELTRIN_SEND_BUILT;
constexpr bool kSenderManual = VELTRIN_SEND_MANUAL;
const int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int kStationPort = 34888;

struct ProgramRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ProgramRun RunProgram(const QString &program,
                      const QStringList &arguments,
                      const QProcessEnvironment &environment
                      = QProcessEnvironment::systemEnvironment(),
                      int timeoutMilliseconds = 120000)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    // In a process group of its own, so that a timeout ends cpack together with what it started.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.start(program, arguments);
    ProgramRun run;
    if (!process.waitForStarted(10000))
        return run;
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMilliseconds)) {
        const pid_t group = pid_t(process.processId());
        if (group > 0)
            ::kill(-group, SIGKILL);
        process.waitForFinished();
    }
    run.finished = process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

std::string Describe(const ProgramRun &run)
{
    return "exit " + std::to_string(run.exitCode) + "\n" + run.out.toStdString()
           + run.err.toStdString();
}

int Mode(const QString &path)
{
    struct stat status
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}

QString LinkText(const QString &path)
{
    char buffer[4096];
    const ssize_t size = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return size < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(size)));
}

std::set<std::string> FilesUnder(const QString &root)
{
    std::set<std::string> files;
    QDirIterator it(root,
                    QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(QDir(root).relativeFilePath(it.next()).toStdString());
    return files;
}

std::set<std::string> ExpectedFiles()
{
    std::set<std::string> files = {
            "opt/veltrin/veltrin",
            "opt/veltrin/veltrin-headless",
            "opt/veltrin/VELTRIN.HLP",
            "opt/veltrin/veltrin-sound.so",
            "opt/veltrin/autostart/veltrin.desktop",
            "usr/bin/veltrin",
            "usr/share/applications/veltrin.desktop",
            "usr/share/icons/hicolor/scalable/apps/veltrin.svg",
    };
    for (const int size : kIconSizes)
        files.insert("usr/share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size)
                     + "/apps/veltrin.png");
    if (kSenderBuilt) {
        files.insert("opt/veltrin/veltrin-send");
        files.insert("usr/bin/veltrin-send");
    }
    if (kSenderManual)
        files.insert("usr/share/man/man1/veltrin-send.1.gz");
    return files;
}

QStringList Programs()
{
    QStringList programs = {QStringLiteral("veltrin"), QStringLiteral("veltrin-headless")};
    if (kSenderBuilt)
        programs << QStringLiteral("veltrin-send");
    return programs;
}

void CheckIcon(const QString &path, int size)
{
    QImageReader reader(path);
    EXPECT_EQ(reader.format(), "png") << qPrintable(path);
    const QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << qPrintable(path) << ": " << qPrintable(reader.errorString());
    EXPECT_EQ(image.size(), QSize(size, size)) << qPrintable(path);
    EXPECT_TRUE(image.hasAlphaChannel()) << qPrintable(path);
    // The drawing leaves the top left corner empty and covers the middle of the square.
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << qPrintable(path);
    EXPECT_GT(qAlpha(image.pixel(size / 2, size * 3 / 4)), 0) << qPrintable(path);
}

// Everything that must hold of an installed tree, wherever it came from.
void CheckTree(const QString &root)
{
    EXPECT_EQ(FilesUnder(root), ExpectedFiles());

    for (const QString &program : Programs()) {
        const QString path = root + QStringLiteral("/opt/veltrin/") + program;
        EXPECT_EQ(Mode(path), 0755) << qPrintable(path);
        const ProgramRun ldd = RunProgram(QStringLiteral("ldd"), {path});
        EXPECT_TRUE(ldd.finished && ldd.exitCode == 0) << Describe(ldd);
        EXPECT_FALSE(ldd.out.contains("not found")) << ldd.out.toStdString();
    }
    QStringList linked = {QStringLiteral("veltrin")};
    if (kSenderBuilt)
        linked << QStringLiteral("veltrin-send");
    for (const QString &program : linked) {
        const QString link = root + QStringLiteral("/usr/bin/") + program;
        EXPECT_EQ(LinkText(link), QStringLiteral("../../opt/veltrin/") + program);
        EXPECT_EQ(QFileInfo(link).canonicalFilePath(),
                  QFileInfo(root + QStringLiteral("/opt/veltrin/") + program).canonicalFilePath());
    }

    const auto sameAsSource = [&](const QString &installed, const QString &source) {
        EXPECT_EQ(FileBytes(root + u'/' + installed).toStdString(),
                  FileBytes(kSourceDir + u'/' + source).toStdString())
                << qPrintable(installed);
        EXPECT_EQ(Mode(root + u'/' + installed), 0644) << qPrintable(installed);
    };
    sameAsSource(QStringLiteral("opt/veltrin/VELTRIN.HLP"),
                 QStringLiteral("resources/VELTRIN.HLP"));
    sameAsSource(QStringLiteral("usr/share/applications/veltrin.desktop"),
                 QStringLiteral("packaging/veltrin.desktop"));
    sameAsSource(QStringLiteral("opt/veltrin/autostart/veltrin.desktop"),
                 QStringLiteral("packaging/veltrin-autostart.desktop"));
    sameAsSource(QStringLiteral("usr/share/icons/hicolor/scalable/apps/veltrin.svg"),
                 QStringLiteral("resources/icons/veltrin.svg"));

    for (const int size : kIconSizes) {
        const QString path
                = root
                  + QStringLiteral("/usr/share/icons/hicolor/%1x%1/apps/veltrin.png").arg(size);
        EXPECT_EQ(Mode(path), 0644) << qPrintable(path);
        CheckIcon(path, size);
    }

    if (kSenderManual) {
        const QString manual = root + QStringLiteral("/usr/share/man/man1/veltrin-send.1.gz");
        EXPECT_EQ(Mode(manual), 0644);
        const ProgramRun gunzip
                = RunProgram(QStringLiteral("gzip"), {QStringLiteral("-dc"), manual});
        EXPECT_TRUE(gunzip.finished && gunzip.exitCode == 0) << Describe(gunzip);
        EXPECT_EQ(gunzip.out.toStdString(),
                  FileBytes(kSourceDir + QStringLiteral("/send/veltrin-send.1")).toStdString());
    }

    const auto subdirectories = QDirIterator::Subdirectories;
    QDirIterator directories(root, QDir::Dirs | QDir::NoDotAndDotDot, subdirectories);
    while (directories.hasNext()) {
        const QString directory = directories.next();
        EXPECT_EQ(Mode(directory), 0755) << qPrintable(directory);
    }
}

// The station's code, run from the installed program directory through a link in a directory
// of commands, names the help file that the install put there.
void CheckHelpFileFound(const QString &root, const QString &scratch)
{
    const QString programDir = root + QStringLiteral("/opt/veltrin");
    const QString probe = programDir + QStringLiteral("/help-path-probe");
    ASSERT_TRUE(QFile::copy(QStringLiteral(HELP_PROBE_PATH), probe));
    const QString commands = scratch + QStringLiteral("/commands");
    ASSERT_TRUE(QDir().mkpath(commands));
    const QString link = commands + QStringLiteral("/help-path-probe");
    ASSERT_TRUE(QFile::link(probe, link));

    const ProgramRun run = RunProgram(link, {});
    QFile::remove(probe);
    ASSERT_TRUE(run.finished && run.exitCode == 0) << Describe(run);
    const QString helpFile = QString::fromLocal8Bit(run.out).trimmed();
    const QString installedDir = QFileInfo(programDir).canonicalFilePath();
    EXPECT_EQ(helpFile, installedDir + QStringLiteral("/VELTRIN.HLP"));
    EXPECT_EQ(FileBytes(helpFile).toStdString(),
              FileBytes(kSourceDir + QStringLiteral("/resources/VELTRIN.HLP")).toStdString());
}

// The UDP sockets bound in this network namespace, as the kernel lists them.
bool PortBound(int port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local
            = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 1 && (fields.at(1) + ' ').endsWith(local))
            return true;
    }
    return false;
}

QProcessEnvironment StationEnvironment(const QString &home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

// The installed programs start from the tree: the headless station says it is ready and ends
// on "quit"; the window binds the station's port through the /usr/bin link.
void CheckStationsStart(const QString &root)
{
    RUN_IN_PRIVATE_NETWORK([root] {
        QTemporaryDir home;
        ASSERT_TRUE(home.isValid());
        {
            QProcess headless;
            headless.setProcessEnvironment(StationEnvironment(home.path()));
            headless.setWorkingDirectory(home.path());
            headless.start(root + QStringLiteral("/opt/veltrin/veltrin-headless"), {});
            ASSERT_TRUE(headless.waitForStarted(10000));
            QByteArray output;
            QObject::connect(&headless, &QProcess::readyReadStandardOutput, [&] {
                output += headless.readAllStandardOutput();
            });
            const bool ready = WaitUntil([&] { return output.contains("ready "); }, 20000);
            EXPECT_TRUE(ready) << output.toStdString()
                               << headless.readAllStandardError().toStdString();
            headless.write("quit\n");
            ASSERT_TRUE(headless.waitForFinished(20000));
            EXPECT_EQ(headless.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(headless.exitCode(), 0);
        }
        {
            QProcess window;
            window.setProcessEnvironment(StationEnvironment(home.path()));
            window.setWorkingDirectory(home.path());
            window.setProcessChannelMode(QProcess::MergedChannels);
            window.start(root + QStringLiteral("/usr/bin/veltrin"), {});
            ASSERT_TRUE(window.waitForStarted(10000));
            const bool bound = WaitUntil(
                    [&] {
                        return PortBound(kStationPort) || window.state() == QProcess::NotRunning;
                    },
                    20000);
            EXPECT_TRUE(bound && window.state() == QProcess::Running)
                    << window.readAll().toStdString();
            window.terminate();
            if (!window.waitForFinished(10000)) {
                window.kill();
                window.waitForFinished();
            }
        }
    });
}

TEST(InstalledTree, DestdirInstallLaysOutTheStation)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString root = scratch.path() + QStringLiteral("/root");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), root);
    const ProgramRun install = RunProgram(QStringLiteral(CMAKE_COMMAND_PATH),
                                          {QStringLiteral("--install"),
                                           kBuildDir,
                                           QStringLiteral("--prefix"),
                                           QStringLiteral("/")},
                                          environment);
    ASSERT_TRUE(install.finished && install.exitCode == 0) << Describe(install);

    ASSERT_NO_FATAL_FAILURE(CheckTree(root));
    ASSERT_NO_FATAL_FAILURE(CheckHelpFileFound(root, scratch.path()));
    CheckStationsStart(root);
}

TEST(InstalledTree, DebianPackageUnpacksToTheSameTree)
{
    for (const char *tool : {"dpkg-deb", "dpkg-shlibdeps", "dpkg", "file"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            GTEST_SKIP() << tool << " is missing (Debian packages dpkg-dev and file)";
    }
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString out = scratch.path() + QStringLiteral("/out");
    const ProgramRun cpack = RunProgram(QStringLiteral(CPACK_COMMAND_PATH),
                                        {QStringLiteral("--config"),
                                         kBuildDir + QStringLiteral("/CPackConfig.cmake"),
                                         QStringLiteral("-B"),
                                         out});
    ASSERT_TRUE(cpack.finished && cpack.exitCode == 0) << Describe(cpack);

    const ProgramRun architecture
            = RunProgram(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
    ASSERT_TRUE(architecture.finished && architecture.exitCode == 0) << Describe(architecture);
    const QString arch = QString::fromLatin1(architecture.out).trimmed();
    const QString package = out + QStringLiteral("/veltrin_%1_%2.deb").arg(kVersion, arch);
    ASSERT_TRUE(QFileInfo::exists(package)) << qPrintable(package) << " not made; cpack said:\n"
                                            << cpack.out.toStdString();

    const ProgramRun fields = RunProgram(QStringLiteral("dpkg-deb"),
                                         {QStringLiteral("--field"),
                                          package,
                                          QStringLiteral("Package"),
                                          QStringLiteral("Version"),
                                          QStringLiteral("Architecture"),
                                          QStringLiteral("Depends")});
    ASSERT_TRUE(fields.finished && fields.exitCode == 0) << Describe(fields);
    const QString control = QString::fromUtf8(fields.out);
    EXPECT_TRUE(control.contains(QStringLiteral("Package: veltrin\n"))) << qPrintable(control);
    EXPECT_TRUE(control.contains(QStringLiteral("Version: ") + kVersion + u'\n'))
            << qPrintable(control);
    EXPECT_TRUE(control.contains(QStringLiteral("Architecture: ") + arch + u'\n'))
            << qPrintable(control);
    const QRegularExpression dependsLine(QStringLiteral("^Depends: (.*)$"),
                                         QRegularExpression::MultilineOption);
    const QString depends = dependsLine.match(control).captured(1);
    QSet<QString> dependencies;
    for (const QString &entry : depends.split(u',', Qt::SkipEmptyParts))
        dependencies.insert(entry.trimmed().section(u' ', 0, 0));
    for (const char *needed : {"libc6",
                               "libstdc++6",
                               "libqt6core6",
                               "libqt6gui6",
                               "libqt6widgets6",
                               "libqt6multimedia6",
                               "libqt6svg6"})
        EXPECT_TRUE(dependencies.contains(QString::fromLatin1(needed)))
                << needed << " missing from: " << qPrintable(depends);

    // Every entry belongs to root, every directory is open to all, the link stays relative.
    const ProgramRun contents
            = RunProgram(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), package});
    ASSERT_TRUE(contents.finished && contents.exitCode == 0) << Describe(contents);
    bool linkListed = false;
    for (const QByteArray &line : contents.out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> columns = line.simplified().split(' ');
        ASSERT_GE(columns.size(), 6) << line.toStdString();
        EXPECT_EQ(columns.at(1), "root/root") << line.toStdString();
        if (columns.at(0).startsWith('d')) {
            EXPECT_EQ(columns.at(0), "drwxr-xr-x") << line.toStdString();
        }
        if (columns.at(5) == "./usr/bin/veltrin") {
            linkListed = true;
            EXPECT_EQ(columns.at(0), "lrwxrwxrwx") << line.toStdString();
        }
    }
    EXPECT_TRUE(linkListed) << contents.out.toStdString();

    const QString root = scratch.path() + QStringLiteral("/root");
    const ProgramRun extract
            = RunProgram(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), package, root});
    ASSERT_TRUE(extract.finished && extract.exitCode == 0) << Describe(extract);
    ASSERT_NO_FATAL_FAILURE(CheckTree(root));

    // Debug information stays in the build; the package carries stripped programs.
    for (const QString &program : Programs()) {
        const ProgramRun file = RunProgram(
                QStringLiteral("file"),
                {QStringLiteral("-b"), root + QStringLiteral("/opt/veltrin/") + program});
        EXPECT_TRUE(file.out.contains(", stripped"))
                << qPrintable(program) << ": " << file.out.toStdString();
    }

    ASSERT_NO_FATAL_FAILURE(CheckHelpFileFound(root, scratch.path()));
    CheckStationsStart(root);
}

} // namespace
