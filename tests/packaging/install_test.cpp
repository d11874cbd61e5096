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
#include <QTest>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

// The installed tree, from the build's install rules into a scratch root and from the Debian
// package unpacked with dpkg-deb: which files land where with which modes, that the links reach
// the program's directory, that the programs are hardened, run from there and find their help
// file, and that Debian's package checker finds nothing to object to.

namespace {

const QString kBuildDir = QStringLiteral(VELTRIN_BUILD_DIR);
const QString kSourceDir = QStringLiteral(VELTRIN_SOURCE_DIR);
const QString kVersion = QStringLiteral(VELTRIN_VERSION_TEXT);
const QString kAppId = QStringLiteral(VELTRIN_APP_ID);
const QString kProgramDir = QStringLiteral("usr/lib/veltrin");
const QStringList kPrograms = {QStringLiteral("veltrin"),
                               QStringLiteral("veltrin-headless"),
                               QStringLiteral("veltrin-send")};
const QStringList kManualPages = {QStringLiteral("veltrin"), QStringLiteral("veltrin-send")};
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
    // In a process group of its own, so that a timeout ends a package build with what it started.
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

// The cmake install rules leave the manual pages as they are; the package compresses them, as
// Debian does, and adds its records.
enum class Tree { Installed, Packaged };

std::set<std::string> ExpectedFiles(Tree tree)
{
    const std::string id = kAppId.toStdString();
    std::set<std::string> files = {
            "usr/lib/veltrin/veltrin",
            "usr/lib/veltrin/veltrin-headless",
            "usr/lib/veltrin/veltrin-send",
            "usr/lib/veltrin/VELTRIN.HLP",
            "usr/lib/veltrin/veltrin-sound.so",
            "usr/bin/veltrin",
            "usr/bin/veltrin-send",
            "usr/share/applications/" + id + ".desktop",
            "usr/share/metainfo/" + id + ".metainfo.xml",
            "usr/share/veltrin/autostart/" + id + ".desktop",
            "usr/share/icons/hicolor/scalable/apps/veltrin.svg",
    };
    for (const int size : kIconSizes)
        files.insert("usr/share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size)
                     + "/apps/veltrin.png");
    for (const QString &page : kManualPages)
        files.insert("usr/share/man/man1/" + page.toStdString()
                     + (tree == Tree::Packaged ? ".1.gz" : ".1"));
    if (tree == Tree::Packaged) {
        files.insert("usr/share/doc/veltrin/changelog.gz");
        files.insert("usr/share/doc/veltrin/copyright");
    }
    return files;
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

// The programs read datagrams from the whole network: each is a position-independent executable
// bound at once with read-only relocations, and calls the stack protector's checks. Says whether
// it calls a fortified C library function too: the compiler calls the checked variant only where
// it cannot prove the buffer big enough, so one program may have none.
bool CheckHardened(const QString &path)
{
    const ProgramRun header = RunProgram(QStringLiteral("readelf"),
                                         {QStringLiteral("--wide"),
                                          QStringLiteral("--file-header"),
                                          QStringLiteral("--program-headers"),
                                          QStringLiteral("--dynamic"),
                                          QStringLiteral("--dyn-syms"),
                                          path});
    EXPECT_TRUE(header.finished && header.exitCode == 0) << Describe(header);
    const QString text = QString::fromLatin1(header.out);
    EXPECT_TRUE(text.contains(QStringLiteral("DYN (Position-Independent Executable file)")))
            << qPrintable(path);
    EXPECT_TRUE(text.contains(QStringLiteral("GNU_RELRO"))) << qPrintable(path);
    EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("\\(FLAGS\\).*\\bBIND_NOW\\b"))))
            << qPrintable(path);
    EXPECT_TRUE(text.contains(QStringLiteral(" __stack_chk_fail"))) << qPrintable(path);
    return text.contains(QRegularExpression(QStringLiteral(" __\\w+_chk@")));
}

// Everything that must hold of an installed tree, wherever it came from.
void CheckTree(const QString &root, Tree tree)
{
    EXPECT_EQ(FilesUnder(root), ExpectedFiles(tree));

    bool fortified = false;
    for (const QString &program : kPrograms) {
        const QString path = root + u'/' + kProgramDir + u'/' + program;
        EXPECT_EQ(Mode(path), 0755) << qPrintable(path);
        const ProgramRun ldd = RunProgram(QStringLiteral("ldd"), {path});
        EXPECT_TRUE(ldd.finished && ldd.exitCode == 0) << Describe(ldd);
        EXPECT_FALSE(ldd.out.contains("not found")) << ldd.out.toStdString();
        fortified = CheckHardened(path) || fortified;
    }
    EXPECT_TRUE(fortified) << "no program calls a fortified function";
    for (const QString &program : {QStringLiteral("veltrin"), QStringLiteral("veltrin-send")}) {
        const QString link = root + QStringLiteral("/usr/bin/") + program;
        EXPECT_EQ(LinkText(link), QStringLiteral("../lib/veltrin/") + program);
        EXPECT_EQ(QFileInfo(link).canonicalFilePath(),
                  QFileInfo(root + u'/' + kProgramDir + u'/' + program).canonicalFilePath());
    }

    const auto sameAsSource = [&](const QString &installed, const QString &source) {
        EXPECT_EQ(FileBytes(root + u'/' + installed).toStdString(),
                  FileBytes(kSourceDir + u'/' + source).toStdString())
                << qPrintable(installed);
        EXPECT_EQ(Mode(root + u'/' + installed), 0644) << qPrintable(installed);
    };
    sameAsSource(kProgramDir + QStringLiteral("/VELTRIN.HLP"),
                 QStringLiteral("resources/VELTRIN.HLP"));
    sameAsSource(QStringLiteral("usr/share/applications/") + kAppId + QStringLiteral(".desktop"),
                 QStringLiteral("packaging/") + kAppId + QStringLiteral(".desktop"));
    sameAsSource(QStringLiteral("usr/share/metainfo/") + kAppId + QStringLiteral(".metainfo.xml"),
                 QStringLiteral("packaging/") + kAppId + QStringLiteral(".metainfo.xml"));
    sameAsSource(QStringLiteral("usr/share/veltrin/autostart/") + kAppId
                         + QStringLiteral(".desktop"),
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

    const QHash<QString, QString> manualSources
            = {{QStringLiteral("veltrin"), QStringLiteral("packaging/veltrin.1")},
               {QStringLiteral("veltrin-send"), QStringLiteral("send/veltrin-send.1")}};
    for (const QString &page : kManualPages) {
        const QString source = manualSources.value(page);
        const QString manual = QStringLiteral("usr/share/man/man1/") + page + QStringLiteral(".1");
        if (tree == Tree::Installed) {
            sameAsSource(manual, source);
            continue;
        }
        const QString compressed = root + u'/' + manual + QStringLiteral(".gz");
        EXPECT_EQ(Mode(compressed), 0644);
        const ProgramRun gunzip
                = RunProgram(QStringLiteral("gzip"), {QStringLiteral("-dc"), compressed});
        EXPECT_TRUE(gunzip.finished && gunzip.exitCode == 0) << Describe(gunzip);
        EXPECT_EQ(gunzip.out.toStdString(), FileBytes(kSourceDir + u'/' + source).toStdString());
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
    const QString programDir = root + u'/' + kProgramDir;
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
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
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
            headless.start(root + u'/' + kProgramDir + QStringLiteral("/veltrin-headless"), {});
            ASSERT_TRUE(headless.waitForStarted(10000));
            QByteArray output;
            QObject::connect(&headless, &QProcess::readyReadStandardOutput, [&] {
                output += headless.readAllStandardOutput();
            });
            const bool ready = QTest::qWaitFor([&] { return output.contains("ready "); }, 20000);
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
            const bool bound = QTest::qWaitFor(
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
                                           QStringLiteral("/usr")},
                                          environment);
    ASSERT_TRUE(install.finished && install.exitCode == 0) << Describe(install);

    ASSERT_NO_FATAL_FAILURE(CheckTree(root, Tree::Installed));
    ASSERT_NO_FATAL_FAILURE(CheckHelpFileFound(root, scratch.path()));
    CheckStationsStart(root);
}

TEST(InstalledTree, DebianPackageUnpacksToTheSameTree)
{
    for (const char *tool : {"dpkg-buildpackage", "dh", "dpkg-deb", "file"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            GTEST_SKIP() << tool << " is missing (Debian packages dpkg-dev, debhelper and file)";
    }
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // The package is made from this build exactly as `make package` makes it.
    const QString out = scratch.path() + QStringLiteral("/out");
    const ProgramRun build = RunProgram(kSourceDir + QStringLiteral("/packaging/build-deb.sh"),
                                        {kBuildDir, out},
                                        QProcessEnvironment::systemEnvironment(),
                                        600000);
    ASSERT_TRUE(build.finished && build.exitCode == 0) << Describe(build);

    const ProgramRun architecture
            = RunProgram(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
    ASSERT_TRUE(architecture.finished && architecture.exitCode == 0) << Describe(architecture);
    const QString arch = QString::fromLatin1(architecture.out).trimmed();
    const QString package = out + QStringLiteral("/veltrin_%1_%2.deb").arg(kVersion, arch);
    ASSERT_TRUE(QFileInfo::exists(package)) << qPrintable(package) << " not made:\n"
                                            << Describe(build);

    const ProgramRun fields = RunProgram(QStringLiteral("dpkg-deb"),
                                         {QStringLiteral("--field"),
                                          package,
                                          QStringLiteral("Package"),
                                          QStringLiteral("Version"),
                                          QStringLiteral("Architecture"),
                                          QStringLiteral("Depends"),
                                          QStringLiteral("Recommends")});
    ASSERT_TRUE(fields.finished && fields.exitCode == 0) << Describe(fields);
    const QString control = QString::fromUtf8(fields.out);
    EXPECT_TRUE(control.contains(QStringLiteral("Package: veltrin\n"))) << qPrintable(control);
    EXPECT_TRUE(control.contains(QStringLiteral("Version: ") + kVersion + u'\n'))
            << qPrintable(control);
    EXPECT_TRUE(control.contains(QStringLiteral("Architecture: ") + arch + u'\n'))
            << qPrintable(control);
    EXPECT_TRUE(control.contains(QStringLiteral("Recommends: qt6-wayland\n")))
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
                               "libqt6dbus6",
                               "libqt6sql6-sqlite"})
        EXPECT_TRUE(dependencies.contains(QString::fromLatin1(needed)))
                << needed << " missing from: " << qPrintable(depends);
    // The local socket needs no Qt Network, nor the Kerberos and proxy libraries it brings.
    EXPECT_FALSE(dependencies.contains(QStringLiteral("libqt6network6"))) << qPrintable(depends);

    // Every entry belongs to root, whoever built the package.
    const ProgramRun contents
            = RunProgram(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), package});
    ASSERT_TRUE(contents.finished && contents.exitCode == 0) << Describe(contents);
    for (const QByteArray &line : contents.out.split('\n')) {
        const QList<QByteArray> columns = line.simplified().split(' ');
        if (columns.size() > 1) {
            EXPECT_EQ(columns.at(1), "root/root") << line.toStdString();
        }
    }

    const QString root = scratch.path() + QStringLiteral("/root");
    const ProgramRun extract
            = RunProgram(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), package, root});
    ASSERT_TRUE(extract.finished && extract.exitCode == 0) << Describe(extract);
    ASSERT_NO_FATAL_FAILURE(CheckTree(root, Tree::Packaged));

    // Debug information stays in the build; the package carries stripped programs.
    for (const QString &program : kPrograms) {
        const ProgramRun file
                = RunProgram(QStringLiteral("file"),
                             {QStringLiteral("-b"), root + u'/' + kProgramDir + u'/' + program});
        EXPECT_TRUE(file.out.contains(", stripped"))
                << qPrintable(program) << ": " << file.out.toStdString();
    }

    // The AppStream description names the menu entry that the package installs.
    if (!QStandardPaths::findExecutable(QStringLiteral("appstreamcli")).isEmpty()) {
        const ProgramRun appstream = RunProgram(QStringLiteral("appstreamcli"),
                                                {QStringLiteral("validate-tree"),
                                                 QStringLiteral("--pedantic"),
                                                 QStringLiteral("--no-net"),
                                                 root});
        EXPECT_TRUE(appstream.finished && appstream.exitCode == 0) << Describe(appstream);
        EXPECT_FALSE(QRegularExpression(QStringLiteral("^\\s*[EWIP]: "),
                                        QRegularExpression::MultilineOption)
                             .match(QString::fromUtf8(appstream.out))
                             .hasMatch())
                << appstream.out.toStdString();
    }

    // Debian's own checker, with its pedantic tags shown: an error or a warning fails.
    if (!QStandardPaths::findExecutable(QStringLiteral("lintian")).isEmpty()) {
        const ProgramRun lintian = RunProgram(QStringLiteral("lintian"),
                                              {QStringLiteral("--pedantic"),
                                               QStringLiteral("--fail-on"),
                                               QStringLiteral("error,warning"),
                                               package},
                                              QProcessEnvironment::systemEnvironment(),
                                              600000);
        EXPECT_TRUE(lintian.finished && lintian.exitCode == 0) << Describe(lintian);
        EXPECT_FALSE(
                QRegularExpression(QStringLiteral("^[EW]: "), QRegularExpression::MultilineOption)
                        .match(QString::fromUtf8(lintian.out))
                        .hasMatch())
                << lintian.out.toStdString();
    }

    ASSERT_NO_FATAL_FAILURE(CheckHelpFileFound(root, scratch.path()));
    CheckStationsStart(root);
}

} // namespace
