#include "childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

namespace {

// Without a pidfd the end of a program is only seen by asking; this is how often.
constexpr int kReapIntervalMs = 50;
constexpr int kKilledOutputMs = 1000;

std::string ErrnoText(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

std::string ToStd(const QByteArray &bytes)
{
    return bytes.toStdString();
}

int PollTimeout(QDeadlineTimer deadline, int cap)
{
    const qint64 remaining = deadline.remainingTime();
    if (remaining < 0)
        return cap;
    return static_cast<int>(std::min<qint64>(remaining, cap < 0 ? remaining : cap));
}

} // namespace

ChildProcess::~ChildProcess()
{
    kill();
    closeFds();
}

namespace {

QByteArray VariableName(const QByteArray &assignment)
{
    return assignment.left(assignment.indexOf('='));
}

// This process's environment with the assignments applied; the bytes stay alive in storage.
std::vector<char *> MergedEnvironment(const QByteArrayList &assignments,
                                      std::vector<QByteArray> &storage)
{
    QByteArrayList overridden;
    for (const QByteArray &assignment : assignments)
        overridden << VariableName(assignment);
    for (char **variable = environ; *variable; ++variable) {
        const QByteArray entry(*variable);
        if (!overridden.contains(VariableName(entry)))
            storage.push_back(entry);
    }
    for (const QByteArray &assignment : assignments)
        storage.push_back(assignment);
    std::vector<char *> result;
    for (QByteArray &entry : storage)
        result.push_back(entry.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

bool ChildProcess::start(const QByteArray &program,
                         const QByteArrayList &arguments,
                         std::string *problem)
{
    if (m_pid > 0) {
        *problem = "the process has already been started";
        return false;
    }
    int inputPipe[2] = {-1, -1};
    int outputPipe[2] = {-1, -1};
    int errorsPipe[2] = {-1, -1};
    const auto closePipes = [&] {
        for (int *pipe : {inputPipe, outputPipe, errorsPipe}) {
            for (int i : {0, 1}) {
                if (pipe[i] >= 0)
                    ::close(pipe[i]);
                pipe[i] = -1;
            }
        }
    };
    if ((m_wantsInput && ::pipe2(inputPipe, O_CLOEXEC) != 0) || ::pipe2(outputPipe, O_CLOEXEC) != 0
        || ::pipe2(errorsPipe, O_CLOEXEC) != 0) {
        *problem = ErrnoText("pipe2", errno);
        closePipes();
        return false;
    }

    std::vector<QByteArray> storage;
    storage.reserve(static_cast<std::size_t>(arguments.size()) + 1);
    storage.push_back(program);
    for (const QByteArray &argument : arguments)
        storage.push_back(argument);
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> environmentStorage;
    std::vector<char *> environment = MergedEnvironment(m_environment, environmentStorage);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (m_wantsInput)
        posix_spawn_file_actions_adddup2(&actions, inputPipe[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errorsPipe[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawnError = ::posix_spawn(
            &pid, program.constData(), &actions, nullptr, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        closePipes();
        *problem = ErrnoText(("cannot start " + ToStd(program)).c_str(), spawnError);
        return false;
    }
    m_pid = pid;
    // Only the program's ends are closed; the rest is this object's now.
    m_inputFd = std::exchange(inputPipe[1], -1);
    m_outputFd = std::exchange(outputPipe[0], -1);
    m_errorsFd = std::exchange(errorsPipe[0], -1);
    closePipes();
    // Called directly: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++. -1 on kernels before
    // 5.3; the end of the program is then asked for periodically.
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return true;
}

bool ChildProcess::writeInput(const QByteArray &bytes, std::string *problem)
{
    if (m_inputFd < 0) {
        *problem = "the program's input is not open";
        return false;
    }
    // Writing to a program that has ended raises SIGPIPE, which would end this whole process.
    // The signal goes to the writing thread, so it is held back here and taken away again,
    // leaving the failure to EPIPE; one that was pending before is not this write's to take.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previousMask;
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    sigset_t pending;
    ::sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    int error = 0;
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(m_inputFd,
                                  bytes.constData() + written,
                                  static_cast<size_t>(bytes.size() - written));
        if (n >= 0) {
            written += n;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    if (error == EPIPE && !wasPending) {
        const timespec noWait{0, 0};
        while (::sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    if (error != 0) {
        *problem = ErrnoText("cannot write to the program's input", error);
        return false;
    }
    return true;
}

void ChildProcess::closeInput()
{
    if (m_inputFd >= 0)
        ::close(m_inputFd);
    m_inputFd = -1;
}

void ChildProcess::collect(QDeadlineTimer deadline)
{
    pollfd fds[3];
    int *owners[3];
    nfds_t count = 0;
    for (int *fd : {&m_outputFd, &m_errorsFd}) {
        if (*fd >= 0) {
            fds[count] = {*fd, POLLIN, 0};
            owners[count++] = fd;
        }
    }
    const bool watchPid = !m_finished && m_pidFd >= 0;
    if (watchPid) {
        fds[count] = {m_pidFd, POLLIN, 0};
        owners[count++] = &m_pidFd;
    }
    const bool askForEnd = !m_finished && m_pidFd < 0;
    const int timeout = PollTimeout(deadline, askForEnd ? kReapIntervalMs : -1);
    if (count == 0) {
        // Only the end of the program is left to see and there is no pidfd for it.
        if (askForEnd)
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
    } else if (::poll(fds, count, timeout) < 0 && errno != EINTR) {
        return;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (owners[i] == &m_pidFd || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buffer[4096];
        const ssize_t n = ::read(*owners[i], buffer, sizeof buffer);
        if (n > 0) {
            (owners[i] == &m_outputFd ? m_output : m_errors).append(buffer, n);
        } else if (n == 0 || errno != EINTR) {
            ::close(*owners[i]);
            *owners[i] = -1;
        }
    }
    if (!m_finished)
        reap(WNOHANG);
}

void ChildProcess::reap(int waitOptions)
{
    if (m_pid <= 0 || m_finished)
        return;
    int status = 0;
    pid_t done = -1;
    do {
        done = ::waitpid(m_pid, &status, waitOptions);
    } while (done < 0 && errno == EINTR);
    if (done == m_pid) {
        m_finished = true;
        m_waitStatus = status;
    } else if (done < 0 && errno == ECHILD) {
        // Reaped elsewhere: it has ended, but how is unknown, and it must not pass for success.
        m_finished = true;
        m_waitStatus = -1;
    }
}

bool ChildProcess::waitForLine(const QByteArray &line, QDeadlineTimer deadline)
{
    return waitForLineWhere([&](QByteArrayView candidate) { return candidate == line; }, deadline)
           >= 0;
}

qsizetype ChildProcess::waitForLineWhere(const std::function<bool(QByteArrayView)> &matches,
                                         QDeadlineTimer deadline,
                                         qsizetype from)
{
    if (m_pid <= 0)
        return -1;
    qsizetype scanned = std::max<qsizetype>(from, 0);
    for (;;) {
        qsizetype end = -1;
        while ((end = m_output.indexOf('\n', scanned)) >= 0) {
            if (matches(QByteArrayView(m_output).sliced(scanned, end - scanned)))
                return end + 1;
            scanned = end + 1;
        }
        if ((m_finished && !pipesOpen()) || deadline.hasExpired())
            return -1;
        collect(deadline);
    }
}

bool ChildProcess::waitForFinished(QDeadlineTimer deadline)
{
    if (m_pid <= 0)
        return false;
    // The rest of the output is wanted too, so the pipes are read until they close.
    while (!(m_finished && !pipesOpen()) && !deadline.hasExpired())
        collect(deadline);
    return m_finished;
}

void ChildProcess::kill()
{
    if (m_pid <= 0 || m_finished)
        return;
    ::kill(m_pid, SIGKILL);
    reap(0);
    // What it printed before dying may tell why it had to be killed. A descendant may still
    // hold the pipes, hence the deadline.
    const QDeadlineTimer deadline(kKilledOutputMs);
    while (pipesOpen() && !deadline.hasExpired())
        collect(deadline);
}

int ChildProcess::exitCode() const
{
    if (!m_finished || !WIFEXITED(m_waitStatus))
        return -1;
    return WEXITSTATUS(m_waitStatus);
}

QByteArrayList ChildProcess::outputLines(qsizetype from) const
{
    // A line still being printed is not whole yet.
    const qsizetype end = m_output.lastIndexOf('\n') + 1;
    from = std::clamp<qsizetype>(from, 0, end);
    QByteArrayList lines = m_output.sliced(from, end - from).split('\n');
    lines.removeLast();
    return lines;
}

std::string ChildProcess::describe() const
{
    std::string text;
    if (m_pid <= 0)
        text = "not started";
    else if (!m_finished)
        text = "still running";
    else if (WIFEXITED(m_waitStatus))
        text = "exited with code " + std::to_string(WEXITSTATUS(m_waitStatus));
    else if (WIFSIGNALED(m_waitStatus))
        text = "killed by signal " + std::to_string(WTERMSIG(m_waitStatus));
    else
        text = "ended";
    return text + "\n--- stdout:\n" + ToStd(m_output) + "--- stderr:\n" + ToStd(m_errors);
}

void ChildProcess::closeFds()
{
    for (int *fd : {&m_inputFd, &m_outputFd, &m_errorsFd, &m_pidFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}
