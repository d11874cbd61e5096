#include "headlessconsole.h"

#include "core/udm.h"
#include "platform/codepage.h"

#include <QCoreApplication>

#include <unistd.h>

#include <cerrno>

namespace {

// Commands and output are in the locale's encoding (UTF-8 here); the station's texts are
// Windows-1250 inside.
QByteArray ToStation(const QByteArray &localText)
{
    return EncodeWindows1250(QString::fromLocal8Bit(localText));
}

QByteArray FromStation(const QByteArray &stationText)
{
    return DecodeWindows1250(stationText).toLocal8Bit();
}

// Line breaks inside a text would split an output line.
QByteArray OneLine(QByteArray text)
{
    return text.replace("\r\n", "\\n").replace('\n', "\\n").replace('\r', "\\n");
}

} // namespace

HeadlessConsole::HeadlessConsole(Tdm &dm, std::FILE *out)
    : m_dm(dm)
    , m_out(out)
    , m_input(STDIN_FILENO, QSocketNotifier::Read)
{
    // The codes are the ones scripts have always read.
    connect(&m_dm, &Tdm::messageQueued, this, [this](const TMessageQueueItem &entry) {
        printEvent(3, m_dm.outboundQueue(), entry);
    });
    connect(&m_dm, &Tdm::messageReceived, this, [this](const TMessageQueueItem &entry) {
        printEvent(2, m_dm.receivedList(), entry);
    });
    connect(&m_dm, &Tdm::messageConfirmed, this, [this](const TMessageQueueItem &entry) {
        printEvent(1, m_dm.outboundQueue(), entry);
    });
    connect(&m_dm, &Tdm::messageGivenUp, this, [this](const TMessageQueueItem &entry) {
        printEvent(4, m_dm.outboundQueue(), entry);
    });
    connect(&m_dm, &Tdm::statusLine, this, [this](const QByteArray &line) {
        printLine("status " + OneLine(FromStation(line)));
    });
    m_input.setEnabled(false);
    connect(&m_input, &QSocketNotifier::activated, this, [this] { readInput(); });
}

void HeadlessConsole::start()
{
    printLine("ready " + FromStation(m_dm.computerName()) + ' '
              + QByteArray::number(m_dm.listeningPort()));
    m_input.setEnabled(true);
}

void HeadlessConsole::readInput()
{
    char buffer[4096];
    ssize_t n = 0;
    do {
        n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        m_input.setEnabled(false);
        if (!m_pending.isEmpty())
            execute(std::exchange(m_pending, {}));
        QCoreApplication::quit();
        return;
    }
    m_pending.append(buffer, n);
    qsizetype end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        execute(line.endsWith('\r') ? line.chopped(1) : line);
    }
}

void HeadlessConsole::execute(const QByteArray &line)
{
    const QList<QByteArray> words = line.split(' ');
    const QByteArray &command = words.value(0);
    const auto rest = [&](int from) {
        return words.mid(from).join(' ');
    };
    if (command == "send" && words.size() >= 2) {
        m_dm.QueueMessage(ToStation(words[1]), ToStation(words[1]), ToStation(rest(2)));
    } else if (command == "sendto" && words.size() >= 3) {
        m_dm.QueueMessage(ToStation(words[1]), ToStation(words[2]), ToStation(rest(3)));
    } else if (command == "tables") {
        printTables();
    } else if (command == "queue") {
        printLine("queue " + QByteArray::number(qsizetype(m_dm.outboundQueue().size())));
    } else if (command == "quit") {
        QCoreApplication::quit();
    } else if (!line.trimmed().isEmpty()) {
        printLine("unknown command: " + line);
    }
}

void HeadlessConsole::printTables()
{
    for (const HistoryTable *table : {&m_dm.tIn(), &m_dm.tOut()}) {
        const QByteArray name = table == &m_dm.tIn() ? "in" : "out";
        for (int i = 0; i < table->count(); ++i) {
            const HistoryRow &row = table->row(i);
            printLine(name + ' ' + QByteArray::number(row.ID) + ' ' + QByteArray::number(row.FLAG)
                      + ' ' + FromStation(row.lFLAG) + ' ' + OneLine(FromStation(row.FROM)) + '|'
                      + OneLine(FromStation(row.MSG)));
        }
    }
    printLine("end tables");
}

void HeadlessConsole::printEvent(int code,
                                 const MessageListView &list,
                                 const TMessageQueueItem &entry)
{
    printLine("event " + QByteArray::number(code) + ' ' + QByteArray::number(list.indexOf(entry))
              + ' ' + FromStation(entry.Key));
}

void HeadlessConsole::printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, std::size_t(line.size()), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}
