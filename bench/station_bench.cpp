#include "core/protocol.h"
#include "core/settings.h"
#include "core/transport/socketlayer.h"
#include "core/transport/udpclient.h"
#include "core/transport/udpserver.h"
#include "core/udm.h"
#include "headless/printedboxes.h"
#include "platform/messageboxes.h"
#include "tools/loopback.h"
#include "tools/udppeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

// The station handling a stream of inbound messages, its confirmation latency and the cost of
// one clock tick, each beside the floor that plain sockets give on the same loopback: the core
// in this process, as the headless station runs it, and the windowed station, the program
// users run, as a child process on the offscreen platform. Each of the two runs once more with
// STORE=0, so that what the message store costs shows beside it; every station starts with an
// empty store of its own. The station's port is fixed by the protocol, so everything runs in a
// network namespace of this process's own, where only "lo" exists, and the children inherit it.

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The station listens away from the protocol port so that the peer can hold that port: every
// confirmation goes to port 34888 of the sender's address.
constexpr quint16 kBenchStationPort = 40000;
constexpr quint16 kEchoPort = 40001;
constexpr quint16 kKeptSocketServerPort = 40002;
constexpr quint16 kFreshClientServerPort = 40003;
constexpr quint16 kWindowStationPort = 40004;
constexpr quint16 kNoStoreStationPort = 40005;
constexpr quint16 kNoStoreWindowPort = 40006;

// Bounds the unconfirmed messages, so the figure is handling speed and not socket-buffer
// overflow on either side.
constexpr int kWindow = 32;
constexpr int kFlowCount = 20000;
constexpr int kFlowRounds = 5;
constexpr int kWarmUpCount = 500;
constexpr auto kFlowLimit = std::chrono::milliseconds(3s);
constexpr auto kLossTimeout = 200ms;

constexpr int kLatencySamples = 2000;
constexpr auto kLatencyLimit = 8s;
constexpr auto kLatencyTimeout = 500ms;

constexpr int kTickSendSamples = 5; // an entry has seven repeats after its first attempt
constexpr int kTickRunOutGuard = 200;

constexpr int kSendBatch = 100;
constexpr int kSendBatches = 20;
constexpr int kPumpCalls = 20000;

constexpr int kPeerBufferBytes = 8 * 1024 * 1024;

// Distinct messages sent back to back, as fast as the peer's socket takes them; what is not
// confirmed once the confirmations have stopped coming for kBurstQuiet is lost.
constexpr int kBurstCount = 2000;
constexpr auto kBurstQuiet = 1s;
constexpr auto kBurstLimit = 60s;

constexpr auto kWindowStartLimit = 30s;

// What the store may cost a station: a share of its rate, and time added to its median.
constexpr double kStoreRateTarget = 0.85;
constexpr double kStoreMedianTargetUs = 20;

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double Median(const std::vector<double> &values)
{
    return Percentile(values, 0.5);
}

double Microseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::micro>(duration).count();
}

struct FlowResult
{
    int sent = 0;
    int confirmed = 0;
    int lost = 0;
    double seconds = 0;

    double rate() const { return seconds > 0 ? confirmed / seconds : 0; }

    FlowResult &operator+=(const FlowResult &other)
    {
        sent += other.sent;
        confirmed += other.confirmed;
        lost += other.lost;
        seconds += other.seconds;
        return *this;
    }
};

struct BurstResult
{
    int sent = 0;
    int confirmed = 0;
    double seconds = 0; // from the first send to the last confirmation
};

struct LatencyResult
{
    std::vector<double> microseconds;
    int lost = 0;

    double median() const { return Median(microseconds); }
    double p99() const { return Percentile(microseconds, 0.99); }
};

// The partner: holds the protocol port on 127.0.0.1, sends messages with keys never used before
// in this run, and counts the confirmations that come back.
class Peer
{
public:
    Peer()
        : m_socket("127.0.0.1", kStationPort)
    {
        // The tick figures send up to a thousand datagrams at once; none should be dropped.
        m_socket.setReceiveBuffer(kPeerBufferBytes);
    }

    bool bound() const { return m_socket.bound(); }

    FlowResult flow(quint16 port, int count, Clock::duration limit)
    {
        enum : char { Unsent, InFlight, Confirmed, WrittenOff };
        const int first = m_nextKey;
        m_nextKey += count;
        std::vector<char> state(std::size_t(count), Unsent);
        std::deque<std::pair<int, Clock::time_point>> inFlightOrder;

        FlowResult result;
        int inFlight = 0;
        int next = 0;
        const Clock::time_point start = Clock::now();
        Clock::time_point lastConfirmation = start;
        for (;;) {
            const Clock::time_point now = Clock::now();
            const bool sending = next < count && now - start < limit;
            while (sending && inFlight < kWindow && next < count) {
                m_socket.sendTo("127.0.0.1", port, messageDatagram(first + next));
                state[std::size_t(next)] = InFlight;
                inFlightOrder.emplace_back(next, Clock::now());
                ++next;
                ++inFlight;
                ++result.sent;
            }
            // A message unconfirmed for long is written off, or one lost datagram would shrink
            // the window for the rest of the run.
            while (!inFlightOrder.empty()) {
                const auto [index, sentAt] = inFlightOrder.front();
                if (state[std::size_t(index)] == InFlight) {
                    if (now - sentAt < kLossTimeout)
                        break;
                    state[std::size_t(index)] = WrittenOff;
                    --inFlight;
                    ++result.lost;
                }
                inFlightOrder.pop_front();
            }
            if (!sending && inFlight == 0)
                break;
            const std::optional<int> key = receive(20);
            if (!key)
                continue;
            const int index = *key - first;
            if (index < 0 || index >= count)
                continue;
            char &s = state[std::size_t(index)];
            if (s == InFlight) {
                --inFlight;
            } else if (s == WrittenOff) {
                --result.lost;
            } else {
                continue;
            }
            s = Confirmed;
            ++result.confirmed;
            lastConfirmation = Clock::now();
        }
        result.seconds = std::chrono::duration<double>(lastConfirmation - start).count();
        return result;
    }

    // One sample for each port in turn, so that a change in the machine's state (frequency,
    // where the threads run) weighs on every figure alike and not on one of them.
    std::vector<LatencyResult>
    latencies(const std::vector<quint16> &ports, int samples, Clock::duration limit)
    {
        std::vector<LatencyResult> results(ports.size());
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < samples && Clock::now() - start < limit; ++i) {
            for (std::size_t target = 0; target < ports.size(); ++target)
                sampleLatency(ports[target], results[target]);
        }
        return results;
    }

    BurstResult burst(quint16 port, int count)
    {
        const int first = m_nextKey;
        m_nextKey += count;
        std::vector<char> confirmed(std::size_t(count), 0);
        BurstResult result;
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < count; ++i)
            m_socket.sendTo("127.0.0.1", port, messageDatagram(first + i));
        result.sent = count;
        Clock::time_point last = Clock::now();
        while (result.confirmed < count && Clock::now() - last < kBurstQuiet
               && Clock::now() - start < kBurstLimit) {
            const std::optional<int> key = receive(50);
            if (!key)
                continue;
            const int index = *key - first;
            if (index < 0 || index >= count || confirmed[std::size_t(index)])
                continue;
            confirmed[std::size_t(index)] = 1;
            ++result.confirmed;
            last = Clock::now();
        }
        result.seconds = std::chrono::duration<double>(last - start).count();
        return result;
    }

    // Whether the station on port confirms a message within limit: it has come up.
    bool awaitStation(quint16 port, Clock::duration limit)
    {
        const Clock::time_point start = Clock::now();
        while (Clock::now() - start < limit) {
            if (flow(port, 1, 1ms).confirmed == 1)
                return true;
        }
        return false;
    }

    int drain()
    {
        int count = 0;
        char buffer[2048];
        while (m_socket.receive(buffer, sizeof buffer, 0) >= 0)
            ++count;
        return count;
    }

private:
    void sampleLatency(quint16 port, LatencyResult &result)
    {
        const int key = m_nextKey++;
        const Clock::time_point sentAt = Clock::now();
        m_socket.sendTo("127.0.0.1", port, messageDatagram(key));
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    kLatencyTimeout - (Clock::now() - sentAt));
            const std::optional<int> received
                    = left.count() > 0 ? receive(int(left.count())) : std::nullopt;
            if (!received) {
                ++result.lost;
                return;
            }
            if (*received == key) {
                result.microseconds.push_back(Microseconds(Clock::now() - sentAt));
                return;
            }
        }
    }

    static QByteArray messageDatagram(int key)
    {
        return "=PEER~" + QByteArray::number(key) + "|Bench|text";
    }

    // The key of the next confirmation, -1 for any other datagram, nothing when none came.
    std::optional<int> receive(int timeoutMs)
    {
        char buffer[2048];
        const qsizetype n = m_socket.receive(buffer, sizeof buffer - 1, timeoutMs);
        if (n < 0)
            return std::nullopt;
        buffer[n] = '\0';
        constexpr char kPrefix[] = "#PEER~";
        if (std::strncmp(buffer, kPrefix, sizeof kPrefix - 1) != 0)
            return -1;
        return int(std::strtol(buffer + sizeof kPrefix - 1, nullptr, 10));
    }

    UdpPeer m_socket;
    int m_nextKey = 1;
};

// The floor: a thread that reads each message on one bound socket and answers "#" + key from
// that same socket, with the same wait-then-read pattern as the station's listener.
class EchoLoop
{
public:
    explicit EchoLoop(quint16 port)
        : m_socket("127.0.0.1", port)
    {
        if (m_socket.bound())
            m_thread = std::thread([this] { run(); });
    }
    ~EchoLoop()
    {
        m_stopped = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    EchoLoop(const EchoLoop &) = delete;
    EchoLoop &operator=(const EchoLoop &) = delete;

    bool bound() const { return m_socket.bound(); }

private:
    // By hand rather than through the peer's calls: the floor is one poll, one recvfrom and one
    // sendto on one socket, and nothing else.
    void run()
    {
        const int fd = m_socket.fd();
        char buffer[UdpServer::kBufferSize];
        pollfd entry{fd, POLLIN, 0};
        while (!m_stopped) {
            entry.revents = 0;
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(
                    fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n < 1 || buffer[0] != '=')
                continue;
            const void *bar = std::memchr(buffer, '|', std::size_t(n));
            const std::size_t keyEnd
                    = bar ? std::size_t(static_cast<const char *>(bar) - buffer) : std::size_t(n);
            buffer[0] = '#';
            from.sin_port = htons(kStationPort);
            ::sendto(fd, buffer, keyEnd, 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
        }
    }

    UdpPeer m_socket;
    std::atomic<bool> m_stopped = false;
    std::thread m_thread;
};

// The station's transport with a handler that only confirms, parsing as the station does:
// beside the full station it shows what reading on the event loop costs on its own, and what a
// fresh socket per confirmation adds to it.
class ConfirmingServer
{
public:
    enum class Reply { KeptSocket, FreshClient };

    ConfirmingServer(quint16 port, Reply reply)
        : m_reply(reply)
        , m_socket(SocketLayer::openDatagramSocket())
    {
        m_server.setDefaultPort(port);
        QObject::connect(&m_server, &UdpServer::udpRead, &m_server, [this](auto &data, auto &from) {
            confirm(data, from);
        });
        m_server.setActive(true);
    }

private:
    void confirm(const QByteArray &data, const SocketBinding &binding)
    {
        const QByteArray text = DatagramText(data);
        if (KindOfDatagram(text) != DatagramKind::Message)
            return;
        const QByteArray confirmation = BuildConfirmationDatagram(ParseKey(text));
        if (m_reply == Reply::FreshClient) {
            UdpClient client;
            client.Send(binding.RemoteIP, kStationPort, confirmation);
            return;
        }
        const std::optional<IPv4Address> address
                = SocketLayer::ParseIPv4Literal(SocketLayer::ResolvePeerAddress(binding.RemoteIP));
        if (address)
            SocketLayer::sendTo(m_socket.fd(), *address, kStationPort, confirmation);
    }

    Reply m_reply;
    SocketHandle m_socket;
    UdpServer m_server;
};

// The windowed station as users run it, in a child process on the offscreen platform with
// settings of its own; it shares this process's network namespace. Ended with the bench, and
// by the kernel should the bench die first.
class WindowStation
{
public:
    explicit WindowStation(const QString &directory)
    {
        // Everything the child needs is made before the fork: after it, in a process with
        // threads, only async-signal-safe calls are allowed.
        std::vector<std::string> variables;
        for (char **entry = environ; *entry; ++entry) {
            const std::string variable = *entry;
            if (variable.rfind("QT_QPA_PLATFORM=", 0) != 0
                && variable.rfind("XDG_CONFIG_HOME=", 0) != 0
                && variable.rfind("XDG_DATA_HOME=", 0) != 0
                && variable.rfind("XDG_RUNTIME_DIR=", 0) != 0)
                variables.push_back(variable);
        }
        const std::string path = directory.toStdString();
        variables.push_back("QT_QPA_PLATFORM=offscreen");
        variables.push_back("XDG_CONFIG_HOME=" + path);
        variables.push_back("XDG_DATA_HOME=" + path);
        variables.push_back("XDG_RUNTIME_DIR=" + path);
        std::vector<char *> environment;
        for (std::string &variable : variables)
            environment.push_back(variable.data());
        environment.push_back(nullptr);
        char program[] = STATION_PATH;
        char *arguments[] = {program, nullptr};
        const pid_t parent = ::getpid();

        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, STDOUT_FILENO);
                ::dup2(null, STDERR_FILENO);
            }
            if (::chdir(path.c_str()) != 0)
                ::_exit(127);
            ::execve(program, arguments, environment.data());
            ::_exit(127);
        }
    }
    ~WindowStation()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    WindowStation(const WindowStation &) = delete;
    WindowStation &operator=(const WindowStation &) = delete;

    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

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

struct TickFigures
{
    double quietMs = 0;   // a tick in which no entry is due
    double sendingMs = 0; // a tick in which every entry is sent
};

// Queues entries messages, lets the first attempts go, then times the ticks that follow until
// enough ticks with sends were seen; afterwards lets the entries run out, given up.
TickFigures MeasureTicks(Tdm &dm, Peer &peer, int entries)
{
    for (int i = 0; i < entries; ++i)
        dm.QueueMessage("Peer", "127.0.0.1", "text");
    dm.timTimer();
    peer.drain();

    std::vector<double> quiet;
    std::vector<double> sending;
    for (int guard = 0; int(sending.size()) < kTickSendSamples && guard < kTickRunOutGuard;
         ++guard) {
        const bool due = (dm.sendTick() + 1) % 8 == 0;
        QElapsedTimer timer;
        timer.start();
        dm.timTimer();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        (due ? sending : quiet).push_back(ms);
        peer.drain();
    }
    for (int guard = 0; !dm.outboundQueue().empty() && guard < kTickRunOutGuard; ++guard) {
        dm.timTimer();
        peer.drain();
    }
    if (!dm.outboundQueue().empty())
        std::fprintf(stderr, "warning: %zu entries left in the queue\n", dm.outboundQueue().size());
    return {Median(quiet), Median(sending)};
}

// What sending the same datagrams costs through one socket kept open.
double MedianKeptSocketSendsMs(Peer &peer, int count)
{
    const UdpPeer kept;
    const QByteArray datagram = "=BENCH~1|Bench|text";
    std::vector<double> samples;
    for (int round = 0; round < kTickSendSamples; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i)
            kept.sendTo("127.0.0.1", kStationPort, datagram);
        samples.push_back(double(timer.nsecsElapsed()) / 1e6);
        peer.drain();
    }
    return Median(samples);
}

template<typename Send>
double MedianSendMicroseconds(Peer &peer, Send send)
{
    std::vector<double> samples;
    for (int batch = 0; batch < kSendBatches; ++batch) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kSendBatch; ++i)
            send();
        samples.push_back(double(timer.nsecsElapsed()) / 1e3 / kSendBatch);
        peer.drain();
    }
    return Median(samples);
}

std::string Format(double value, int decimals = 1)
{
    if (std::isnan(value))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double station, double baseline)
{
    if (std::isnan(station) || std::isnan(baseline) || baseline <= 0)
        return "-";
    return Format(station / baseline, 2);
}

std::string Verdict(bool met)
{
    return met ? "target met" : "missed";
}

void PrintRow(const std::string &figure,
              const std::string &station,
              const std::string &baseline,
              const std::string &ratio,
              const std::string &target = {})
{
    std::printf("%-40s %12s %12s %7s  %s\n",
                figure.c_str(),
                station.c_str(),
                baseline.c_str(),
                ratio.c_str(),
                target.c_str());
}

std::string Lost(const FlowResult &flow)
{
    return std::to_string(flow.lost) + "/" + std::to_string(flow.sent);
}

std::string Confirmed(const BurstResult &burst)
{
    return std::to_string(burst.confirmed) + "/" + std::to_string(burst.sent);
}

// The echo loop, the headless station and the window station in columns, with the stations'
// ratios to the echo loop, and the window station's targets.
void PrintSideBySide(const FlowResult &echoFlow,
                     const FlowResult &headlessFlow,
                     const FlowResult &windowFlow,
                     const LatencyResult &echoLatency,
                     const LatencyResult &headlessLatency,
                     const LatencyResult &windowLatency,
                     const std::vector<BurstResult> &bursts)
{
    const auto row = [](const std::string &figure,
                        const std::string &echo,
                        const std::string &headless,
                        const std::string &window,
                        const std::string &headlessRatio,
                        const std::string &windowRatio,
                        const std::string &target) {
        std::printf("%-30s %10s %10s %10s %8s %8s  %s\n",
                    figure.c_str(),
                    echo.c_str(),
                    headless.c_str(),
                    window.c_str(),
                    headlessRatio.c_str(),
                    windowRatio.c_str(),
                    target.c_str());
    };
    row("figure", "echo", "headless", "window", "hl/echo", "win/echo", "window target");
    row("confirmed/s, " + std::to_string(kWindow) + " in flight",
        Format(echoFlow.rate(), 0),
        Format(headlessFlow.rate(), 0),
        Format(windowFlow.rate(), 0),
        Ratio(headlessFlow.rate(), echoFlow.rate()),
        Ratio(windowFlow.rate(), echoFlow.rate()),
        ">= 0.05 x echo: "
                + Verdict(windowFlow.rate() >= 0.05 * echoFlow.rate() && echoFlow.confirmed > 0));
    row("  lost/sent", Lost(echoFlow), Lost(headlessFlow), Lost(windowFlow), "-", "-", "");
    row("latency median, us, 1 in flight",
        Format(echoLatency.median()),
        Format(headlessLatency.median()),
        Format(windowLatency.median()),
        Ratio(headlessLatency.median(), echoLatency.median()),
        Ratio(windowLatency.median(), echoLatency.median()),
        "<= 2 x echo: " + Verdict(windowLatency.median() <= 2 * echoLatency.median()));
    row("latency p99, us",
        Format(echoLatency.p99()),
        Format(headlessLatency.p99()),
        Format(windowLatency.p99()),
        Ratio(headlessLatency.p99(), echoLatency.p99()),
        Ratio(windowLatency.p99(), echoLatency.p99()),
        "");
    row("  samples lost",
        std::to_string(echoLatency.lost),
        std::to_string(headlessLatency.lost),
        std::to_string(windowLatency.lost),
        "-",
        "-",
        "");
    const BurstResult &echoBurst = bursts[0];
    const BurstResult &headlessBurst = bursts[1];
    const BurstResult &windowBurst = bursts[2];
    row("burst of " + std::to_string(kBurstCount) + ": confirmed/sent",
        Confirmed(echoBurst),
        Confirmed(headlessBurst),
        Confirmed(windowBurst),
        "-",
        "-",
        "all: " + Verdict(windowBurst.confirmed == windowBurst.sent));
    row("  burst handled in, ms",
        Format(echoBurst.seconds * 1000),
        Format(headlessBurst.seconds * 1000),
        Format(windowBurst.seconds * 1000),
        Ratio(headlessBurst.seconds, echoBurst.seconds),
        Ratio(windowBurst.seconds, echoBurst.seconds),
        "");
}

struct StationFigures
{
    FlowResult flow;
    LatencyResult latency;
    BurstResult burst;
};

std::string Difference(double value, double baseline)
{
    if (std::isnan(value) || std::isnan(baseline))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%+.1f", value - baseline);
    return text;
}

// Each station with its store and with STORE=0 in columns, with what the store costs it: the
// ratio of the rates and of the burst times, the difference of the latencies.
void PrintStoreOnOff(const StationFigures &headless,
                     const StationFigures &headlessNoStore,
                     const StationFigures &window,
                     const StationFigures &windowNoStore)
{
    const auto row = [](const std::string &figure,
                        const std::string &headlessOn,
                        const std::string &headlessOff,
                        const std::string &headlessCost,
                        const std::string &windowOn,
                        const std::string &windowOff,
                        const std::string &windowCost,
                        const std::string &target) {
        std::printf("%-30s %9s %9s %7s %9s %9s %7s  %s\n",
                    figure.c_str(),
                    headlessOn.c_str(),
                    headlessOff.c_str(),
                    headlessCost.c_str(),
                    windowOn.c_str(),
                    windowOff.c_str(),
                    windowCost.c_str(),
                    target.c_str());
    };
    const auto verdicts = [](bool headlessMet, bool windowMet) {
        return "hl " + Verdict(headlessMet) + ", win " + Verdict(windowMet);
    };
    const auto rateMet = [](const StationFigures &on, const StationFigures &off) {
        return off.flow.confirmed > 0 && on.flow.rate() >= kStoreRateTarget * off.flow.rate();
    };
    const auto medianMet = [](const StationFigures &on, const StationFigures &off) {
        return on.latency.median() <= off.latency.median() + kStoreMedianTargetUs;
    };
    const std::string rateVerdicts
            = verdicts(rateMet(headless, headlessNoStore), rateMet(window, windowNoStore));
    const std::string medianVerdicts
            = verdicts(medianMet(headless, headlessNoStore), medianMet(window, windowNoStore));
    row("figure", "hl store", "hl none", "on/off", "win store", "win none", "on/off", "target");
    row("confirmed/s, " + std::to_string(kWindow) + " in flight",
        Format(headless.flow.rate(), 0),
        Format(headlessNoStore.flow.rate(), 0),
        Ratio(headless.flow.rate(), headlessNoStore.flow.rate()),
        Format(window.flow.rate(), 0),
        Format(windowNoStore.flow.rate(), 0),
        Ratio(window.flow.rate(), windowNoStore.flow.rate()),
        ">= " + Format(kStoreRateTarget, 2) + " x none: " + rateVerdicts);
    row("  lost/sent",
        Lost(headless.flow),
        Lost(headlessNoStore.flow),
        "-",
        Lost(window.flow),
        Lost(windowNoStore.flow),
        "-",
        "");
    row("latency median, us, 1 in flight",
        Format(headless.latency.median()),
        Format(headlessNoStore.latency.median()),
        Difference(headless.latency.median(), headlessNoStore.latency.median()),
        Format(window.latency.median()),
        Format(windowNoStore.latency.median()),
        Difference(window.latency.median(), windowNoStore.latency.median()),
        "<= none + " + Format(kStoreMedianTargetUs, 0) + " us: " + medianVerdicts);
    row("latency p99, us",
        Format(headless.latency.p99()),
        Format(headlessNoStore.latency.p99()),
        Difference(headless.latency.p99(), headlessNoStore.latency.p99()),
        Format(window.latency.p99()),
        Format(windowNoStore.latency.p99()),
        Difference(window.latency.p99(), windowNoStore.latency.p99()),
        "");
    row("  samples lost",
        std::to_string(headless.latency.lost),
        std::to_string(headlessNoStore.latency.lost),
        "-",
        std::to_string(window.latency.lost),
        std::to_string(windowNoStore.latency.lost),
        "-",
        "");
    row("burst of " + std::to_string(kBurstCount) + ": confirmed/sent",
        Confirmed(headless.burst),
        Confirmed(headlessNoStore.burst),
        "-",
        Confirmed(window.burst),
        Confirmed(windowNoStore.burst),
        "-",
        "");
    row("  burst handled in, ms",
        Format(headless.burst.seconds * 1000),
        Format(headlessNoStore.burst.seconds * 1000),
        Ratio(headless.burst.seconds, headlessNoStore.burst.seconds),
        Format(window.burst.seconds * 1000),
        Format(windowNoStore.burst.seconds * 1000),
        Ratio(window.burst.seconds, windowNoStore.burst.seconds),
        "");
    std::printf("(on/off: ratio of the rates and of the burst times, difference of the latencies "
                "in us)\n");
}

// A settings file in directory for a station on port under ident, with or without its store.
bool WriteSettings(const QString &directory, quint16 port, const QByteArray &ident, bool store)
{
    QFile ini(QDir(directory).filePath(QStringLiteral("veltrin.ini")));
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray text = "[TCPIP]\r\nPORT=" + QByteArray::number(port) + "\r\nIDENT=" + ident;
    text += "\r\n";
    if (!store)
        text += "[DATABASE]\r\nSTORE=0\r\n";
    return ini.write(text) == text.size();
}

int UsableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0)
        return -1;
    return CPU_COUNT(&set);
}

// Every thread of the bench and of the window station on one core, the last this process may
// use; -1 when it could not be done. A wake-up from one core to another can cost several times
// a whole round trip on one (on a virtual machine, some 80 us against 16 us), and where the
// scheduler puts the peer and each target would then decide the ratios more than what the
// targets do.
int PinToOneCore()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0)
        return -1;
    int core = -1;
    for (int i = 0; i < CPU_SETSIZE; ++i) {
        if (CPU_ISSET(i, &set))
            core = i;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    return core >= 0 && ::sched_setaffinity(0, sizeof one, &one) == 0 ? core : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int onlineCores = UsableCores();
    // Before any thread or child exists, so that all of them inherit it.
    const int core = PinToOneCore();
    // Before any thread exists, so that every thread of the process lives in the namespace.
    if (::unshare(CLONE_NEWNET) != 0) {
        std::printf("bench_station: cannot create a private network namespace (%s; it needs "
                    "root).\nThe station's port is fixed, so it is not measured on the "
                    "machine's network: nothing measured.\n",
                    std::strerror(errno));
        return 0;
    }
    if (!BringLoopbackUp()) {
        std::printf("bench_station: cannot bring lo up in the private network namespace (%s): "
                    "nothing measured.\n",
                    std::strerror(errno));
        return 0;
    }

    // Settings and store in a directory of each station's own, so that every store starts empty.
    QTemporaryDir configDir;
    QTemporaryDir noStoreDir;
    QTemporaryDir windowDir;
    QTemporaryDir noStoreWindowDir;
    for (const QTemporaryDir *dir : {&configDir, &noStoreDir, &windowDir, &noStoreWindowDir}) {
        if (!dir->isValid()) {
            std::fprintf(stderr, "bench_station: no temporary directory for the settings\n");
            return 1;
        }
    }
    if (!WriteSettings(configDir.path(), kBenchStationPort, "Bench", true)
        || !WriteSettings(noStoreDir.path(), kNoStoreStationPort, "Bench", false)
        || !WriteSettings(windowDir.path(), kWindowStationPort, "Window", true)
        || !WriteSettings(noStoreWindowDir.path(), kNoStoreWindowPort, "Window", false)) {
        std::fprintf(stderr, "bench_station: cannot write the settings files\n");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", configDir.path().toLocal8Bit());

    // Started first, while this process has no threads yet; they come up while the rest does.
    auto window = std::make_unique<WindowStation>(windowDir.path());
    auto noStoreWindow = std::make_unique<WindowStation>(noStoreWindowDir.path());
    if (!window->started() || !noStoreWindow->started()) {
        std::fprintf(stderr, "bench_station: the window station could not be started\n");
        return 1;
    }

    QCoreApplication app(argc, argv);
    Peer peer;
    if (!peer.bound()) {
        std::fprintf(stderr, "bench_station: cannot bind 127.0.0.1:%u\n", kStationPort);
        return 1;
    }

    PrintedBoxes boxes;
    Tdm dm(boxes, [] { return QByteArray("BENCH"); });
    if (!dm.started()) {
        std::fprintf(stderr, "bench_station: the station did not start\n");
        return 1;
    }
    // The ticks are driven by hand below; the clock would only add idle ticks to the figures.
    dm.stopClock();
    if (!dm.store().isOpen()) {
        std::fprintf(stderr, "bench_station: the station did not open its store\n");
        return 1;
    }
    // The core finds its settings and its store where the environment points as it starts.
    qputenv("XDG_CONFIG_HOME", noStoreDir.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", noStoreDir.path().toLocal8Bit());
    Tdm noStoreDm(boxes, [] { return QByteArray("BENCH"); });
    qputenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", configDir.path().toLocal8Bit());
    if (!noStoreDm.started() || noStoreDm.store().isOpen()) {
        std::fprintf(stderr, "bench_station: the station without a store did not start\n");
        return 1;
    }
    noStoreDm.stopClock();

    EchoLoop echo(kEchoPort);
    if (!echo.bound()) {
        std::fprintf(stderr, "bench_station: cannot bind the echo port\n");
        return 1;
    }
    std::unique_ptr<ConfirmingServer> keptSocketServer;
    std::unique_ptr<ConfirmingServer> freshClientServer;
    try {
        keptSocketServer = std::make_unique<ConfirmingServer>(kKeptSocketServerPort,
                                                              ConfirmingServer::Reply::KeptSocket);
        freshClientServer = std::make_unique<ConfirmingServer>(
                kFreshClientServerPort, ConfirmingServer::Reply::FreshClient);
    } catch (const std::exception &error) {
        std::fprintf(
                stderr, "bench_station: a comparison server did not start: %s\n", error.what());
        return 1;
    }

    // Every target gets its share in rounds taken in turn, so that other load on the machine
    // weighs on each figure alike. The echo loop needs no event loop, but the servers do;
    // running it costs the echo nothing while this thread waits.
    if (!WithEventLoop([&] {
            return peer.awaitStation(kWindowStationPort, kWindowStartLimit)
                   && peer.awaitStation(kNoStoreWindowPort, kWindowStartLimit);
        })) {
        std::fprintf(stderr, "bench_station: the window station did not confirm a message\n");
        return 1;
    }
    peer.drain();
    const std::vector<quint16> targets = {kBenchStationPort,
                                          kEchoPort,
                                          kKeptSocketServerPort,
                                          kFreshClientServerPort,
                                          kWindowStationPort,
                                          kNoStoreStationPort,
                                          kNoStoreWindowPort};
    const std::vector<FlowResult> flows = WithEventLoop([&] {
        std::vector<FlowResult> results(targets.size());
        for (const quint16 port : targets) {
            peer.flow(port, kWarmUpCount, kFlowLimit);
            peer.drain();
        }
        for (int round = 0; round < kFlowRounds; ++round) {
            for (std::size_t target = 0; target < targets.size(); ++target) {
                results[target] += peer.flow(
                        targets[target], kFlowCount / kFlowRounds, kFlowLimit / kFlowRounds);
                peer.drain();
            }
        }
        return results;
    });
    const FlowResult &stationFlow = flows[0];
    const FlowResult &echoFlow = flows[1];
    const FlowResult &keptSocketFlow = flows[2];
    const FlowResult &freshClientFlow = flows[3];
    const FlowResult &windowFlow = flows[4];
    const FlowResult &noStoreFlow = flows[5];
    const FlowResult &noStoreWindowFlow = flows[6];

    const std::vector<LatencyResult> latencies = WithEventLoop(
            [&] { return peer.latencies(targets, kLatencySamples, kLatencyLimit); });
    peer.drain();
    const LatencyResult &stationLatency = latencies[0];
    const LatencyResult &echoLatency = latencies[1];
    const LatencyResult &keptSocketLatency = latencies[2];
    const LatencyResult &freshClientLatency = latencies[3];
    const LatencyResult &windowLatency = latencies[4];
    const LatencyResult &noStoreLatency = latencies[5];
    const LatencyResult &noStoreWindowLatency = latencies[6];

    const std::vector<quint16> burstTargets = {kEchoPort,
                                               kBenchStationPort,
                                               kWindowStationPort,
                                               kNoStoreStationPort,
                                               kNoStoreWindowPort};
    const std::vector<BurstResult> bursts = WithEventLoop([&] {
        std::vector<BurstResult> results;
        for (const quint16 port : burstTargets) {
            results.push_back(peer.burst(port, kBurstCount));
            peer.drain();
        }
        return results;
    });

    const std::vector<int> tickSizes = {10, 100, 1000};
    std::vector<TickFigures> ticks;
    std::vector<double> keptSocketSends;
    for (const int entries : tickSizes) {
        ticks.push_back(MeasureTicks(dm, peer, entries));
        keptSocketSends.push_back(MedianKeptSocketSendsMs(peer, entries));
    }
    dm.setPump([] {});
    const TickFigures pumplessTicks = MeasureTicks(dm, peer, 1000);
    dm.setPump([] { QCoreApplication::processEvents(); });

    const QByteArray datagram = "=BENCH~1|Bench|text";
    const double freshClientSendUs = MedianSendMicroseconds(peer, [&] {
        UdpClient client;
        client.Send("127.0.0.1", kStationPort, datagram);
    });
    const double bareSocketUs = MedianSendMicroseconds(peer, [] { const UdpPeer fresh; });
    const UdpPeer kept;
    const double keptSocketSendUs = MedianSendMicroseconds(
            peer, [&] { kept.sendTo("127.0.0.1", kStationPort, datagram); });
    QElapsedTimer pumpTimer;
    pumpTimer.start();
    for (int i = 0; i < kPumpCalls; ++i)
        QCoreApplication::processEvents();
    const double idlePumpUs = double(pumpTimer.nsecsElapsed()) / 1e3 / kPumpCalls;

    std::printf("\nStation on loopback in a private network namespace; cores: %u online, %d "
                "usable; everything pinned to core %d (-1: not pinned).\n",
                std::thread::hardware_concurrency(),
                onlineCores,
                core);
    std::printf("Peer: one thread, at most %d messages unconfirmed, up to %d messages or %.1f s "
                "per target, in %d rounds taken in turn;\n%d latency samples one at a time, "
                "taken in turn from each target.\nStation: Tdm as the headless station runs it, "
                "MAXRECS %d. Echo: one thread, poll + recvfrom + sendto on one socket.\n\n",
                kWindow,
                kFlowCount,
                std::chrono::duration<double>(kFlowLimit).count(),
                kFlowRounds,
                kLatencySamples,
                dm.settings().MAXRECS);

    PrintSideBySide(
            echoFlow, stationFlow, windowFlow, echoLatency, stationLatency, windowLatency, bursts);

    std::printf("\nThe message store on and off (STORE=0); every station started with an empty "
                "store, and the headless one holds %lld messages at the end:\n",
                static_cast<long long>(dm.store().messageCount()));
    PrintStoreOnOff({stationFlow, stationLatency, bursts[1]},
                    {noStoreFlow, noStoreLatency, bursts[3]},
                    {windowFlow, windowLatency, bursts[2]},
                    {noStoreWindowFlow, noStoreWindowLatency, bursts[4]});

    std::printf("\nThe headless station in detail:\n");
    PrintRow("figure", "station", "echo", "ratio", "target");
    PrintRow("inbound handled, datagrams/s",
             Format(stationFlow.rate(), 0),
             Format(echoFlow.rate(), 0),
             Ratio(stationFlow.rate(), echoFlow.rate()),
             ">= 0.5 x echo: "
                     + Verdict(stationFlow.rate() >= 0.5 * echoFlow.rate()
                               && echoFlow.confirmed > 0));
    PrintRow("inbound lost/sent", Lost(stationFlow), Lost(echoFlow), "-");
    PrintRow("confirmation latency median, us",
             Format(stationLatency.median()),
             Format(echoLatency.median()),
             Ratio(stationLatency.median(), echoLatency.median()),
             "<= 3 x echo: " + Verdict(stationLatency.median() <= 3 * echoLatency.median()));
    PrintRow("confirmation latency p99, us",
             Format(stationLatency.p99()),
             Format(echoLatency.p99()),
             Ratio(stationLatency.p99(), echoLatency.p99()));
    PrintRow("latency samples lost",
             std::to_string(stationLatency.lost),
             std::to_string(echoLatency.lost),
             "-");
    for (std::size_t i = 0; i < tickSizes.size(); ++i) {
        const std::string size = std::to_string(tickSizes[i]);
        const bool bounded = tickSizes[i] == 1000;
        PrintRow("tick, " + size + " entries, none due, ms",
                 Format(ticks[i].quietMs, 3),
                 "-",
                 "-",
                 bounded ? "< 10 ms: " + Verdict(ticks[i].quietMs < 10) : std::string());
        PrintRow("tick, " + size + " entries, all sent, ms",
                 Format(ticks[i].sendingMs, 3),
                 Format(keptSocketSends[i], 3),
                 Ratio(ticks[i].sendingMs, keptSocketSends[i]),
                 bounded ? "< 10 ms: " + Verdict(ticks[i].sendingMs < 10) : std::string());
    }
    std::printf("(ticks: median of %d ticks with sends and of the ticks between them; the "
                "baseline of a tick with sends is as many sendto calls on one kept socket)\n",
                kTickSendSamples);

    std::printf("\nWhere the time goes (ratio to the echo loop):\n");
    PrintRow("figure", "value", "echo", "ratio");
    PrintRow("handled/s, transport + kept reply socket",
             Format(keptSocketFlow.rate(), 0),
             Format(echoFlow.rate(), 0),
             Ratio(keptSocketFlow.rate(), echoFlow.rate()));
    PrintRow("handled/s, transport + UdpClient reply",
             Format(freshClientFlow.rate(), 0),
             Format(echoFlow.rate(), 0),
             Ratio(freshClientFlow.rate(), echoFlow.rate()));
    PrintRow("handled/s, full station",
             Format(stationFlow.rate(), 0),
             Format(echoFlow.rate(), 0),
             Ratio(stationFlow.rate(), echoFlow.rate()));
    PrintRow("median us, transport + kept reply socket",
             Format(keptSocketLatency.median()),
             Format(echoLatency.median()),
             Ratio(keptSocketLatency.median(), echoLatency.median()));
    PrintRow("median us, transport + UdpClient reply",
             Format(freshClientLatency.median()),
             Format(echoLatency.median()),
             Ratio(freshClientLatency.median(), echoLatency.median()));
    PrintRow("median us, full station",
             Format(stationLatency.median()),
             Format(echoLatency.median()),
             Ratio(stationLatency.median(), echoLatency.median()));
    PrintRow("lost/sent, kept / UdpClient reply", Lost(keptSocketFlow), Lost(freshClientFlow), "-");
    std::printf("\n");
    PrintRow("figure", "value", "baseline", "ratio");
    PrintRow("send, us: UdpClient made / one socket",
             Format(freshClientSendUs, 2),
             Format(keptSocketSendUs, 2),
             Ratio(freshClientSendUs, keptSocketSendUs));
    PrintRow("socket() + close(), us", Format(bareSocketUs, 2), "-", "-");
    PrintRow("processEvents() with nothing pending, us", Format(idlePumpUs, 3), "-", "-");
    PrintRow("tick, 1000 none due, ms: pump / none",
             Format(ticks.back().quietMs, 3),
             Format(pumplessTicks.quietMs, 3),
             Ratio(ticks.back().quietMs, pumplessTicks.quietMs));
    PrintRow("tick, 1000 all sent, ms: pump / none",
             Format(ticks.back().sendingMs, 3),
             Format(pumplessTicks.sendingMs, 3),
             Ratio(ticks.back().sendingMs, pumplessTicks.sendingMs));

    // The tick figures used thousands of message IDs, and the core keeps its port until the
    // clock has passed the last of them, which would hold the bench for minutes at its end.
    // Nothing is left to save: the window station ends, the settings go, the process ends.
    window.reset();
    noStoreWindow.reset();
    configDir.remove();
    noStoreDir.remove();
    windowDir.remove();
    noStoreWindowDir.remove();
    std::fflush(stdout);
    std::_Exit(0);
}
