#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>

#include <sys/types.h>

#include <string>

// A program run with exactly the argv bytes it is given. QProcess would pass its arguments
// through UTF-8, and a Windows-1250 message body does not survive that. Its standard output and
// error are collected on pipes; standard input is /dev/null.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess(); // kills the program when it still runs
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // program is a path, not looked up; false with the reason in problem.
    bool start(const QByteArray &program, const QByteArrayList &arguments, std::string *problem);

    // Collects output until standard output holds line as a whole line; false when the deadline
    // passes or the program ends without printing it.
    bool waitForLine(const QByteArray &line, QDeadlineTimer deadline);
    // False when the deadline passes first; the program is left running then.
    bool waitForFinished(QDeadlineTimer deadline);
    void kill();

    bool hasStarted() const { return m_pid > 0; }
    bool hasFinished() const { return m_finished; }
    // -1 unless the program has exited by itself (still running, killed, never started).
    int exitCode() const;
    const QByteArray &standardOutput() const { return m_output; }
    const QByteArray &standardError() const { return m_errors; }
    QByteArrayList outputLines() const;
    // How the program ended and what it printed, for failure messages.
    std::string describe() const;

private:
    // One wait for output or the end of the program, no longer than the deadline allows.
    void collect(QDeadlineTimer deadline);
    void reap(int waitOptions);
    bool pipesOpen() const { return m_outputFd >= 0 || m_errorsFd >= 0; }
    void closeFds();

    pid_t m_pid = -1;
    int m_pidFd = -1; // readable once the program has ended
    int m_outputFd = -1;
    int m_errorsFd = -1;
    bool m_finished = false;
    int m_waitStatus = 0;
    QByteArray m_output;
    QByteArray m_errors;
};

// Two network namespaces joined by a veth pair, standing for two hosts on one LAN: each end may
// bind the station's fixed port, and nothing reaches the machine's own network. The namespaces
// are named after this process ("veltrin-a-<pid>", "veltrin-b-<pid>"); leftovers of an earlier
// process with the same pid are removed first, and the destructor removes both namespaces (and
// with them the veth pair) however far construction got.
class NamespacePair
{
public:
    enum class Side { A, B };
    enum class Status {
        Ready,
        Unavailable, // this machine cannot make them: not root, no "ip", no netns or veth support
        Failed,      // they were made but could not be set up
    };

    NamespacePair();
    ~NamespacePair();
    NamespacePair(const NamespacePair &) = delete;
    NamespacePair &operator=(const NamespacePair &) = delete;

    Status status() const { return m_status; }
    const std::string &problem() const { return m_problem; }

    QByteArray name(Side side) const;
    QByteArray interfaceName(Side side) const;
    QByteArray address(Side side) const; // dotted, without the prefix length

    // Starts program inside side's namespace ("ip netns exec"; the program replaces "ip", so
    // killing the process kills the program).
    bool start(Side side,
               ChildProcess &process,
               const QByteArray &program,
               const QByteArrayList &arguments,
               std::string *problem) const;

    // Waits until both veth ends report carrier and a datagram has gone each way between the two
    // addresses, on a port other than the station's, so that the first datagram of a test is not
    // lost to a link still coming up.
    bool waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const;

private:
    struct Host
    {
        QByteArray name;
        QByteArray interfaceName;
        QByteArray address;
    };

    const Host &host(Side side) const { return side == Side::A ? m_a : m_b; }
    void build();
    bool runIp(const QByteArrayList &arguments, std::string *problem) const;
    bool waitForCarrier(const Host &host, QDeadlineTimer deadline, std::string *problem) const;
    void removeNamespaces() const;

    QByteArray m_ip; // path of the "ip" program, empty when there is none
    Host m_a;
    Host m_b;
    Status m_status = Status::Failed;
    std::string m_problem;
};
