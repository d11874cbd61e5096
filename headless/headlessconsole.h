#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>

#include <cstdio>

class MessageListView;
class Tdm;
struct TMessageQueueItem;

// Drives a station from standard input and reports on standard output, one line each, in the
// locale's encoding (the station's own texts are converted from Windows-1250).
//
// Commands:
//   send HOST TEXT...        queue TEXT to HOST (the recipient's name is the host)
//   sendto NAME HOST TEXT... queue TEXT to HOST under the recipient's name NAME
//   tables                   print every row of both histories, then "end tables"
//   queue                    print the queue's size
//   quit                     end the station (so does the end of the input)
// Output: "ready NAME PORT" once running; "event CODE POSITION KEY" for each change the station
// announces, CODE 3 for a message queued, 2 received, 1 confirmed, 4 given up, the position being
// where its entry stood in the queue or among the remembered keys; "status TEXT" for each status
// line; "in|out ID FLAG LABEL FROM|MSG" rows for "tables".
class HeadlessConsole : public QObject
{
    Q_OBJECT

public:
    HeadlessConsole(Tdm &dm, std::FILE *out);

    void start();

private:
    void readInput();
    void execute(const QByteArray &line);
    void printLine(const QByteArray &line);
    void printTables();
    void printEvent(int code, const MessageListView &list, const TMessageQueueItem &entry);

    Tdm &m_dm;
    std::FILE *m_out;
    QSocketNotifier m_input;
    QByteArray m_pending;
};
