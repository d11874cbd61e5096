#pragma once

#include "sockethandle.h"

#include <QObject>

#include <csignal>
#include <iterator>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP as a request to end the program in order, announced on the thread
// that made this object. The end of a session, a service manager's stop, Ctrl+C and a closed
// terminal then leave the way the program's own end command does, and skip nothing of it: above
// all the wait that keeps the next run from reusing message keys a receiver still remembers. A
// second such signal while that end still runs has the signal's own effect.
//
// One at a time: a second object, or a system without pipes to spare, leaves the signals as
// they were and says so on the log.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override; // the earlier handlers are back

    // Whether requested() has been announced: a request that came while a dialog's loop ran,
    // before the program's own loop had started, is not lost.
    bool wasRequested() const { return m_requested; }

Q_SIGNALS:
    void requested();

private:
    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

    // The pipe the handler writes to; closed: the signals were left as they were.
    SocketHandle m_readEnd;
    SocketHandle m_writeEnd;
    bool m_requested = false;
    QSocketNotifier *m_notifier = nullptr;
    struct sigaction m_earlier[std::size(kSignals)] = {};
};
