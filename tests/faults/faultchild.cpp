#include "faultchild.h"

#include "support/loopback.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int kSkipExitCode = 77;

std::string ErrnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

void WriteReason(int fd, const std::string &reason)
{
    if (::write(fd, reason.data(), reason.size()) < 0) {
        // The exit code still tells the parent what happened.
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

[[noreturn]] void RunChild(const std::function<std::string()> &prepare,
                           const std::function<void()> &body,
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
        char name[] = "fault-child";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
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

PrivateNetworkResult RunInFaultChild(const std::function<std::string()> &prepare,
                                     const std::function<void()> &body,
                                     int timeoutSeconds)
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
        RunChild(prepare, body, reasonPipe[1]);
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
                "the child did not finish within " + std::to_string(timeoutSeconds) + " s"};
    }
    const std::string reason = ReadAll(reasonPipe[0]);
    ::close(reasonPipe[0]);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {PrivateNetworkResult::Outcome::Passed, {}};
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipExitCode)
        return {PrivateNetworkResult::Outcome::Skipped, reason};
    if (WIFSIGNALED(status))
        return {PrivateNetworkResult::Outcome::Failed,
                "the child died of signal " + std::to_string(WTERMSIG(status))};
    return {PrivateNetworkResult::Outcome::Failed, "the child reported the failures above"};
}

std::string PreparePrivateMountsAndNetwork()
{
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return ErrnoText("cannot create private mount and network namespaces (needs root)");
    // Without this, a mount made here would propagate back to the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return ErrnoText("cannot make the private mounts private");
    if (!BringLoopbackUp())
        return ErrnoText("cannot bring lo up in the private network namespace");
    return {};
}

std::function<std::string()> PrepareInsideNetworkNamespace(const QByteArray &namespaceName)
{
    return [namespaceName]() -> std::string {
        const QByteArray path = "/run/netns/" + namespaceName;
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return ErrnoText("cannot open " + path.toStdString());
        const int result = ::setns(fd, CLONE_NEWNET);
        ::close(fd);
        if (result != 0)
            return ErrnoText("cannot enter " + path.toStdString());
        return {};
    };
}

std::string MountScratchFileSystem(const QString &directory, qint64 bytes)
{
    const QByteArray target = QFile::encodeName(directory);
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0777";
    if (::mount("veltrin-scratch", target.constData(), "tmpfs", 0, options.constData()) != 0)
        return ErrnoText("cannot mount a tmpfs at " + target.toStdString());
    return {};
}

std::string RemountReadOnly(const QString &directory)
{
    const QByteArray target = QFile::encodeName(directory);
    if (::mount(nullptr, target.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return ErrnoText("cannot make " + target.toStdString() + " read-only");
    return {};
}

qint64 FillFileSystem(const QString &directory)
{
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/filler"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    const std::string block(4096, 'x');
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n <= 0)
            break;
        total += n;
    }
    // A block that did not fit whole may still leave a few bytes free; they go one by one.
    while (::write(fd, "x", 1) == 1)
        ++total;
    ::close(fd);
    return total;
}

std::string DropToNobody()
{
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0)
        return ErrnoText("cannot drop the supplementary groups");
    if (::setresgid(kNobody, kNobody, kNobody) != 0)
        return ErrnoText("cannot become group nobody");
    if (::setresuid(kNobody, kNobody, kNobody) != 0)
        return ErrnoText("cannot become user nobody");
    return {};
}
