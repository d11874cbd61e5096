#include "namespacepair.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
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
// Setting up a namespace is a handful of quick "ip" calls; one that takes longer is stuck.
constexpr int kIpTimeoutMs = 10000;
// Any port but the station's; the namespaces are new, so nothing else can hold it.
constexpr quint16 kProbePort = 34800;
constexpr int kProbeResendMs = 200;
// Every test address lies in 198.18.0.0/15, set aside for testing networks, so that nothing a
// test sends can be meant for a real host.
constexpr char kAddressPrefix[] = "198.18.0.";

std::string ErrnoText(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

std::string ToStd(const QByteArray &bytes)
{
    return bytes.toStdString();
}

class Fd
{
public:
    explicit Fd(int fd = -1)
        : m_fd(fd)
    {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(Fd &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return m_fd; }

private:
    int m_fd;
};

int PollTimeout(QDeadlineTimer deadline, int cap)
{
    const qint64 remaining = deadline.remainingTime();
    if (remaining < 0)
        return cap;
    return static_cast<int>(std::min<qint64>(remaining, cap < 0 ? remaining : cap));
}

QByteArray FindProgram(const QByteArray &name)
{
    // "ip" lives in sbin, which a test runner's PATH does not always contain.
    QByteArrayList directories = qgetenv("PATH").split(':');
    directories << "/usr/sbin"
                << "/sbin"
                << "/usr/bin"
                << "/bin";
    for (const QByteArray &directory : std::as_const(directories)) {
        if (directory.isEmpty())
            continue;
        const QByteArray candidate = directory + '/' + name;
        if (::access(candidate.constData(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// Where "ip netns add" keeps a namespace alive: /run/netns on current systems, /var/run/netns
// (mostly a link to it) on older ones.
QByteArray NamespaceFile(const QByteArray &namespaceName)
{
    for (const char *directory : {"/run/netns/", "/var/run/netns/"}) {
        const QByteArray path = directory + namespaceName;
        if (::access(path.constData(), F_OK) == 0)
            return path;
    }
    return "/run/netns/" + namespaceName;
}

// A socket belongs to the namespace it was created in, wherever it is used later, so a
// short-lived thread enters the namespace just to create it and the rest of the process stays
// where it is.
int OpenDatagramSocketIn(const QByteArray &namespaceName, std::string *problem)
{
    int socketFd = -1;
    std::string failure;
    std::thread([&] {
        Fd namespaceFd(::open(NamespaceFile(namespaceName).constData(), O_RDONLY | O_CLOEXEC));
        if (namespaceFd.get() < 0) {
            failure = ErrnoText("cannot open the namespace", errno);
            return;
        }
        if (::setns(namespaceFd.get(), CLONE_NEWNET) != 0) {
            failure = ErrnoText("cannot enter the namespace", errno);
            return;
        }
        socketFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (socketFd < 0)
            failure = ErrnoText("cannot open a socket in the namespace", errno);
    }).join();
    if (socketFd < 0)
        *problem = ToStd(namespaceName) + ": " + failure;
    return socketFd;
}

sockaddr_in SocketAddress(const QByteArray &address, quint16 port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address.constData(), &result.sin_addr);
    return result;
}

// Sends from one probe socket to the other until a probe arrives from the expected address.
bool ProbeOneWay(int fromFd,
                 const QByteArray &fromAddress,
                 int toFd,
                 const QByteArray &toAddress,
                 QDeadlineTimer deadline,
                 std::string *problem)
{
    const sockaddr_in destination = SocketAddress(toAddress, kProbePort);
    const QByteArray probe = "veltrin link probe";
    const std::string direction = ToStd(fromAddress) + " -> " + ToStd(toAddress);
    do {
        if (::sendto(fromFd,
                     probe.constData(),
                     static_cast<size_t>(probe.size()),
                     0,
                     reinterpret_cast<const sockaddr *>(&destination),
                     sizeof destination)
            < 0) {
            *problem = ErrnoText(("probe " + direction + ": send failed").c_str(), errno);
            return false;
        }
        pollfd waiting{toFd, POLLIN, 0};
        if (::poll(&waiting, 1, PollTimeout(deadline, kProbeResendMs)) <= 0)
            continue;
        char buffer[64];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t n = ::recvfrom(toFd,
                                     buffer,
                                     sizeof buffer,
                                     0,
                                     reinterpret_cast<sockaddr *>(&sender),
                                     &senderLength);
        char senderText[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &sender.sin_addr, senderText, sizeof senderText);
        if (n == probe.size() && QByteArrayView(buffer, n) == probe && fromAddress == senderText) {
            return true;
        }
    } while (!deadline.hasExpired());
    *problem = "probe " + direction + ": no datagram arrived in time";
    return false;
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

HostNamespaces::HostNamespaces(int count)
{
    const QByteArray pid = QByteArray::number(::getpid());
    count = std::clamp(count, 2, kMaxHosts);
    for (int i = 0; i < count; ++i) {
        const char letter = char('a' + i);
        m_hosts.push_back({"veltrin-" + QByteArray(1, letter) + '-' + pid,
                           "vlt-" + QByteArray(1, letter) + '-' + pid,
                           kAddressPrefix + QByteArray::number(i + 1),
                           {}});
    }
    if (count > 2) {
        m_switchName = "veltrin-lan-" + pid;
        m_bridgeName = "vlt-br-" + pid;
        for (Host &host : m_hosts)
            host.switchPortName = "vlt-s" + host.interfaceName.mid(4);
    }
    m_ip = FindProgram("ip");
    m_unshare = FindProgram("unshare");
    m_shell = FindProgram("sh");
    m_hostname = FindProgram("hostname");
    build();
}

HostNamespaces::~HostNamespaces()
{
    removeNamespaces();
}

void HostNamespaces::build()
{
    if (::geteuid() != 0) {
        m_status = Status::Unavailable;
        m_problem = "network namespaces can only be made by root";
        return;
    }
    if (m_ip.isEmpty()) {
        m_status = Status::Unavailable;
        m_problem = "the \"ip\" program (iproute2) is not installed";
        return;
    }
    // A process of the same pid that was killed left its namespaces behind.
    removeNamespaces();

    std::string failure;
    std::vector<QByteArray> namespaces;
    for (const Host &host : m_hosts)
        namespaces.push_back(host.name);
    if (hasSwitch())
        namespaces.push_back(m_switchName);
    for (const QByteArray &name : namespaces) {
        if (!runIp({"netns", "add", name}, &failure)) {
            m_status = Status::Unavailable;
            m_problem = "network namespaces are not supported here: " + failure;
            return;
        }
    }
    if (hasSwitch()
        && !runIp({"-n", m_switchName, "link", "add", m_bridgeName, "type", "bridge"}, &failure)) {
        m_status = Status::Unavailable;
        m_problem = "bridges are not supported here: " + failure;
        return;
    }
    if (hasSwitch() && !runIp({"-n", m_switchName, "link", "set", m_bridgeName, "up"}, &failure)) {
        m_status = Status::Failed;
        m_problem = "cannot set up the switch " + ToStd(m_switchName) + ": " + failure;
        return;
    }
    if (hasSwitch()) {
        for (const Host &host : m_hosts) {
            if (!link(host))
                return;
        }
    } else if (!link(m_hosts.front())) {
        return;
    }
    // A pair is a network of its own; a switched LAN holds every host in one.
    const QByteArray prefixLength = hasSwitch() ? "/24" : "/30";
    for (const Host &host : m_hosts) {
        if (!runIp({"-n",
                    host.name,
                    "addr",
                    "add",
                    host.address + prefixLength,
                    "dev",
                    host.interfaceName},
                   &failure)
            || !runIp({"-n", host.name, "link", "set", "lo", "up"}, &failure)
            || !runIp({"-n", host.name, "link", "set", host.interfaceName, "up"}, &failure)) {
            m_status = Status::Failed;
            m_problem = "cannot set up namespace " + ToStd(host.name) + ": " + failure;
            return;
        }
    }
    m_status = Status::Ready;
    m_problem.clear();
}

// Joins host to the switch, or without one the first host to the second. Each end is created
// right inside its namespace, so no link ever appears in the machine's own network.
bool HostNamespaces::link(const Host &host)
{
    const QByteArray peerInterface
            = hasSwitch() ? host.switchPortName : m_hosts.at(1).interfaceName;
    const QByteArray peerNamespace = hasSwitch() ? m_switchName : m_hosts.at(1).name;
    std::string failure;
    if (!runIp({"link",
                "add",
                host.interfaceName,
                "netns",
                host.name,
                "type",
                "veth",
                "peer",
                "name",
                peerInterface,
                "netns",
                peerNamespace},
               &failure)) {
        m_status = Status::Unavailable;
        m_problem = "veth pairs are not supported here: " + failure;
        return false;
    }
    if (hasSwitch()
        && !runIp({"-n", m_switchName, "link", "set", peerInterface, "master", m_bridgeName, "up"},
                  &failure)) {
        m_status = Status::Failed;
        m_problem = "cannot plug " + ToStd(host.name) + " into the switch: " + failure;
        return false;
    }
    return true;
}

bool HostNamespaces::runIp(const QByteArrayList &arguments, std::string *problem) const
{
    const std::string command = "ip " + ToStd(arguments.join(' '));
    ChildProcess ip;
    std::string failure;
    if (!ip.start(m_ip, arguments, &failure)) {
        *problem = command + ": " + failure;
        return false;
    }
    if (!ip.waitForFinished(QDeadlineTimer(kIpTimeoutMs))) {
        *problem = command + ": did not finish within " + std::to_string(kIpTimeoutMs) + " ms";
        return false;
    }
    if (ip.exitCode() != 0) {
        *problem = command + ": " + ip.describe();
        return false;
    }
    return true;
}

bool HostNamespaces::canNameHosts(std::string *problem) const
{
    for (const auto &[path, name] : {std::pair{&m_unshare, "unshare (util-linux)"},
                                     std::pair{&m_shell, "sh"},
                                     std::pair{&m_hostname, "hostname"}}) {
        if (path->isEmpty()) {
            *problem = std::string("the \"") + name + "\" program is not installed";
            return false;
        }
    }
    return true;
}

bool HostNamespaces::start(int host,
                           ChildProcess &process,
                           const QByteArray &program,
                           const QByteArrayList &arguments,
                           std::string *problem,
                           const QByteArray &hostName) const
{
    if (m_status != Status::Ready) {
        *problem = "the namespaces are not ready: " + m_problem;
        return false;
    }
    QByteArrayList command{"netns", "exec", m_hosts.at(host).name};
    if (!hostName.isEmpty()) {
        if (!canNameHosts(problem))
            return false;
        // "ip netns exec" leaves the UTS namespace shared, so the name is set only behind
        // "unshare"; should that fail, the shell never runs. Every step replaces the one before
        // it, so the program keeps the process.
        command << m_unshare << "--uts" << m_shell << "-c"
                << "\"$1\" \"$2\" && shift 2 && exec \"$@\""
                << "sh" << m_hostname << hostName;
    }
    return process.start(m_ip, command + QByteArrayList{program} + arguments, problem);
}

bool HostNamespaces::waitForCarrier(const QByteArray &namespaceName,
                                    const QByteArray &interfaceName,
                                    QDeadlineTimer deadline,
                                    std::string *problem) const
{
    const QByteArrayList show{"-n", namespaceName, "-o", "link", "show", "dev", interfaceName};
    QByteArray lastState;
    do {
        ChildProcess ip;
        std::string failure;
        if (!ip.start(m_ip, show, &failure)) {
            *problem = failure;
            return false;
        }
        if (ip.waitForFinished(deadline) && ip.exitCode() == 0) {
            lastState = ip.standardOutput().trimmed();
            if (lastState.contains("LOWER_UP") && lastState.contains(" state UP "))
                return true;
        }
        // The link state changes without notice here; looking again soon is all there is.
        std::this_thread::sleep_for(
                std::chrono::milliseconds(PollTimeout(deadline, kReapIntervalMs)));
    } while (!deadline.hasExpired());
    *problem = ToStd(interfaceName) + " in " + ToStd(namespaceName)
               + " did not come up in time; last state: " + ToStd(lastState);
    return false;
}

bool HostNamespaces::waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const
{
    if (m_status != Status::Ready) {
        *problem = "the namespaces are not ready: " + m_problem;
        return false;
    }
    for (const Host &host : m_hosts) {
        if (!waitForCarrier(host.name, host.interfaceName, deadline, problem))
            return false;
        if (hasSwitch() && !waitForCarrier(m_switchName, host.switchPortName, deadline, problem))
            return false;
    }

    std::vector<Fd> sockets;
    for (const Host &host : m_hosts) {
        Fd socket(OpenDatagramSocketIn(host.name, problem));
        if (socket.get() < 0)
            return false;
        // Binding to the host's own address also proves the socket is on the right host.
        const sockaddr_in local = SocketAddress(host.address, kProbePort);
        if (::bind(socket.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            *problem = ErrnoText(("cannot bind a probe socket to " + ToStd(host.address) + " in "
                                  + ToStd(host.name))
                                         .c_str(),
                                 errno);
            return false;
        }
        sockets.push_back(std::move(socket));
    }
    for (std::size_t from = 0; from < m_hosts.size(); ++from) {
        for (std::size_t to = 0; to < m_hosts.size(); ++to) {
            if (from != to
                && !ProbeOneWay(sockets[from].get(),
                                m_hosts[from].address,
                                sockets[to].get(),
                                m_hosts[to].address,
                                deadline,
                                problem)) {
                return false;
            }
        }
    }
    return true;
}

void HostNamespaces::removeNamespaces() const
{
    if (m_ip.isEmpty() || ::geteuid() != 0)
        return;
    // Deleting a namespace takes the veth ends inside it, and with them the other ends. None
    // may exist (construction stopped early, or nothing was left over), so failures mean nothing.
    // The switch goes too when this is only a pair: a process of the same pid may have had one.
    QByteArrayList names;
    for (auto host = m_hosts.crbegin(); host != m_hosts.crend(); ++host)
        names << host->name;
    names << "veltrin-lan-" + QByteArray::number(::getpid());
    for (const QByteArray &name : std::as_const(names)) {
        std::string ignored;
        runIp({"netns", "delete", name}, &ignored);
    }
}
