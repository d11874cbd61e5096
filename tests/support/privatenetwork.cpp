#include "privatenetwork.h"

#include <QCoreApplication>
#include <QDir>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int kSkipExitCode = 77;

// The network namespace this test program was started in: the machine's own, or whatever the
// caller gave it. A child that has entered another one, however, is in a private network.
ino_t NetworkNamespaceId()
{
    struct stat status; // filled in when the call succeeds, read only then
    return ::stat("/proc/self/ns/net", &status) == 0 ? status.st_ino : 0;
}

const ino_t g_startNamespace = NetworkNamespaceId();

void WriteReason(int fd, const std::string &reason)
{
    if (::write(fd, reason.data(), reason.size()) < 0) {
        // Nothing more can be said; the exit code still tells the parent.
    }
}

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

} // namespace

// Why the child cannot run in a network namespace of its own, or nothing when it now does.
std::string EnterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return std::string("cannot create a private network namespace (needs root): ")
               + std::strerror(errno);
    if (!BringLoopbackUp())
        return std::string("cannot bring lo up in the private network namespace: ")
               + std::strerror(errno);
    return {};
}

bool InPrivateNetwork()
{
    return NetworkNamespaceId() != g_startNamespace;
}

namespace {

[[noreturn]] void RunChild(const std::function<std::string()> &prepare,
                           const std::function<void()> &body,
                           const ApplicationFactory &makeApplication,
                           int reasonFd)
{
    const std::string problem = prepare ? prepare() : std::string();
    if (!problem.empty()) {
        WriteReason(reasonFd, problem);
        ::_exit(kSkipExitCode);
    }
    int exitCode = 0;
    {
        int argc = 1;
        char name[] = "test-child";
        char *argv[] = {name, nullptr};
        // A test run on loopback earlier in this process has left its application behind.
        const std::unique_ptr<QCoreApplication> app
                = QCoreApplication::instance() ? nullptr
                  : makeApplication            ? makeApplication(argc, argv)
                                               : std::make_unique<QCoreApplication>(argc, argv);
        try {
            body();
        } catch (const std::exception &e) {
            ADD_FAILURE() << "exception escaped the test body: " << e.what();
        } catch (...) {
            ADD_FAILURE() << "unknown exception escaped the test body";
        }
        exitCode = ::testing::Test::HasFailure() ? 1 : 0;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(exitCode);
}

} // namespace

void RunOnLoopback(const std::function<void()> &body, const ApplicationFactory &makeApplication)
{
    // Kept to the end of the process: Qt takes one application object per process, and the
    // tests of one program all ask for the same kind.
    static int argc = 1;
    static char name[] = "test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *const app = [&] {
        if (QCoreApplication::instance())
            return QCoreApplication::instance();
        return makeApplication ? makeApplication(argc, argv).release()
                               : new QCoreApplication(argc, argv);
    }();
    Q_UNUSED(app);
    struct RestoreDirectory
    {
        ~RestoreDirectory() { QDir::setCurrent(path); }
        QString path = QDir::currentPath();
    } restore;
    body();
}

PrivateNetworkResult RunInPrivateNetwork(const std::function<void()> &body,
                                         int timeoutSeconds,
                                         const ApplicationFactory &makeApplication)
{
    return RunInPreparedChild(EnterPrivateNetwork, body, timeoutSeconds, makeApplication);
}

PrivateNetworkResult RunInPreparedChild(const std::function<std::string()> &prepare,
                                        const std::function<void()> &body,
                                        int timeoutSeconds,
                                        const ApplicationFactory &makeApplication)
{
    std::fflush(stdout);
    std::fflush(stderr);
    int reasonPipe[2];
    if (::pipe2(reasonPipe, O_CLOEXEC) != 0)
        return {PrivateNetworkResult::Outcome::Failed, "pipe2 failed"};

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(reasonPipe[0]);
        ::close(reasonPipe[1]);
        return {PrivateNetworkResult::Outcome::Failed, "fork failed"};
    }
    if (child == 0) {
        ::close(reasonPipe[0]);
        RunChild(prepare, body, makeApplication, reasonPipe[1]);
    }
    ::close(reasonPipe[1]);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ::close(reasonPipe[0]);
        return {PrivateNetworkResult::Outcome::Failed,
                "the test child did not finish within " + std::to_string(timeoutSeconds) + " s"};
    }
    const std::string reason = ReadAll(reasonPipe[0]);
    ::close(reasonPipe[0]);

    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {PrivateNetworkResult::Outcome::Passed, {}};
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipExitCode)
        return {PrivateNetworkResult::Outcome::Skipped, reason};
    if (WIFSIGNALED(status))
        return {PrivateNetworkResult::Outcome::Failed,
                "the test child died of signal " + std::to_string(WTERMSIG(status))};
    return {PrivateNetworkResult::Outcome::Failed, "the test child reported the failures above"};
}
