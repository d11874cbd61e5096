#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QDeadlineTimer>

#include <sys/types.h>

#include <functional>
#include <string>

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
