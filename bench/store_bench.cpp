#include "core/store/messagestore.h"
#include "platform/codepage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

// What the message store costs the station. add() sits between a message's arrival and its
// confirmation, so its time per call counts most: measured while the store fills up to the
// archive's size, with the deferred pass running on the event loop between bursts as it does in
// the station, and again on the full store. Then the archive's first page over all of it, with
// and without a search, and a page deep down. The file lives in a temporary directory on the
// same disk as the system's temporary files.

namespace {

constexpr int kDefaultMessages = 100000;
// Messages a burst stores before the event loop runs again, as a flood would bring them.
constexpr int kBurst = 50;
constexpr int kLaterAdds = 10000;

const char *const kWords[] = {"ahoj",    "zpráva",     "přijatá", "odeslaná", "sklad",    "účetní",
                              "porada",  "zítra",      "ráno",    "oběd",     "tiskárna", "papír",
                              "faktura", "objednávka", "dodávka", "šéf",      "kancelář", "prosím",
                              "děkuji",  "hotovo",     "chyba",   "server",   "síť",      "heslo"};

const QByteArray kSentLabel("Odeslan\xE1");

StoredMessage Message(int number)
{
    StoredMessage message;
    message.box = number % 3 == 0 ? HistoryKind::Sent : HistoryKind::Received;
    message.row.ID = number;
    message.row.FLAG = number % 5 == 0 ? 0 : 8;
    message.row.DATUM = QDateTime::currentDateTime();
    message.row.FROM = "Jan Nov\xE1k <PC" + QByteArray::number(number % 40) + '>';
    QString text;
    for (int i = 0; i < 12; ++i) {
        text += QString::fromUtf8(kWords[(number * 7 + i * 13) % std::size(kWords)]);
        text += u' ';
    }
    // Every message distinct, as a flood's are.
    text += QString::number(number);
    message.row.MSG = EncodeWindows1250(text);
    message.row.lFLAG = "P\xF8"
                        "e\xE8ten\xE1";
    message.key = "=PC7~" + QByteArray::number(number);
    message.host = "192.168.1." + QByteArray::number(number % 250);
    message.ident = "Recepce";
    message.storedAtMs = QDateTime::currentMSecsSinceEpoch();
    return message;
}

struct Figures
{
    double meanUs = 0;
    double medianUs = 0;
    double p99Us = 0;
    double worstUs = 0;
};

Figures Summary(std::vector<qint64> ns)
{
    Figures figures;
    if (ns.empty())
        return figures;
    std::sort(ns.begin(), ns.end());
    double sum = 0;
    for (const qint64 value : ns)
        sum += double(value);
    figures.meanUs = sum / double(ns.size()) / 1000.0;
    figures.medianUs = double(ns[ns.size() / 2]) / 1000.0;
    figures.p99Us = double(ns[ns.size() * 99 / 100]) / 1000.0;
    figures.worstUs = double(ns.back()) / 1000.0;
    return figures;
}

void PrintAdds(const char *what, const std::vector<qint64> &ns)
{
    const Figures f = Summary(ns);
    std::printf("%-34s %9.2f %9.2f %9.2f %9.1f\n", what, f.meanUs, f.medianUs, f.p99Us, f.worstUs);
}

// Adds count messages from first on in bursts, the event loop running between them; the time
// of each add() alone.
std::vector<qint64> AddInBursts(MessageStore &store, int first, int count)
{
    std::vector<qint64> ns;
    ns.reserve(static_cast<std::size_t>(count));
    int next = first;
    const int end = first + count;
    QTimer burst;
    QObject::connect(&burst, &QTimer::timeout, [&] {
        QElapsedTimer timer;
        for (int i = 0; i < kBurst && next < end; ++i, ++next) {
            const StoredMessage message = Message(next);
            timer.start();
            const bool added = store.add(message);
            ns.push_back(timer.nsecsElapsed());
            if (!added) {
                std::fprintf(stderr, "bench_store: add() failed at message %d\n", next);
                std::exit(1);
            }
        }
        if (next >= end)
            QCoreApplication::quit();
    });
    // Between bursts the deferred pass has its few milliseconds, as it would between floods.
    burst.start(1);
    QCoreApplication::exec();
    return ns;
}

double PageMs(MessageStore &store, const QString &search, int offset, std::size_t *rows)
{
    QElapsedTimer timer;
    timer.start();
    *rows = store.archivePage(search, offset, 200).size();
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int messages = argc > 1 ? std::atoi(argv[1]) : kDefaultMessages;
    QTemporaryDir directory;
    if (!directory.isValid()) {
        std::fprintf(stderr, "bench_store: no temporary directory\n");
        return 1;
    }
    MessageStore store;
    // Above what is stored here, so that the figures are of adding, not of trimming.
    const MessageStore::OpenResult opened
            = store.open(directory.filePath(QStringLiteral("messages.db")),
                         {messages * 2 + kLaterAdds * 4, 3650});
    if (!opened.opened) {
        std::fprintf(stderr,
                     "bench_store: %s\n",
                     DecodeWindows1250(opened.problem).toLocal8Bit().constData());
        return 1;
    }

    std::printf("%-34s %9s %9s %9s %9s\n", "add() in µs", "mean", "median", "p99", "worst");
    PrintAdds("filling up", AddInBursts(store, 1, messages));
    QElapsedTimer timer;
    timer.start();
    store.updateIndex();
    const double catchUpMs = double(timer.nsecsElapsed()) / 1e6;
    char label[64];
    std::snprintf(label, sizeof label, "on %d messages", messages);
    PrintAdds(label, AddInBursts(store, messages + 1, kLaterAdds));

    // The other calls a message's arrival or confirmation may make: a look for a repeated key
    // that is not there, and the flag of a sent message confirmed, each of the sent ones just
    // added in turn.
    std::vector<qint64> lookupNs;
    std::vector<qint64> flagNs;
    QElapsedTimer call;
    const qint64 hourAgo = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;
    for (int number = messages + 1; number <= messages + kLaterAdds; ++number) {
        const QByteArray key = "=PC8~" + QByteArray::number(number);
        call.start();
        const bool found = store.receivedByKey(key, hourAgo).has_value();
        lookupNs.push_back(call.nsecsElapsed());
        bool flagged = true;
        if (Message(number).box == HistoryKind::Sent) {
            call.start();
            flagged = store.setFlag(HistoryKind::Sent, number, 1, kSentLabel);
            flagNs.push_back(call.nsecsElapsed());
        }
        if (found || !flagged) {
            std::fprintf(stderr, "bench_store: unexpected lookup or flag at %d\n", number);
            return 1;
        }
        if (number % kBurst == 0)
            QCoreApplication::processEvents();
    }
    std::printf("%-34s %9s %9s %9s %9s\n", "other calls in µs", "mean", "median", "p99", "worst");
    PrintAdds("receivedByKey(), no such key", lookupNs);
    PrintAdds("setFlag() of a sent message", flagNs);

    // A backlog for the index, as a flood leaves it: stored without the event loop running.
    std::vector<qint64> backlogNs;
    QElapsedTimer each;
    for (int number = messages + kLaterAdds + 1; number <= messages + 2 * kLaterAdds; ++number) {
        const StoredMessage message = Message(number);
        each.start();
        store.add(message);
        backlogNs.push_back(each.nsecsElapsed());
    }
    PrintAdds("without the deferred pass", backlogNs);
    timer.restart();
    store.updateIndex();
    const double backlogMs = double(timer.nsecsElapsed()) / 1e6;

    std::printf("\n%-34s %9s %9s\n", "archive page of 200", "ms", "rows");
    std::size_t rows = 0;
    store.updateIndex();
    for (const auto &[what, search, offset] :
         {std::tuple{"newest, no search", QString(), 0},
          std::tuple{"newest, \"prij\"", QStringLiteral("prij"), 0},
          std::tuple{"newest, \"šéf porada\"", QStringLiteral("šéf porada"), 0},
          std::tuple{"newest, one number", QString::number(messages / 2), 0},
          std::tuple{"newest, \"p\"", QStringLiteral("p"), 0},
          std::tuple{"newest, \"po\"", QStringLiteral("po"), 0},
          std::tuple{"offset 50000, no search", QString(), 50000},
          std::tuple{"offset 50000, \"prij\"", QStringLiteral("prij"), 50000}}) {
        const double ms = PageMs(store, search, offset, &rows);
        std::printf("%-34s %9.2f %9zu\n", what, ms, rows);
    }
    // The trim a flood meets once the store is full, with no age limit to read every message
    // for; then that reading alone, which finds nothing to drop.
    const qint64 before = store.messageCount();
    store.setLimits({before - 1, 0});
    timer.restart();
    store.trim();
    const double trimMs = double(timer.nsecsElapsed()) / 1e6;
    const qint64 trimmed = before - store.messageCount();
    store.setLimits({before, 3650});
    timer.restart();
    store.trim();
    const double ageMs = double(timer.nsecsElapsed()) / 1e6;

    std::printf("\nindex caught up after filling in %.1f ms\n", catchUpMs);
    std::printf("trim of %lld messages: %.1f ms; the age limit over all: %.1f ms\n",
                static_cast<long long>(trimmed),
                trimMs,
                ageMs);
    std::printf("index of a backlog of %d messages: %.1f ms, %.1f µs a message\n",
                kLaterAdds,
                backlogMs,
                backlogMs * 1000.0 / kLaterAdds);
    std::printf("file: %.1f MB for %lld messages\n",
                double(QFileInfo(store.fileName()).size()) / 1e6,
                static_cast<long long>(store.messageCount()));
    return 0;
}
