#include "archivemessages.h"
#include "core/store/messagestore.h"
#include "tools/loopback.h"

#include <QCoreApplication>
#include <QString>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

// How long the station takes from exec to a mapped main window, and how much memory it holds
// once settled, beside a bare toolkit window started the same way on the same X server; and the
// station again with STORE=0 and over a store of 100 000 messages, beside its start with an
// empty store. The station binds its fixed port, so every start gets a network namespace of
// its own with only "lo"; the bare window gets one too, so that both pay the same for the
// launch.

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDefaultRuns = 5;
constexpr int kFirstDisplay = 97;
constexpr int kDisplaysTried = 32;
constexpr auto kServerDeadline = 15s;
constexpr auto kWindowDeadline = 30s;
constexpr auto kSettle = 2s; // the memory figure is taken this long after the window shows
constexpr auto kExitDeadline = 5s;
constexpr double kTimeTargetRatio = 1.15;
constexpr double kMemoryTargetRatio = 1.25;
constexpr int kNoNamespaceExit = 77;
constexpr int kStoredMessages = 100000;
// What the store may add to a start without it.
constexpr double kStoreTimeTargetMs = 10;
constexpr double kStoreMemoryTargetMiB = 2;

// An interrupted bench still cleans up after itself: the handler only ends the subject that
// is running, every wait then ends, and the ordinary path stops the server, removes the
// temporary files and re-raises the signal.
std::atomic<pid_t> g_subject{0};
volatile std::sig_atomic_t g_interrupted = 0;

void Interrupt(int signalNumber)
{
    g_interrupted = signalNumber;
    if (const pid_t subject = g_subject.load(); subject > 0)
        ::kill(subject, SIGKILL);
}

int PidFd(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int RemainingMs(Clock::time_point deadline)
{
    const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// Waits for the process behind pidFd to end, then reaps it; SIGKILL when the deadline passes.
// Gives the wait status.
int Stop(pid_t pid, int pidFd, int signalNumber)
{
    ::kill(pid, signalNumber);
    pollfd entry{pidFd, POLLIN, 0};
    const auto deadline = Clock::now() + kExitDeadline;
    int ready = 0;
    while ((ready = ::poll(&entry, 1, RemainingMs(deadline))) < 0 && errno == EINTR) {
    }
    if (ready <= 0)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(pidFd);
    return status;
}

// Xvfb on a display number nobody else uses, stopped with the bench however the bench ends.
class VirtualServer
{
public:
    ~VirtualServer()
    {
        if (m_pid > 0) {
            Stop(m_pid, m_pidFd, SIGTERM);
        }
    }

    // From :97 upwards, past the numbers whose lock or socket says they are taken; a server
    // that still finds its number taken exits, and the next number is tried.
    bool start(const std::string &logPath)
    {
        for (int number = kFirstDisplay; number < kFirstDisplay + kDisplaysTried && !g_interrupted;
             ++number) {
            const std::string n = std::to_string(number);
            if (std::filesystem::exists("/tmp/.X" + n + "-lock")
                || std::filesystem::exists("/tmp/.X11-unix/X" + n))
                continue;
            switch (tryStart(":" + n, logPath)) {
            case Outcome::Ready:
                return true;
            case Outcome::Taken:
                continue;
            case Outcome::Failed:
                return false;
            }
        }
        return false;
    }

    const std::string &display() const { return m_display; }

private:
    enum class Outcome { Ready, Taken, Failed };

    // -displayfd with a display number makes the server write that number once it accepts
    // connections, which is the moment to wait for.
    Outcome tryStart(const std::string &display, const std::string &logPath)
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return Outcome::Failed;
        const pid_t pid = ::fork();
        if (pid < 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return Outcome::Failed;
        }
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::fcntl(ready[1], F_SETFD, 0);
            const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (log >= 0) {
                ::dup2(log, STDOUT_FILENO);
                ::dup2(log, STDERR_FILENO);
            }
            const std::string fd = std::to_string(ready[1]);
            ::execlp("Xvfb",
                     "Xvfb",
                     display.c_str(),
                     "-displayfd",
                     fd.c_str(),
                     "-nolisten",
                     "tcp",
                     "-screen",
                     "0",
                     "1280x1024x24",
                     static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        const int pidFd = PidFd(pid);

        std::string written;
        bool ended = false;
        const auto deadline = Clock::now() + kServerDeadline;
        pollfd entries[2] = {{ready[0], POLLIN, 0}, {pidFd, POLLIN, 0}};
        while (written.find('\n') == std::string::npos && Clock::now() < deadline
               && !g_interrupted) {
            const int n = ::poll(entries, 2, RemainingMs(deadline));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (entries[0].revents & (POLLIN | POLLHUP)) {
                char buffer[32];
                const ssize_t got = ::read(ready[0], buffer, sizeof buffer);
                if (got <= 0) {
                    ended = true; // closed unwritten: the server went
                    break;
                }
                written.append(buffer, static_cast<std::size_t>(got));
            } else if (entries[1].revents & POLLIN) {
                ended = true;
                break;
            }
        }
        ::close(ready[0]);
        if (written.find('\n') != std::string::npos) {
            m_pid = pid;
            m_pidFd = pidFd;
            m_display = display;
            return Outcome::Ready;
        }
        const int status = Stop(pid, pidFd, SIGTERM);
        const bool notRun = WIFEXITED(status) && WEXITSTATUS(status) == 127;
        return ended && !notRun ? Outcome::Taken : Outcome::Failed;
    }

    pid_t m_pid = -1;
    int m_pidFd = -1;
    std::string m_display;
};

// Properties may be gone by the time they are read: a window that vanished is simply no match.
int IgnoreXError(Display *, XErrorEvent *)
{
    return 0;
}

std::optional<long> WindowPid(Display *display, Window window)
{
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    std::optional<long> pid;
    if (XGetWindowProperty(display,
                           window,
                           pidAtom,
                           0,
                           1,
                           False,
                           XA_CARDINAL,
                           &type,
                           &format,
                           &count,
                           &after,
                           &data)
                == Success
        && data && type == XA_CARDINAL && format == 32 && count == 1)
        pid = *reinterpret_cast<long *>(data);
    if (data)
        XFree(data);
    return pid;
}

std::string WindowTitle(Display *display, Window window)
{
    char *name = nullptr;
    std::string title;
    if (XFetchName(display, window, &name) && name)
        title = name;
    if (name)
        XFree(name);
    return title;
}

struct Subject
{
    std::string label;
    std::string path;
    std::string titlePrefix; // the one window of the process whose mapping counts
    std::string argument;    // the one argument it is started with, if any
    std::string settings;    // the settings file's text, if any
    std::string store;       // a store file that each start finds as its own, if any
};

struct Sample
{
    bool ok = false;
    bool noNamespace = false;
    std::string failure;
    double launchMs = NAN; // fork, namespace and loopback until exec: not the subject's own
    double visibleMs = NAN;
    long rssKiB = -1;
    long rssAnonKiB = -1;
    long rssFileKiB = -1;
};

long StatusField(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

std::string Tail(const std::string &path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line))
        lines.push_back(line);
    std::string text;
    for (std::size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i)
        text += "    " + lines[i] + "\n";
    return text;
}

[[noreturn]] void
RunSubject(const Subject &subject, const std::string &display, const std::filesystem::path &dir)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp())
        ::_exit(kNoNamespaceExit);
    const std::filesystem::path config = dir / "config";
    const std::filesystem::path cwd = dir / "cwd";
    if (::chdir(cwd.c_str()) != 0)
        ::_exit(126);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("XDG_DATA_HOME", config.c_str(), 1);
    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    const int log = ::open((dir / "output.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
    }
    if (subject.argument.empty())
        ::execl(subject.path.c_str(), subject.path.c_str(), static_cast<char *>(nullptr));
    else
        ::execl(subject.path.c_str(),
                subject.path.c_str(),
                subject.argument.c_str(),
                static_cast<char *>(nullptr));
    ::_exit(127);
}

// The pipe's write end is close-on-exec and held by the child alone, so its end-of-file is
// the moment of the exec.
std::optional<Clock::time_point> WaitForExec(int execFd)
{
    const auto deadline = Clock::now() + kWindowDeadline;
    pollfd entry{execFd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&entry, 1, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        char byte;
        if (::read(execFd, &byte, 1) <= 0)
            return Clock::now();
    }
}

// Waits for the MapNotify of the subject's own top-level window; the time is taken as the event
// is read, before its properties are asked for.
std::optional<Clock::time_point>
WaitForWindow(Display *display, const Subject &subject, pid_t pid, int pidFd)
{
    const auto deadline = Clock::now() + kWindowDeadline;
    pollfd entries[2] = {{ConnectionNumber(display), POLLIN, 0}, {pidFd, POLLIN, 0}};
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != MapNotify || event.xmap.override_redirect)
                continue;
            const auto mapped = Clock::now();
            const Window window = event.xmap.window;
            if (WindowPid(display, window) == pid
                && WindowTitle(display, window).rfind(subject.titlePrefix, 0) == 0)
                return mapped;
        }
        const int n = ::poll(entries, 2, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (entries[1].revents & POLLIN))
            return std::nullopt;
    }
}

Sample Measure(Display *display, const std::string &displayName, const Subject &subject)
{
    Sample sample;
    char pattern[] = "/tmp/veltrin-startup-XXXXXX";
    if (!::mkdtemp(pattern)) {
        sample.failure = "no temporary directory";
        return sample;
    }
    const std::filesystem::path dir = pattern;
    std::filesystem::create_directory(dir / "config");
    std::filesystem::create_directory(dir / "cwd");
    if (!subject.settings.empty())
        std::ofstream(dir / "config" / "veltrin.ini", std::ios::binary) << subject.settings;
    // Every start over the same messages, as after a restart: a copy, since the station writes.
    if (!subject.store.empty()) {
        const std::filesystem::path data = dir / "config" / "veltrin";
        std::filesystem::create_directory(data);
        std::filesystem::permissions(data, std::filesystem::perms::owner_all);
        std::error_code error;
        std::filesystem::copy_file(subject.store, data / "messages.db", error);
        if (error) {
            sample.failure = "cannot copy the store: " + error.message();
            std::filesystem::remove_all(dir);
            return sample;
        }
    }

    // Nothing left over from the window of the run before may be taken for this one.
    XSync(display, True);
    int exec[2];
    if (::pipe2(exec, O_CLOEXEC) != 0) {
        sample.failure = "pipe2 failed";
        std::filesystem::remove_all(dir);
        return sample;
    }
    const auto forked = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        sample.failure = "fork failed";
        ::close(exec[0]);
        ::close(exec[1]);
        std::filesystem::remove_all(dir);
        return sample;
    }
    if (pid == 0) {
        ::close(exec[0]);
        RunSubject(subject, displayName, dir);
    }
    ::close(exec[1]);
    g_subject = pid;
    const int pidFd = PidFd(pid);

    const std::optional<Clock::time_point> execed = WaitForExec(exec[0]);
    ::close(exec[0]);
    const std::optional<Clock::time_point> visible
            = execed ? WaitForWindow(display, subject, pid, pidFd) : std::nullopt;
    if (visible) {
        using Ms = std::chrono::duration<double, std::milli>;
        sample.launchMs = Ms(*execed - forked).count();
        sample.visibleMs = Ms(*visible - *execed).count();
        pollfd entry{pidFd, POLLIN, 0};
        const auto settled = *visible + kSettle;
        while (Clock::now() < settled) {
            if (::poll(&entry, 1, RemainingMs(settled)) > 0)
                break; // ended while settling
        }
        sample.rssKiB = StatusField(pid, "VmRSS");
        sample.rssAnonKiB = StatusField(pid, "RssAnon");
        sample.rssFileKiB = StatusField(pid, "RssFile");
        sample.ok = sample.rssKiB > 0 && !(entry.revents & POLLIN);
        if (!sample.ok)
            sample.failure = "the process ended before its memory was read";
    }

    pollfd ended{pidFd, POLLIN, 0};
    if (!visible && ::poll(&ended, 1, 0) > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(pidFd);
        sample.noNamespace = WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespaceExit;
        sample.failure = sample.noNamespace
                                 ? "cannot create a private network namespace (it needs root)"
                                 : "the process ended before its window showed (status "
                                           + std::to_string(status) + ")\n"
                                           + Tail(dir / "output.log");
    } else {
        if (!visible)
            sample.failure = "no window within the deadline\n" + Tail(dir / "output.log");
        Stop(pid, pidFd, SIGTERM);
    }
    g_subject = 0;
    std::filesystem::remove_all(dir);
    return sample;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string Format(double value, int decimals = 1)
{
    if (std::isnan(value))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void PrintRow(const std::string &figure,
              const std::string &station,
              const std::string &bare,
              const std::string &ratio,
              const std::string &target = {})
{
    std::printf("%-34s %12s %12s %7s  %s\n",
                figure.c_str(),
                station.c_str(),
                bare.c_str(),
                ratio.c_str(),
                target.c_str());
}

void PrintRatioRow(
        const std::string &figure, double station, double bare, int decimals, double target)
{
    const double ratio = bare > 0 ? station / bare : NAN;
    const std::string verdict = std::isnan(ratio) ? "not measured"
                                : ratio <= target ? "target met"
                                                  : "missed";
    PrintRow(figure,
             Format(station, decimals),
             Format(bare, decimals),
             Format(ratio, 2),
             "<= " + Format(target, 2) + " x bare: " + verdict);
}

struct Series
{
    std::vector<double> launchMs;
    std::vector<double> visibleMs;
    std::vector<double> rssMiB;
    std::vector<double> anonMiB;
    std::vector<double> fileMiB;

    void add(const Sample &sample)
    {
        launchMs.push_back(sample.launchMs);
        visibleMs.push_back(sample.visibleMs);
        rssMiB.push_back(sample.rssKiB / 1024.0);
        anonMiB.push_back(sample.rssAnonKiB / 1024.0);
        fileMiB.push_back(sample.rssFileKiB / 1024.0);
    }
};

std::string Signed(double value)
{
    if (std::isnan(value))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%+.1f", value);
    return text;
}

// The station with STORE=0 and with each store in columns, with what each store adds to the
// start without it.
void PrintStoreRows(int runs,
                    const Series &noStore,
                    const Series &firstStart,
                    const Series &empty,
                    const Series &full)
{
    const auto row = [](const std::string &figure, const std::vector<std::string> &columns) {
        std::printf("%-30s", figure.c_str());
        for (const std::string &column : columns)
            std::printf(" %8s", column.c_str());
        std::printf("\n");
    };
    const auto figures = [&](const std::string &figure,
                             std::vector<double> Series::*of,
                             double target,
                             const char *unit) {
        const double none = Median(noStore.*of);
        std::vector<std::string> columns = {Format(none)};
        std::vector<double> costs;
        for (const Series *series : {&firstStart, &empty, &full}) {
            columns.push_back(Format(Median(series->*of)));
            costs.push_back(Median(series->*of) - none);
        }
        for (const double cost : costs)
            columns.push_back(Signed(cost));
        if (target > 0) {
            std::string verdicts;
            for (const double cost : costs)
                verdicts += std::isnan(cost) ? " -" : cost <= target ? " met" : " missed";
            columns.push_back(" <= +" + Format(target, 0) + " " + unit + ":" + verdicts);
        }
        row(figure, columns);
    };
    std::printf("\nThe message store at the start, medians of %d starts: none (STORE=0), the "
                "first start (no file yet),\nan empty store and a full one (%d messages); each "
                "start finds a copy of the same file.\n",
                runs,
                kStoredMessages);
    row("figure", {"none", "first", "empty", "full", "+first", "+empty", "+full", " target"});
    figures("exec to visible window, ms", &Series::visibleMs, kStoreTimeTargetMs, "ms");
    figures("VmRSS 2 s after visible, MiB", &Series::rssMiB, kStoreMemoryTargetMiB, "MiB");
    figures("  of which anonymous, MiB", &Series::anonMiB, 0, "");
    figures("  of which file-backed, MiB", &Series::fileMiB, 0, "");
}

// The whole measurement on one server of its own; gives the exit code.
struct StoreFiles
{
    std::string empty;
    std::string full;
};

int Bench(int runs, const std::string &serverLog, const StoreFiles &stores)
{
    const Subject station{"station", STATION_PATH, "Veltrin [", {}, {}, {}};
    const Subject bare{"bare", BARE_WINDOW_PATH, "Bare window", {}, {}, {}};
    const Subject text{"text", BARE_WINDOW_PATH, "Bare window", "--text", {}, {}};
    const Subject noStore{
            "nostore", STATION_PATH, "Veltrin [", {}, "[DATABASE]\r\nSTORE=0\r\n", {}};
    const Subject empty{"empty", STATION_PATH, "Veltrin [", {}, {}, stores.empty};
    const Subject full{"full", STATION_PATH, "Veltrin [", {}, {}, stores.full};

    VirtualServer server;
    if (!server.start(serverLog)) {
        if (!g_interrupted)
            std::printf("bench_startup: Xvfb did not come up (is the xvfb package installed?)\n%s",
                        Tail(serverLog).c_str());
        return 1;
    }
    Display *display = XOpenDisplay(server.display().c_str());
    if (!display) {
        std::printf("bench_startup: cannot connect to Xvfb on %s\n", server.display().c_str());
        return 1;
    }
    XSetErrorHandler(IgnoreXError);
    // Without a window manager, top-level windows are the root's children: their mapping is
    // reported to whoever watches the root's substructure.
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    std::printf("From exec to a mapped main window, and VmRSS %lld s after it, on Xvfb %s;\n"
                "each start in a network namespace of its own (set up before the exec, timed "
                "apart)\nwith a fresh XDG_CONFIG_HOME and current directory; one warm-up start "
                "each,\nthen %d starts each, in turn.\n\n",
                static_cast<long long>(std::chrono::seconds(kSettle).count()),
                server.display().c_str(),
                runs);

    Series stationSeries;
    Series bareSeries;
    Series textSeries;
    Series noStoreSeries;
    Series emptySeries;
    Series fullSeries;
    const std::pair<const Subject *, Series *> subjects[] = {{&bare, &bareSeries},
                                                             {&text, &textSeries},
                                                             {&station, &stationSeries},
                                                             {&noStore, &noStoreSeries},
                                                             {&empty, &emptySeries},
                                                             {&full, &fullSeries}};
    for (int run = 0; run <= runs; ++run) {
        for (const auto &[subject, series] : subjects) {
            const Sample sample = Measure(display, server.display(), *subject);
            if (g_interrupted) {
                std::printf("bench_startup: interrupted\n");
                XCloseDisplay(display);
                return 1;
            }
            if (!sample.ok) {
                std::printf(
                        "bench_startup: %s: %s\n", subject->label.c_str(), sample.failure.c_str());
                if (sample.noNamespace)
                    std::printf("The station's port is fixed, so it is not started on the "
                                "machine's network: nothing measured.\n");
                XCloseDisplay(display);
                return sample.noNamespace ? 0 : 1;
            }
            std::printf("%-8s %-7s namespace %5.1f ms, visible after %6.1f ms, VmRSS %5.1f MiB "
                        "(anon %4.1f, file %4.1f)\n",
                        run == 0 ? "warm-up" : ("run " + std::to_string(run)).c_str(),
                        subject->label.c_str(),
                        sample.launchMs,
                        sample.visibleMs,
                        sample.rssKiB / 1024.0,
                        sample.rssAnonKiB / 1024.0,
                        sample.rssFileKiB / 1024.0);
            if (run > 0)
                series->add(sample);
        }
    }
    XCloseDisplay(display);

    std::printf("\nMedians of %d starts:\n", runs);
    PrintRow("figure", "station", "bare", "ratio", "target");
    PrintRatioRow("exec to visible window, ms",
                  Median(stationSeries.visibleMs),
                  Median(bareSeries.visibleMs),
                  1,
                  kTimeTargetRatio);
    PrintRatioRow("VmRSS 2 s after visible, MiB",
                  Median(stationSeries.rssMiB),
                  Median(bareSeries.rssMiB),
                  1,
                  kMemoryTargetRatio);
    PrintRow("  of which anonymous, MiB",
             Format(Median(stationSeries.anonMiB)),
             Format(Median(bareSeries.anonMiB)),
             Format(Median(stationSeries.anonMiB) / Median(bareSeries.anonMiB), 2));
    PrintRow("  of which file-backed, MiB",
             Format(Median(stationSeries.fileMiB)),
             Format(Median(bareSeries.fileMiB)),
             Format(Median(stationSeries.fileMiB) / Median(bareSeries.fileMiB), 2));
    PrintRow("namespace set-up before exec, ms",
             Format(Median(stationSeries.launchMs)),
             Format(Median(bareSeries.launchMs)),
             "-");

    // The bare window draws no text, so the system's font configuration and the loading of a
    // face are on the station's side alone; the same window with one line of text shows how
    // much of the difference that is.
    std::printf("\nBeside the bare window with one line of text (\"text\"):\n");
    PrintRow("figure", "station", "text", "ratio", "text / bare");
    for (const auto &[figure, of] : {std::pair{"exec to visible window, ms", &Series::visibleMs},
                                     std::pair{"VmRSS 2 s after visible, MiB", &Series::rssMiB}}) {
        const double withText = Median(textSeries.*of);
        PrintRow(figure,
                 Format(Median(stationSeries.*of)),
                 Format(withText),
                 Format(Median(stationSeries.*of) / withText, 2),
                 Format(withText / Median(bareSeries.*of), 2));
    }
    PrintStoreRows(runs, noStoreSeries, stationSeries, emptySeries, fullSeries);
    return 0;
}

// The stores the starts find, made once through the store itself at the place in dir where the
// station looks for one: one that a start before has made and left empty, and a full one.
std::optional<StoreFiles> MakeStores(const std::string &dir, int argc, char *argv[])
{
    // The store's database driver is a plug-in, which only an application loads; it goes
    // before the first start, so that no start inherits it.
    QCoreApplication app(argc, argv);
    const StoreFiles files{dir + "/empty/veltrin/messages.db", dir + "/full/veltrin/messages.db"};
    const auto start = Clock::now();
    for (const std::string *path : {&files.empty, &files.full}) {
        MessageStore store;
        const MessageStore::OpenResult opened = store.open(QString::fromStdString(*path));
        if (!opened.opened || (path == &files.full && !FillArchive(store, kStoredMessages))) {
            std::printf("bench_startup: cannot make the store at %s\n", path->c_str());
            return std::nullopt;
        }
    }
    std::printf("A store of %d messages filled in %.1f s: %.1f MiB.\n",
                kStoredMessages,
                std::chrono::duration<double>(Clock::now() - start).count(),
                double(std::filesystem::file_size(files.full)) / (1024.0 * 1024.0));
    return files;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int runs = kDefaultRuns;
    if (argc > 1)
        runs = std::max(1, std::atoi(argv[1]));

    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::signal(signalNumber, Interrupt);
    ::signal(SIGPIPE, SIG_IGN);

    char serverLog[] = "/tmp/veltrin-xvfb-XXXXXX";
    const int logFd = ::mkstemp(serverLog);
    if (logFd >= 0)
        ::close(logFd);
    char storeDir[] = "/tmp/veltrin-store-XXXXXX";
    const bool madeStoreDir = ::mkdtemp(storeDir) != nullptr;
    const std::optional<StoreFiles> stores
            = madeStoreDir ? MakeStores(storeDir, argc, argv) : std::nullopt;
    const int exitCode = stores && !g_interrupted ? Bench(runs, serverLog, *stores) : 1;
    if (madeStoreDir)
        std::filesystem::remove_all(storeDir);
    ::unlink(serverLog);
    if (const int signalNumber = g_interrupted) {
        ::signal(signalNumber, SIG_DFL);
        ::raise(signalNumber);
    }
    return exitCode;
}
