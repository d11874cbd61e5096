#include "archivemessages.h"
#include "core/store/archivemodel.h"
#include "core/store/messagestore.h"
#include "core/udm.h"
#include "headless/printedboxes.h"
#include "platform/codepage.h"
#include "tools/loopback.h"
#include "tools/udppeer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

// What the message store costs the station. add() sits between a message's arrival and its
// confirmation, so its time per call counts most: measured while the store fills up to the
// archive's size, with the deferred pass running on the event loop between bursts as it does in
// the station, and again on the full store. Then the archive's first page over all of it, with
// and without a search, and a page deep down, both from the store and through the archive
// window's model. Last, the file's size while a peer floods a real station, in a network
// namespace of this process's own, with a bound on the messages kept. The files live in
// temporary directories on the same disk as the system's temporary files.

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDefaultMessages = 100000;
constexpr int kLaterAdds = 10000;
constexpr int kModelRepeats = 5;

// The flood: as many distinct messages as the station confirms, at most kWindow unconfirmed, for
// kFloodTime, into a station that keeps kFloodKeepMax.
constexpr quint16 kFloodStationPort = 40000;
constexpr int kWindow = 32;
constexpr auto kFloodTime = 30s;
constexpr auto kFloodMark = 10s;
constexpr auto kLossTimeout = 200ms;
constexpr int kFloodKeepMax = 20000;
constexpr int kPeerBufferBytes = 8 * 1024 * 1024;

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

void PrintAdds(const std::string &what, const std::vector<qint64> &ns)
{
    const Figures f = Summary(ns);
    std::printf("%-34s %9.2f %9.2f %9.2f %9.1f\n",
                what.c_str(),
                f.meanUs,
                f.medianUs,
                f.p99Us,
                f.worstUs);
}

// printf pads by bytes; the labels with diacritics are padded by characters.
std::string Padded(const std::string &label, int width)
{
    const int characters = int(QString::fromStdString(label).size());
    return label + std::string(std::size_t(std::max(0, width - characters)), ' ');
}

double Ms(qint64 ns)
{
    return double(ns) / 1e6;
}

struct PageFigure
{
    const char *what;
    double ms;
    std::size_t rows;
};

std::vector<PageFigure> ArchivePages(MessageStore &store, int messages)
{
    std::vector<PageFigure> figures;
    for (const auto &[what, search, offset] :
         {std::tuple{"newest, no search", QString(), 0},
          std::tuple{"newest, \"prij\"", QStringLiteral("prij"), 0},
          std::tuple{"newest, \"šéf porada\"", QStringLiteral("šéf porada"), 0},
          std::tuple{"newest, one number", QString::number(messages / 2), 0},
          std::tuple{"newest, \"p\"", QStringLiteral("p"), 0},
          std::tuple{"newest, \"po\"", QStringLiteral("po"), 0},
          std::tuple{"offset 50000, no search", QString(), 50000},
          std::tuple{"offset 800, \"prij\"", QStringLiteral("prij"), 800}}) {
        QElapsedTimer timer;
        timer.start();
        const std::size_t rows = store.archivePage(search, offset, 200).size();
        figures.push_back({what, Ms(timer.nsecsElapsed()), rows});
    }
    return figures;
}

// Until the model has its first rows, or knows it has none, asking for pages as a view that
// shows it does.
void AwaitFirstRows(ArchiveModel &model)
{
    while (model.rowCount() == 0 && model.canFetchMore({}))
        model.fetchMore({});
}

struct ModelFigure
{
    std::string what;
    double medianMs = 0;
    double worstMs = 0;
    int rows = 0;
};

ModelFigure ModelTimes(const std::string &what, const std::function<int()> &open)
{
    std::vector<qint64> ns;
    int rows = 0;
    for (int i = 0; i < kModelRepeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        rows = open();
        ns.push_back(timer.nsecsElapsed());
    }
    std::sort(ns.begin(), ns.end());
    return {what, Ms(ns[ns.size() / 2]), Ms(ns.back()), rows};
}

// From a model made over the store, and from a search typed into it, to the first rows shown.
std::vector<ModelFigure> ArchiveModelTimes(MessageStore &store)
{
    std::vector<ModelFigure> figures;
    figures.push_back(ModelTimes("model made, no search", [&] {
        ArchiveModel model(store);
        AwaitFirstRows(model);
        return model.rowCount();
    }));
    ArchiveModel model(store);
    AwaitFirstRows(model);
    for (const QString &search : {QString::fromUtf16(kRareSearch),
                                  QStringLiteral("přijatá"),
                                  QString::fromUtf16(kAbsentSearch),
                                  QString()}) {
        const std::string label = search.isEmpty() ? std::string("search cleared")
                                                   : "search \"" + search.toStdString() + "\"";
        figures.push_back(ModelTimes(label, [&] {
            model.setSearch(search);
            AwaitFirstRows(model);
            return model.rowCount();
        }));
        // The next search starts from the whole list again, as the user's next word would.
        model.setSearch(QString());
        AwaitFirstRows(model);
    }
    return figures;
}

// Runs the peer's work on a thread of its own while this thread runs the event loop, which is
// where the station's handling happens.
template<typename Work>
auto WithEventLoop(Work work)
{
    QEventLoop loop;
    decltype(work()) result{};
    std::thread peer([&] {
        result = work();
        QMetaObject::invokeMethod(
                &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    peer.join();
    return result;
}

qint64 FileBytes(const QString &path)
{
    std::error_code error;
    const auto bytes = std::filesystem::file_size(path.toStdString(), error);
    return error ? -1 : qint64(bytes);
}

struct FloodMark
{
    double seconds = 0;
    qint64 confirmed = 0;
    qint64 dbBytes = -1;
    qint64 walBytes = -1;
};

struct FloodResult
{
    bool bound = false;
    qint64 sent = 0;
    qint64 confirmed = 0;
    qint64 lost = 0;
    std::vector<FloodMark> marks;
};

// The partner: holds the protocol port on 127.0.0.1 and sends distinct messages, each a new key
// and a new text, as fast as the station confirms them; the store file's size at every mark.
FloodResult Flood(quint16 port, const QString &storePath)
{
    FloodResult result;
    UdpPeer socket("127.0.0.1", kStationPort);
    result.bound = socket.bound();
    if (!result.bound)
        return result;
    socket.setReceiveBuffer(kPeerBufferBytes);
    const QString walPath = storePath + QStringLiteral("-wal");
    const QByteArray ident = EncodeWindows1250(u"Jan Novák");

    struct Pending
    {
        qint64 key;
        Clock::time_point sentAt;
        bool confirmed;
    };
    std::deque<Pending> pending;
    int inFlight = 0;
    qint64 nextKey = 1;
    const Clock::time_point start = Clock::now();
    auto nextMark = start + kFloodMark;
    char buffer[2048];
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= nextMark) {
            result.marks.push_back({std::chrono::duration<double>(now - start).count(),
                                    result.confirmed,
                                    FileBytes(storePath),
                                    FileBytes(walPath)});
            nextMark += kFloodMark;
        }
        const bool sending = now - start < kFloodTime;
        while (sending && inFlight < kWindow) {
            const qint64 key = nextKey++;
            socket.sendTo("127.0.0.1",
                          port,
                          "=PEER~" + QByteArray::number(key) + '|' + ident + '|'
                                  + ArchiveText(int(key)));
            pending.push_back({key, Clock::now(), false});
            ++inFlight;
            ++result.sent;
        }
        // A message unconfirmed for long is written off, or one lost datagram would shrink
        // the window for the rest of the run.
        while (!pending.empty()
               && (pending.front().confirmed || now - pending.front().sentAt >= kLossTimeout)) {
            if (!pending.front().confirmed) {
                --inFlight;
                ++result.lost;
            }
            pending.pop_front();
        }
        if (!sending && inFlight == 0)
            break;
        const qsizetype n = socket.receive(buffer, sizeof buffer - 1, 20);
        if (n < 0)
            continue;
        buffer[n] = '\0';
        constexpr char kPrefix[] = "#PEER~";
        if (std::strncmp(buffer, kPrefix, sizeof kPrefix - 1) != 0)
            continue;
        const qint64 key = std::strtoll(buffer + sizeof kPrefix - 1, nullptr, 10);
        for (Pending &entry : pending) {
            if (entry.key == key && !entry.confirmed) {
                entry.confirmed = true;
                --inFlight;
                ++result.confirmed;
                break;
            }
        }
    }
    return result;
}

std::string MiB(qint64 bytes)
{
    if (bytes < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", double(bytes) / (1024.0 * 1024.0));
    return text;
}

constexpr char kFloodRow[] = "%-34s %10s %10s %10s %10s\n";

void PrintFloodRow(const std::string &when,
                   const std::string &confirmed,
                   qint64 dbBytes,
                   qint64 walBytes)
{
    const qint64 total = dbBytes < 0 ? -1 : dbBytes + std::max<qint64>(walBytes, 0);
    std::printf(kFloodRow,
                when.c_str(),
                confirmed.c_str(),
                MiB(dbBytes).c_str(),
                MiB(walBytes).c_str(),
                MiB(total).c_str());
}

// A real station, as the headless one runs it, with KEEPMAX in its settings file, flooded for
// kFloodTime; then its store opened again once it is gone. Gives the exit code.
int MeasureFlood(bool inNamespace)
{
    std::printf("\nA station keeping %d messages, flooded for %lld s with distinct messages, at "
                "most %d unconfirmed:\n",
                kFloodKeepMax,
                static_cast<long long>(std::chrono::seconds(kFloodTime).count()),
                kWindow);
    if (!inNamespace) {
        std::printf("not measured: no private network namespace (it needs root), and the "
                    "station's confirmations go to a fixed port.\n");
        return 0;
    }
    QTemporaryDir directory;
    if (!directory.isValid()) {
        std::fprintf(stderr, "bench_store: no temporary directory for the flood\n");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", directory.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", directory.path().toLocal8Bit());
    {
        QFile ini(directory.filePath(QStringLiteral("veltrin.ini")));
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::fprintf(stderr, "bench_store: cannot write the settings file\n");
            return 1;
        }
        ini.write("[DATABASE]\r\nKEEPMAX=" + QByteArray::number(kFloodKeepMax) + "\r\n");
    }
    PrintedBoxes boxes;
    StationPorts ports;
    ports.listen = kFloodStationPort;
    auto dm = std::make_unique<Tdm>(
            boxes, [] { return QByteArray("BENCH"); }, nullptr, ports);
    if (!dm->started() || !dm->store().isOpen()) {
        std::fprintf(stderr, "bench_store: the station did not start with its store\n");
        return 1;
    }
    const QString storePath = dm->store().fileName();
    const FloodResult flood = WithEventLoop([&] { return Flood(kFloodStationPort, storePath); });
    if (!flood.bound) {
        std::fprintf(stderr, "bench_store: cannot bind 127.0.0.1:%u\n", kStationPort);
        return 1;
    }
    const qint64 keptByStation = dm->store().messageCount();
    dm.reset();
    const qint64 dbClosed = FileBytes(storePath);
    const qint64 walClosed = FileBytes(storePath + QStringLiteral("-wal"));
    MessageStore reopened;
    reopened.open(storePath, {kFloodKeepMax, 365});
    const qint64 keptInFile = reopened.isOpen() ? reopened.messageCount() : -1;
    reopened.close();

    const double seconds = std::chrono::duration<double>(kFloodTime).count();
    std::printf("confirmed %lld of %lld sent (%lld written off), %.0f a second\n",
                static_cast<long long>(flood.confirmed),
                static_cast<long long>(flood.sent),
                static_cast<long long>(flood.lost),
                double(flood.confirmed) / seconds);
    std::printf("messages in the store at the end: %lld (its own count), %lld (the file opened "
                "again after the station ended)\n\n",
                static_cast<long long>(keptByStation),
                static_cast<long long>(keptInFile));
    std::printf(kFloodRow, "file size, MiB", "confirmed", ".db", "-wal", "sum");
    for (const FloodMark &mark : flood.marks) {
        char when[32];
        std::snprintf(when, sizeof when, "after %.0f s", mark.seconds);
        PrintFloodRow(when, std::to_string(mark.confirmed), mark.dbBytes, mark.walBytes);
    }
    PrintFloodRow("the station ended", std::to_string(flood.confirmed), dbClosed, walClosed);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Before any thread exists, so that every thread of the process lives in the namespace.
    const bool inNamespace = ::unshare(CLONE_NEWNET) == 0 && BringLoopbackUp();
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

    std::printf("%s %9s %9s %9s %9s\n",
                Padded("add() in µs", 34).c_str(),
                "mean",
                "median",
                "p99",
                "worst");
    const std::vector<qint64> fillNs = AddInBursts(store, 1, messages, 250 * 1000);
    if (int(fillNs.size()) != messages) {
        std::fprintf(stderr, "bench_store: add() failed at message %zu\n", fillNs.size() + 1);
        return 1;
    }
    PrintAdds("filling up", fillNs);
    QElapsedTimer timer;
    timer.start();
    store.updateIndex();
    const double catchUpMs = Ms(timer.nsecsElapsed());

    // Over exactly the archive's size, before anything more is added.
    store.updateIndex();
    const std::vector<PageFigure> pages = ArchivePages(store, messages);
    const std::vector<ModelFigure> models = ArchiveModelTimes(store);

    PrintAdds("on " + std::to_string(messages) + " messages",
              AddInBursts(store, messages + 1, kLaterAdds));

    // A backlog for the index, as a flood leaves it: stored without the event loop running.
    std::vector<qint64> backlogNs;
    QElapsedTimer each;
    const QDateTime now = QDateTime::currentDateTime();
    for (int number = messages + kLaterAdds + 1; number <= messages + 2 * kLaterAdds; ++number) {
        const StoredMessage message = ArchiveMessage(number, now);
        each.start();
        store.add(message);
        backlogNs.push_back(each.nsecsElapsed());
    }
    PrintAdds("without the deferred pass", backlogNs);
    timer.restart();
    store.updateIndex();
    const double backlogMs = Ms(timer.nsecsElapsed());

    std::printf("\n%-34s %9s %9s\n", "archive page of 200", "ms", "rows");
    for (const PageFigure &page : pages)
        std::printf("%s %9.2f %9zu\n", Padded(page.what, 34).c_str(), page.ms, page.rows);
    std::printf(
            "\n%-34s %9s %9s %9s\n", "archive model to its first rows", "median", "worst", "rows");
    for (const ModelFigure &model : models)
        std::printf("%s %9.2f %9.2f %9d\n",
                    Padded(model.what, 34).c_str(),
                    model.medianMs,
                    model.worstMs,
                    model.rows);
    std::printf("(ms over %d messages, %d times each; \"%s\" is in 1 of %d texts, as \"přijatá\", "
                "and \"%s\" in none)\n",
                messages,
                kModelRepeats,
                QString::fromUtf16(kRareSearch).toUtf8().constData(),
                kRareWordEvery,
                QString::fromUtf16(kAbsentSearch).toUtf8().constData());

    std::printf("\nindex caught up after filling in %.1f ms\n", catchUpMs);
    std::printf("index of a backlog of %d messages: %.1f ms, %.1f µs a message\n",
                kLaterAdds,
                backlogMs,
                backlogMs * 1000.0 / kLaterAdds);
    std::printf("file: %.1f MB for %lld messages\n",
                double(QFileInfo(store.fileName()).size()) / 1e6,
                static_cast<long long>(store.messageCount()));
    store.close();

    return MeasureFlood(inNamespace);
}
