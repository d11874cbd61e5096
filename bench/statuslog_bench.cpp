#include "core/udm.h"
#include "headless/printedboxes.h"
#include "platform/codepage.h"
#include "platform/messageboxes.h"
#include "tools/loopback.h"
#include "tools/udppeer.h"
#include "ui/fmMain.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

// What the station window's status log costs. The log keeps its latest lines only, so a flood
// of new messages, each of which adds a line, must not make the station grow once the log is
// full. Measured on the real window under the offscreen platform: the resident memory that
// appending many lines adds and the time one line costs, early and late; then the resident
// memory before and after a flood of distinct new messages over the loopback, and how many
// lines it added. The station's port is fixed, so everything runs in a network namespace of
// this process's own.

namespace {

constexpr int kDefaultLines = 100000;
constexpr int kBatch = 1000;
constexpr int kFloodMs = 30000;
// The station listens away from the protocol port, so that the flooder can hold that port and
// the confirmations go to it instead of back into the station.
constexpr quint16 kBenchStationPort = 40000;
constexpr quint16 kProtocolPort = 34888;

// This process's resident set in bytes, or -1.
long long ResidentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

void LetWindowCatchUp()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

struct AppendFigures
{
    long long growth = 0;           // resident bytes the lines added
    double firstLinesPerSecond = 0; // over the first tenth of the lines
    double lastLinesPerSecond = 0;  // over the last tenth
};

// Appends count lines the way the window adds them, letting it lay out and paint after each
// batch as its event loop would.
AppendFigures AppendLines(TfMain &window, const QByteArray &line, int count)
{
    LetWindowCatchUp();
    const long long before = ResidentBytes();
    const int batches = count / kBatch;
    const int tenth = std::max(batches / 10, 1);
    qint64 firstNs = 0;
    qint64 lastNs = 0;
    for (int batch = 0; batch < batches; ++batch) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kBatch; ++i)
            window.addStatusLine(line);
        window.showPendingChanges(); // what the next frame would append
        LetWindowCatchUp();
        if (batch < tenth)
            firstNs += timer.nsecsElapsed();
        if (batch >= batches - tenth)
            lastNs += timer.nsecsElapsed();
    }
    AppendFigures figures;
    figures.growth = ResidentBytes() - before;
    figures.firstLinesPerSecond = tenth * kBatch * 1e9 / double(std::max<qint64>(firstNs, 1));
    figures.lastLinesPerSecond = tenth * kBatch * 1e9 / double(std::max<qint64>(lastNs, 1));
    return figures;
}

// Sends distinct well-formed messages to the station as fast as it can until stopped.
class Flooder
{
public:
    // The confirmations come to the protocol port, only to be absorbed: once its buffer is
    // full they are dropped.
    Flooder()
        : m_confirmations("127.0.0.1", kProtocolPort)
    {}
    ~Flooder() { stop(); }
    Flooder(const Flooder &) = delete;
    Flooder &operator=(const Flooder &) = delete;

    bool ok() const { return m_confirmations.bound() && m_sending.fd() >= 0; }

    void start()
    {
        m_thread = std::thread([this] {
            while (!m_stop.load(std::memory_order_relaxed)) {
                const std::string datagram = "=FLOOD~" + std::to_string(++m_sent)
                                             + "|Flood|Zpr\xe1va b\xechem z\xe1plavy";
                // A full socket buffer at the station drops the datagram; the flood goes on.
                m_sending.sendTo("127.0.0.1", kBenchStationPort, datagram);
            }
        });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    unsigned long long sent() const { return m_sent; }

private:
    UdpPeer m_sending;
    UdpPeer m_confirmations;
    std::atomic<bool> m_stop{false};
    unsigned long long m_sent = 0;
    std::thread m_thread;
};

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int lines = kDefaultLines;
    if (argc > 1)
        lines = std::max(kBatch, std::atoi(argv[1]) / kBatch * kBatch);

    // Before any thread exists, so that every thread of the process lives in the namespace.
    if (::unshare(CLONE_NEWNET) != 0) {
        std::printf("bench_statuslog: cannot create a private network namespace (%s; it needs "
                    "root): nothing measured.\n",
                    std::strerror(errno));
        return 0;
    }
    if (!BringLoopbackUp()) {
        std::printf("bench_statuslog: cannot bring lo up in the private network namespace "
                    "(%s): nothing measured.\n",
                    std::strerror(errno));
        return 0;
    }

    QTemporaryDir configDir;
    QTemporaryDir workDir; // the address book is read from the current directory
    if (!configDir.isValid() || !workDir.isValid()) {
        std::fprintf(stderr, "bench_statuslog: no temporary directory\n");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", configDir.path().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QDir::setCurrent(workDir.path());
    {
        QFile ini(configDir.filePath(QStringLiteral("veltrin.ini")));
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::fprintf(stderr, "bench_statuslog: cannot write the settings file\n");
            return 1;
        }
        ini.write("[TCPIP]\r\nPORT=" + QByteArray::number(kBenchStationPort)
                  + "\r\nIDENT=Bench\r\n");
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    PrintedBoxes boxes;
    Tdm dm(boxes, [] { return QByteArray("BENCH"); });
    if (!dm.started()) {
        std::fprintf(stderr, "bench_statuslog: the station did not start\n");
        return 1;
    }
    TfMain window(dm, nullptr, TfMain::Tray::Unavailable);
    window.show();
    LetWindowCatchUp();

    std::printf("bench_statuslog: the status log of the station window, offscreen, %d lines "
                "per run\n",
                lines);
    // The line a new message adds, its sender's ident at its longest.
    const QByteArray line
            = EncodeWindows1250(QStringLiteral("Nov\u00e1 zpr\u00e1va od ")) + QByteArray(32, 'X');
    const AppendFigures figures = AppendLines(window, line, lines);
    std::printf("  %d lines of %lld characters: resident memory %+.1f MiB, the log holding %d; "
                "%.0f lines per s appended over the first tenth, %.0f over the last\n",
                lines,
                static_cast<long long>(line.size()),
                double(figures.growth) / (1024.0 * 1024.0),
                window.statusLog()->blockCount(),
                figures.firstLinesPerSecond,
                figures.lastLinesPerSecond);

    // A flood of distinct messages through the real core and window.
    Flooder flooder;
    if (!flooder.ok()) {
        std::fprintf(
                stderr, "bench_statuslog: cannot set up the flooder: %s\n", std::strerror(errno));
        return 1;
    }
    long long announced = 0;
    QObject::connect(&dm, &Tdm::messageReceived, [&announced] { ++announced; });
    window.showPendingChanges();
    LetWindowCatchUp();
    const long long residentBefore = ResidentBytes();
    QElapsedTimer elapsed;
    elapsed.start();
    flooder.start();
    QEventLoop loop;
    QTimer::singleShot(kFloodMs, &loop, &QEventLoop::quit);
    loop.exec();
    flooder.stop();
    LetWindowCatchUp();
    window.showPendingChanges();
    const double seconds = double(elapsed.nsecsElapsed()) / 1e9;
    const long long residentAfter = ResidentBytes();
    std::printf("  flood of distinct messages for %.1f s: %llu sent, %lld new messages announced "
                "(%.0f per s); resident memory %.1f MiB before, %.1f MiB after (%+.1f MiB), the "
                "log holding %d lines\n",
                seconds,
                flooder.sent(),
                announced,
                double(announced) / seconds,
                double(residentBefore) / (1024.0 * 1024.0),
                double(residentAfter) / (1024.0 * 1024.0),
                double(residentAfter - residentBefore) / (1024.0 * 1024.0),
                window.statusLog()->blockCount());
    return 0;
}
