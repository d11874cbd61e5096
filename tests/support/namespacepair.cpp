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

bool ChildProcess::start(const QByteArray &program,
                         const QByteArrayList &arguments,
                         std::string *problem)
{
    if (m_pid > 0) {
        *problem = "the process has already been started";
        return false;
    }
    int outputPipe[2];
    int errorsPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0) {
        *problem = ErrnoText("pipe2", errno);
        return false;
    }
    if (::pipe2(errorsPipe, O_CLOEXEC) != 0) {
        *problem = ErrnoText("pipe2", errno);
        ::close(outputPipe[0]);
        ::close(outputPipe[1]);
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

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errorsPipe[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawnError
            = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outputPipe[1]);
    ::close(errorsPipe[1]);
    if (spawnError != 0) {
        ::close(outputPipe[0]);
        ::close(errorsPipe[0]);
        *problem = ErrnoText(("cannot start " + ToStd(program)).c_str(), spawnError);
        return false;
    }
    m_pid = pid;
    m_outputFd = outputPipe[0];
    m_errorsFd = errorsPipe[0];
    // Called directly: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++. -1 on kernels before
    // 5.3; the end of the program is then asked for periodically.
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return true;
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
    if (m_pid <= 0)
        return false;
    qsizetype scanned = 0;
    for (;;) {
        qsizetype end = -1;
        while ((end = m_output.indexOf('\n', scanned)) >= 0) {
            if (QByteArrayView(m_output).sliced(scanned, end - scanned) == line)
                return true;
            scanned = end + 1;
        }
        if ((m_finished && !pipesOpen()) || deadline.hasExpired())
            return false;
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

QByteArrayList ChildProcess::outputLines() const
{
    QByteArrayList lines = m_output.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
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
    for (int *fd : {&m_outputFd, &m_errorsFd, &m_pidFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

NamespacePair::NamespacePair()
{
    const QByteArray pid = QByteArray::number(::getpid());
    m_a = {"veltrin-a-" + pid, "vlt-a-" + pid, "198.18.0.1"};
    m_b = {"veltrin-b-" + pid, "vlt-b-" + pid, "198.18.0.2"};
    m_ip = FindProgram("ip");
    build();
}

NamespacePair::~NamespacePair()
{
    removeNamespaces();
}

QByteArray NamespacePair::name(Side side) const
{
    return host(side).name;
}

QByteArray NamespacePair::interfaceName(Side side) const
{
    return host(side).interfaceName;
}

QByteArray NamespacePair::address(Side side) const
{
    return host(side).address;
}

void NamespacePair::build()
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
    for (const Host *host : {&m_a, &m_b}) {
        if (!runIp({"netns", "add", host->name}, &failure)) {
            m_status = Status::Unavailable;
            m_problem = "network namespaces are not supported here: " + failure;
            return;
        }
    }
    // Each end is created right inside its namespace, so the pair never appears in the
    // machine's own network.
    if (!runIp({"link",
                "add",
                m_a.interfaceName,
                "netns",
                m_a.name,
                "type",
                "veth",
                "peer",
                "name",
                m_b.interfaceName,
                "netns",
                m_b.name},
               &failure)) {
        m_status = Status::Unavailable;
        m_problem = "veth pairs are not supported here: " + failure;
        return;
    }
    for (const Host *host : {&m_a, &m_b}) {
        if (!runIp({"-n",
                    host->name,
                    "addr",
                    "add",
                    host->address + "/30",
                    "dev",
                    host->interfaceName},
                   &failure)
            || !runIp({"-n", host->name, "link", "set", "lo", "up"}, &failure)
            || !runIp({"-n", host->name, "link", "set", host->interfaceName, "up"}, &failure)) {
            m_status = Status::Failed;
            m_problem = "cannot set up namespace " + ToStd(host->name) + ": " + failure;
            return;
        }
    }
    m_status = Status::Ready;
    m_problem.clear();
}

bool NamespacePair::runIp(const QByteArrayList &arguments, std::string *problem) const
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

bool NamespacePair::start(Side side,
                          ChildProcess &process,
                          const QByteArray &program,
                          const QByteArrayList &arguments,
                          std::string *problem) const
{
    if (m_status != Status::Ready) {
        *problem = "the namespaces are not ready: " + m_problem;
        return false;
    }
    return process.start(
            m_ip, QByteArrayList{"netns", "exec", host(side).name, program} + arguments, problem);
}

bool NamespacePair::waitForCarrier(const Host &host,
                                   QDeadlineTimer deadline,
                                   std::string *problem) const
{
    const QByteArrayList arguments{
            "-n", host.name, "-o", "link", "show", "dev", host.interfaceName};
    QByteArray lastState;
    do {
        ChildProcess ip;
        std::string failure;
        if (!ip.start(m_ip, arguments, &failure)) {
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
    *problem = ToStd(host.interfaceName) + " in " + ToStd(host.name)
               + " did not come up in time; last state: " + ToStd(lastState);
    return false;
}

bool NamespacePair::waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const
{
    if (m_status != Status::Ready) {
        *problem = "the namespaces are not ready: " + m_problem;
        return false;
    }
    if (!waitForCarrier(m_a, deadline, problem) || !waitForCarrier(m_b, deadline, problem))
        return false;

    Fd socketA(OpenDatagramSocketIn(m_a.name, problem));
    if (socketA.get() < 0)
        return false;
    Fd socketB(OpenDatagramSocketIn(m_b.name, problem));
    if (socketB.get() < 0)
        return false;
    // Binding to the end's own address also proves the socket is on the right side.
    for (const auto &[fd, host] :
         {std::pair{socketA.get(), &m_a}, std::pair{socketB.get(), &m_b}}) {
        const sockaddr_in local = SocketAddress(host->address, kProbePort);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            *problem = ErrnoText(("cannot bind a probe socket to " + ToStd(host->address) + " in "
                                  + ToStd(host->name))
                                         .c_str(),
                                 errno);
            return false;
        }
    }
    return ProbeOneWay(socketA.get(), m_a.address, socketB.get(), m_b.address, deadline, problem)
           && ProbeOneWay(
                   socketB.get(), m_b.address, socketA.get(), m_a.address, deadline, problem);
}

void NamespacePair::removeNamespaces() const
{
    if (m_ip.isEmpty() || ::geteuid() != 0)
        return;
    // Deleting a namespace takes the veth end inside it, and with it the other end. Neither may
    // exist (construction stopped early, or nothing was left over), so failures mean nothing.
    for (const Host *host : {&m_b, &m_a}) {
        std::string ignored;
        runIp({"netns", "delete", host->name}, &ignored);
    }
}
