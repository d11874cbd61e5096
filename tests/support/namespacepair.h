#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QDeadlineTimer>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A program run with exactly the argv bytes it is given. QProcess would pass its arguments
// through UTF-8, and a Windows-1250 message body does not survive that. Its standard output and
// error are collected on pipes; standard input is /dev/null unless a pipe is asked for.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess(); // kills the program when it still runs
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Both take effect at the next start(). Each "NAME=value" replaces NAME in this process's
    // environment or is added to it.
    void setEnvironment(const QByteArrayList &assignments) { m_environment = assignments; }
    // Input is then written with writeInput(); the program sees its end at closeInput().
    void setInputPipe(bool enabled) { m_wantsInput = enabled; }

    // program is a path, not looked up; false with the reason in problem.
    bool start(const QByteArray &program, const QByteArrayList &arguments, std::string *problem);

    // False when the program no longer reads its input (it has ended, or it closed it).
    bool writeInput(const QByteArray &bytes, std::string *problem);
    void closeInput();

    // Collects output until standard output holds line as a whole line; false when the deadline
    // passes or the program ends without printing it.
    bool waitForLine(const QByteArray &line, QDeadlineTimer deadline);
    // The same for the first whole line beginning at or after the offset from that matches;
    // returns the offset just past that line, or -1.
    qsizetype waitForLineWhere(const std::function<bool(QByteArrayView)> &matches,
                               QDeadlineTimer deadline,
                               qsizetype from = 0);
    // Where the next line of output begins: a line at or after it was printed after this call.
    qsizetype nextLineOffset() const { return m_output.lastIndexOf('\n') + 1; }
    // False when the deadline passes first; the program is left running then.
    bool waitForFinished(QDeadlineTimer deadline);
    void kill();

    bool hasStarted() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; } // -1 until started
    bool hasFinished() const { return m_finished; }
    // -1 unless the program has exited by itself (still running, killed, never started).
    int exitCode() const;
    const QByteArray &standardOutput() const { return m_output; }
    const QByteArray &standardError() const { return m_errors; }
    // The whole lines from the offset from on.
    QByteArrayList outputLines(qsizetype from = 0) const;
    // How the program ended and what it printed, for failure messages.
    std::string describe() const;

private:
    // One wait for output or the end of the program, no longer than the deadline allows.
    void collect(QDeadlineTimer deadline);
    void reap(int waitOptions);
    bool pipesOpen() const { return m_outputFd >= 0 || m_errorsFd >= 0; }
    void closeFds();

    QByteArrayList m_environment;
    bool m_wantsInput = false;
    pid_t m_pid = -1;
    int m_pidFd = -1; // readable once the program has ended
    int m_inputFd = -1;
    int m_outputFd = -1;
    int m_errorsFd = -1;
    bool m_finished = false;
    int m_waitStatus = 0;
    QByteArray m_output;
    QByteArray m_errors;
};

// Network namespaces standing for the hosts of one LAN: each host may bind the station's fixed
// port, and nothing reaches the machine's own network. Host i is the namespace
// "veltrin-<letter>-<pid>" ('a' for host 0) with the address 198.18.0.<i + 1>. Two hosts are
// joined by a veth pair; three or more are each joined by one to a bridge, the LAN's switch, in a
// namespace of its own ("veltrin-lan-<pid>"). The names come from the pid, so a process holds
// one set at a time. Leftovers of an earlier process with the same pid are removed first, and the
// destructor removes every namespace (and with them the links) however far construction got.
class HostNamespaces
{
public:
    enum class Status {
        Ready,
        Unavailable, // this machine cannot make them: not root, no "ip", no netns, veth or bridge
        Failed,      // they were made but could not be set up
    };
    static constexpr int kMaxHosts = 8;

    explicit HostNamespaces(int count); // 2 to kMaxHosts
    ~HostNamespaces();
    HostNamespaces(const HostNamespaces &) = delete;
    HostNamespaces &operator=(const HostNamespaces &) = delete;

    Status status() const { return m_status; }
    const std::string &problem() const { return m_problem; }
    int count() const { return int(m_hosts.size()); }

    QByteArray name(int host) const { return m_hosts.at(host).name; }
    QByteArray interfaceName(int host) const { return m_hosts.at(host).interfaceName; }
    QByteArray address(int host) const { return m_hosts.at(host).address; } // without prefix

    // Whether start() can give a program a host name of its own; the reason when not.
    bool canNameHosts(std::string *problem) const;

    // Starts program inside the host's namespace ("ip netns exec"; the program replaces "ip",
    // so killing the process kills the program). With a hostName, the program runs in a UTS
    // namespace of its own that carries it, and the machine's own name is left alone.
    bool start(int host,
               ChildProcess &process,
               const QByteArray &program,
               const QByteArrayList &arguments,
               std::string *problem,
               const QByteArray &hostName = {}) const;

    // Waits until every link reports carrier and a datagram has gone each way between every two
    // hosts, on a port other than the station's, so that the first datagram of a test is not
    // lost to a link still coming up.
    bool waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const;

private:
    struct Host
    {
        QByteArray name;
        QByteArray interfaceName;
        QByteArray address;
        QByteArray switchPortName; // its link's end at the switch; empty without a switch
    };

    bool hasSwitch() const { return !m_switchName.isEmpty(); }
    void build();
    bool link(const Host &host);
    bool runIp(const QByteArrayList &arguments, std::string *problem) const;
    bool waitForCarrier(const QByteArray &namespaceName,
                        const QByteArray &interfaceName,
                        QDeadlineTimer deadline,
                        std::string *problem) const;
    void removeNamespaces() const;

    QByteArray m_ip;       // path of the "ip" program, empty when there is none
    QByteArray m_unshare;  // the same for "unshare"
    QByteArray m_shell;    // and "sh"
    QByteArray m_hostname; // and "hostname"
    std::vector<Host> m_hosts;
    QByteArray m_switchName;
    QByteArray m_bridgeName;
    Status m_status = Status::Failed;
    std::string m_problem;
};

// Two hosts, A (198.18.0.1) and B (198.18.0.2), joined by a veth pair.
class NamespacePair
{
public:
    enum class Side { A, B };
    using Status = HostNamespaces::Status;

    NamespacePair()
        : m_hosts(2)
    {}

    Status status() const { return m_hosts.status(); }
    const std::string &problem() const { return m_hosts.problem(); }

    QByteArray name(Side side) const { return m_hosts.name(index(side)); }
    QByteArray interfaceName(Side side) const { return m_hosts.interfaceName(index(side)); }
    QByteArray address(Side side) const { return m_hosts.address(index(side)); }

    bool start(Side side,
               ChildProcess &process,
               const QByteArray &program,
               const QByteArrayList &arguments,
               std::string *problem) const
    {
        return m_hosts.start(index(side), process, program, arguments, problem);
    }

    bool waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const
    {
        return m_hosts.waitUntilConnected(deadline, problem);
    }

private:
    static int index(Side side) { return side == Side::A ? 0 : 1; }

    HostNamespaces m_hosts;
};
