#include "desktopsession.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

constexpr int kServerStartMs = 20000;
constexpr int kPollMs = 10;
constexpr char kWaylandSocket[] = "wayland-veltrin-test";
const QString kConnectionName = QStringLiteral("desktop-services");

// Starts the program, which ends with the test child; keepFd stays open in it.
bool Start(std::vector<std::string> arguments, int keepFd = -1)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (keepFd >= 0)
            ::fcntl(keepFd, F_SETFD, 0);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return true;
}

// Starts program with the write end of a pipe where "{fd}" stands in an argument, and
// gives back the first line the program writes there; empty when it wrote none in time. The
// program ends with the test child.
std::string StartAndReadLine(std::vector<std::string> arguments)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return {};
    for (std::string &argument : arguments) {
        if (const std::size_t at = argument.find("{fd}"); at != std::string::npos)
            argument.replace(at, 4, std::to_string(ready[1]));
    }
    if (!Start(arguments, ready[1]))
        return {};
    ::close(ready[1]);
    std::string line;
    const auto deadline
            = std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerStartMs);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{ready[0], POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
        if (::poll(&entry, 1, int(std::max<long long>(1, left.count()))) <= 0)
            continue;
        char buffer[256];
        const ssize_t got = ::read(ready[0], buffer, sizeof buffer);
        if (got <= 0)
            break; // closed: the program went
        line.append(buffer, std::size_t(got));
    }
    ::close(ready[0]);
    const std::size_t end = line.find('\n');
    return end == std::string::npos ? std::string() : line.substr(0, end);
}

bool Found(const char *program)
{
    const QStringList path = qEnvironmentVariable("PATH").split(QLatin1Char(':'));
    for (const QString &directory : path) {
        if (QFile::exists(QDir(directory).filePath(QString::fromLatin1(program))))
            return true;
    }
    return false;
}

} // namespace

// Weston has nothing to say when it is ready; its socket is there once it listens.
std::string StartWeston(const std::string &runtimeDirectory)
{
    if (!Found("weston"))
        return "weston is not installed (Debian package weston)";
    const QString plugin = QLibraryInfo::path(QLibraryInfo::PluginsPath)
                           + QStringLiteral("/platforms/libqwayland-generic.so");
    if (!QFileInfo::exists(plugin))
        return "Qt's Wayland platform plugin is not installed (Debian package qt6-wayland)";
    // No idle time: the desktop shell would lock the screen and hide every window.
    if (!Start({"weston",
                "--backend=headless-backend.so",
                "--no-config",
                "--idle-time=0",
                std::string("--socket=") + kWaylandSocket})) {
        return "weston could not be started";
    }
    const std::string socket = runtimeDirectory + '/' + kWaylandSocket;
    const auto deadline
            = std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerStartMs);
    while (!QFileInfo::exists(QString::fromStdString(socket))) {
        if (std::chrono::steady_clock::now() > deadline)
            return "weston did not start";
        ::poll(nullptr, 0, kPollMs);
    }
    ::setenv("WAYLAND_DISPLAY", kWaylandSocket, 1);
    ::unsetenv("DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    // The headless compositor has no seat, and Qt 6.4's Wayland text input then dereferences
    // the missing seat at the first key; a desktop always has a seat, or an input method set.
    ::setenv("QT_IM_MODULE", "compose", 1);
    return {};
}

std::string StartDesktopSession(DesktopDisplay display)
{
    if (!Found("dbus-daemon"))
        return "dbus-daemon is not installed (Debian package dbus)";
    char directory[] = "/tmp/desktop-session-XXXXXX";
    if (!::mkdtemp(directory))
        return "cannot make the session's directory";
    const std::string config = std::string(directory) + "/session.conf";
    QFile file(QString::fromStdString(config));
    if (!file.open(QIODevice::WriteOnly))
        return "cannot write the bus configuration";
    file.write("<busconfig><type>session</type><keep_umask/>"
               "<listen>unix:dir="
               + QByteArray(directory)
               + "</listen>"
                 "<auth>EXTERNAL</auth>"
                 "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    file.close();
    const std::string address = StartAndReadLine(
            {"dbus-daemon", "--nofork", "--print-address={fd}", "--config-file=" + config});
    if (address.empty())
        return "the private session bus did not start";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", directory, 1);
    // The machine's desktop must not choose the platform theme.
    ::unsetenv("XDG_CURRENT_DESKTOP");
    ::unsetenv("DESKTOP_SESSION");
    ::unsetenv("QT_QPA_PLATFORMTHEME");
    ::unsetenv("WAYLAND_DISPLAY");
#ifdef VELTRIN_NO_DISPLAY_TESTS
    if (display != DesktopDisplay::Offscreen)
        return "the display tests do not run in the sanitized build";
#endif
    switch (display) {
    case DesktopDisplay::Offscreen:
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return {};
    case DesktopDisplay::Wayland:
        return StartWeston(directory);
    case DesktopDisplay::X11:
        break;
    }
    if (!Found("Xvfb"))
        return "Xvfb is not installed (Debian package xvfb)";
    const std::string number = StartAndReadLine(
            {"Xvfb", "-displayfd", "{fd}", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    if (number.empty())
        return "Xvfb did not start";
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    ::unsetenv("XAUTHORITY");
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    return {};
}

std::unique_ptr<QCoreApplication> MakeDesktopApplication(int &argc, char **argv)
{
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}

QDBusConnection DesktopServiceConnection()
{
    return QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                         kConnectionName);
}

DesktopService::~DesktopService()
{
    if (!m_service.isEmpty()) {
        QDBusConnection bus = DesktopServiceConnection();
        bus.unregisterService(m_service);
        bus.unregisterObject(m_path);
    }
    m_thread.quit();
    m_thread.wait();
}

bool DesktopService::startAt(const QString &service,
                             const QString &path,
                             QDBusConnection::RegisterOptions how)
{
    m_thread.start();
    moveToThread(&m_thread);
    QDBusConnection bus = DesktopServiceConnection();
    if (!bus.registerObject(path, this, how) || !bus.registerService(service))
        return false;
    m_service = service;
    m_path = path;
    return true;
}

bool RecordingNotifications::start()
{
    return startAt(QStringLiteral("org.freedesktop.Notifications"),
                   QStringLiteral("/org/freedesktop/Notifications"),
                   QDBusConnection::ExportAllSlots);
}

std::vector<RecordingNotifications::Notification> RecordingNotifications::notifications() const
{
    const QMutexLocker lock(&m_mutex);
    return m_notifications;
}

void RecordingNotifications::invokeAction(uint id, const QString &action)
{
    // From the service's thread, so that the answer to a Notify call it has just recorded goes
    // out first: a user cannot pick a notification before it has been shown.
    QMetaObject::invokeMethod(
            this,
            [id, action] {
                QDBusMessage signal = QDBusMessage::createSignal(
                        QStringLiteral("/org/freedesktop/Notifications"),
                        QStringLiteral("org.freedesktop.Notifications"),
                        QStringLiteral("ActionInvoked"));
                signal << id << action;
                DesktopServiceConnection().send(signal);
            },
            Qt::BlockingQueuedConnection);
}

uint RecordingNotifications::Notify(const QString &appName,
                                    uint replacesId,
                                    const QString &appIcon,
                                    const QString &summary,
                                    const QString &body,
                                    const QStringList &actions,
                                    const QVariantMap &hints,
                                    int expireTimeout)
{
    Q_UNUSED(expireTimeout);
    const QMutexLocker lock(&m_mutex);
    const uint id = replacesId != 0 ? replacesId : ++m_lastId;
    m_notifications.push_back({appName, replacesId, appIcon, summary, body, actions, hints, id});
    return id;
}

QStringList RecordingNotifications::GetCapabilities()
{
    return {QStringLiteral("actions"), QStringLiteral("body")};
}

void RecordingNotifications::CloseNotification(uint id)
{
    Q_UNUSED(id);
}

bool StatusNotifierWatcherStandIn::start()
{
    return startAt(QStringLiteral("org.kde.StatusNotifierWatcher"),
                   QStringLiteral("/StatusNotifierWatcher"),
                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
}

QStringList StatusNotifierWatcherStandIn::registeredItems() const
{
    const QMutexLocker lock(&m_mutex);
    return m_items;
}

void StatusNotifierWatcherStandIn::RegisterStatusNotifierItem(const QString &service,
                                                              const QDBusMessage &message)
{
    const QMutexLocker lock(&m_mutex);
    m_items << (service.startsWith(QLatin1Char('/')) ? message.service() + service : service);
}

void StatusNotifierWatcherStandIn::RegisterStatusNotifierHost(const QString &service)
{
    Q_UNUSED(service);
}

QDBusPendingCall StatusNotifierWatcherStandIn::activate(const QString &item)
{
    const qsizetype slash = item.indexOf(QLatin1Char('/'));
    const QString service = slash < 0 ? item : item.left(slash);
    const QString path = slash < 0 ? QStringLiteral("/StatusNotifierItem") : item.mid(slash);
    QDBusMessage call = QDBusMessage::createMethodCall(service,
                                                       path,
                                                       QStringLiteral("org.kde.StatusNotifierItem"),
                                                       QStringLiteral("Activate"));
    call << 0 << 0;
    return DesktopServiceConnection().asyncCall(call);
}
