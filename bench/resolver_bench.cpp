#include "tools/loopback.h"
#include "tools/udppeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// How long the headless station stops answering while it waits for a name server that never
// answers: its console and an unrelated partner, both probed four times a second. The station
// is a black box here (its standard input and output, and UDP), so the same figures compare it
// whether it looks names up on its main thread or elsewhere. The name server is ours, inside a
// network and mount namespace of this process's own, so no lookup leaves the machine.

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint16_t kStationPort = 40000;
constexpr uint16_t kConfirmationPort = 34888; // every confirmation goes to this port
constexpr auto kProbeInterval = 250ms;
constexpr auto kBaseline = 2s;
constexpr auto kAfterLastGiveUp = 3s;
constexpr auto kRoundLimit = 150s;
constexpr auto kReadyLimit = 10s;
constexpr auto kExitLimit = 10s;

double Ms(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

// A poll() timeout that does not wake before when.
int MsUntil(Clock::time_point when, Clock::time_point now)
{
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return int(std::max<decltype(ms)>(ms, 0));
}

// A name server's TCP port that takes connections into its backlog and never accepts them.
int ListeningSocket(const char *ip, uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &address.sin_addr);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::listen(fd, 16) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool PlaceOver(const std::filesystem::path &file, const std::string &content, const char *target)
{
    std::ofstream(file, std::ios::binary) << content;
    return ::mount(file.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

// Replies that arrive late are timed when they arrive; those that never come count until the
// end of the round, so a freeze that outlasts the round still weighs in full.
struct Samples
{
    std::vector<double> before; // sent before the stuck names were queued
    std::vector<double> all;
    int lost = 0;

    void add(Clock::time_point sentAt, Clock::time_point now, Clock::time_point queuedAt)
    {
        all.push_back(Ms(now - sentAt));
        if (sentAt < queuedAt)
            before.push_back(all.back());
    }
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? std::nan("") : values[(values.size() - 1) / 2];
}

double Worst(const std::vector<double> &values)
{
    return values.empty() ? std::nan("") : *std::max_element(values.begin(), values.end());
}

// The headless station as a child with pipes on its standard input and output; its standard
// error is this process's. It dies with the bench.
class Station
{
public:
    bool start(const std::string &program, const std::filesystem::path &dir)
    {
        for (const char *name : {"config", "home", "runtime"})
            std::filesystem::create_directory(dir / name);
        std::filesystem::permissions(dir / "runtime", std::filesystem::perms::owner_all);
        std::ofstream(dir / "config" / "veltrin.ini", std::ios::binary)
                << "[TCPIP]\r\nPORT=" << kStationPort << "\r\n";
        // This process has no threads, so its own environment can be what the child inherits.
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir / "config").c_str(), 1);
        ::setenv("HOME", (dir / "home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
            return false;
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == parent && ::dup2(input[0], STDIN_FILENO) >= 0
                && ::dup2(output[1], STDOUT_FILENO) >= 0 && ::chdir(dir.c_str()) == 0)
                ::execl(program.c_str(), program.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        m_in = input[1];
        m_out = output[0];
        ::fcntl(m_in, F_SETFL, O_NONBLOCK);
        ::fcntl(m_out, F_SETFL, O_NONBLOCK);
        m_pidFd = m_pid > 0 ? int(::syscall(SYS_pidfd_open, m_pid, 0)) : -1;
        return m_pidFd >= 0;
    }

    int outputFd() const { return m_out; }
    bool write(const std::string &line) { return ::write(m_in, line.data(), line.size()) > 0; }

    bool isOpen() const { return m_open; }
    // The whole lines the station has printed since the last call.
    std::vector<std::string> lines()
    {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(m_out, buffer, sizeof buffer)) > 0)
            m_buffer.append(buffer, std::size_t(n));
        m_open = m_open && n < 0 && (errno == EAGAIN || errno == EINTR);
        std::vector<std::string> lines;
        for (std::size_t end = 0; (end = m_buffer.find('\n')) != std::string::npos;) {
            lines.push_back(m_buffer.substr(0, end));
            m_buffer.erase(0, end + 1);
        }
        return lines;
    }

    // "quit", then the time until it has ended, or nothing when it had to be killed.
    std::optional<double> quit()
    {
        const Clock::time_point start = Clock::now();
        write("quit\n");
        ::close(m_in);
        pollfd entries[] = {{m_pidFd, POLLIN, 0}, {m_out, POLLIN, 0}};
        bool ended = false;
        for (auto now = start; !ended && now < start + kExitLimit; now = Clock::now()) {
            if (::poll(entries, 2, MsUntil(start + kExitLimit, now)) > 0) {
                ended = entries[0].revents != 0;
                lines(); // the station never waits for this pipe to be read
                if (!m_open)
                    entries[1].fd = -1; // the output has ended, the process not yet
            }
        }
        const double ms = Ms(Clock::now() - start);
        if (!ended)
            ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        ::close(m_out);
        ::close(m_pidFd);
        return ended ? std::optional(ms) : std::nullopt;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_pidFd = -1;
    bool m_open = true;
    std::string m_buffer;
};

// The stuck name server's half: it reads what the station asks and never answers.
int DrainQueries(const UdpPeer &nameServer)
{
    return int(nameServer.receiveAll().size());
}

bool RunRound(const std::string &program,
              const std::filesystem::path &dir,
              int stuckCount,
              const UdpPeer &nameServer,
              const UdpPeer &partnerSocket)
{
    DrainQueries(nameServer); // what the station of the round before asked late
    partnerSocket.receiveAll();
    char scratch[2048];

    Station station;
    if (!station.start(program, dir)) {
        std::printf("K=%d: the station could not be started\n", stuckCount);
        return false;
    }
    const Clock::time_point readyBy = Clock::now() + kReadyLimit;
    std::string ready;
    for (auto now = Clock::now(); ready.empty() && station.isOpen() && now < readyBy;
         now = Clock::now()) {
        pollfd entry{station.outputFd(), POLLIN, 0};
        ::poll(&entry, 1, MsUntil(readyBy, now));
        for (const std::string &line : station.lines()) {
            if (line.rfind("ready ", 0) == 0)
                ready = line;
        }
    }
    if (ready.empty()) {
        std::printf("K=%d: no \"ready\" line within %.0f s\n", stuckCount, Ms(kReadyLimit) / 1e3);
        station.quit();
        return false;
    }

    std::vector<std::string> names;
    for (int i = 1; i <= stuckCount; ++i)
        names.push_back("stuck" + std::to_string(i) + ".example");
    std::set<std::string> stuck(names.begin(), names.end()); // not given up yet
    int giveUpLines = 0;
    std::string firstGiveUpLine;
    Samples console;
    Samples partner;
    std::deque<Clock::time_point> probes; // each "queue N" answers the oldest
    std::map<int, Clock::time_point> unconfirmed;
    int queries = 0;
    int nextKey = 1;

    const Clock::time_point start = Clock::now();
    Clock::time_point queuedAt = Clock::time_point::max();
    Clock::time_point lastGiveUp = start;
    Clock::time_point nextProbe = start;
    Clock::time_point nextPing = start;
    Clock::time_point end = start + kRoundLimit;
    Clock::time_point now = start;
    for (; station.isOpen() && now < end; now = Clock::now()) {
        const bool queued = queuedAt != Clock::time_point::max();
        if (!queued && now >= start + kBaseline) {
            for (const std::string &name : names)
                station.write("send " + name + " ahoj\n");
            queuedAt = now;
        }
        if (now >= nextProbe) {
            if (station.write("queue\n"))
                probes.push_back(now);
            nextProbe += kProbeInterval;
        }
        if (now >= nextPing) {
            const std::string key = std::to_string(nextKey);
            const std::string datagram = "=BENCH~" + key + "|Partner|ping " + key;
            partnerSocket.sendTo("127.0.0.1", kStationPort, datagram);
            unconfirmed[nextKey++] = now;
            nextPing += kProbeInterval;
        }
        const auto wake = std::min({nextProbe, nextPing, end, queued ? end : start + kBaseline});
        pollfd entries[] = {{station.outputFd(), POLLIN, 0},
                            {partnerSocket.fd(), POLLIN, 0},
                            {nameServer.fd(), POLLIN, 0}};
        ::poll(entries, 3, MsUntil(wake, now));
        now = Clock::now();
        queries += DrainQueries(nameServer);
        for (qsizetype n = 0; (n = partnerSocket.receive(scratch, sizeof scratch - 1, 0)) >= 0;) {
            scratch[n] = '\0';
            const auto found = std::strncmp(scratch, "#BENCH~", 7) == 0
                                       ? unconfirmed.find(std::atoi(scratch + 7))
                                       : unconfirmed.end();
            if (found != unconfirmed.end()) {
                partner.add(found->second, now, queuedAt);
                unconfirmed.erase(found);
            }
        }
        for (const std::string &line : station.lines()) {
            if (line.rfind("queue ", 0) == 0 && !probes.empty()) {
                console.add(probes.front(), now, queuedAt);
                probes.pop_front();
            }
            // The give-up line names the host, then ':' or ' ' and the reason.
            const std::string_view kGiveUp = "status Chyba: ";
            if (line.rfind(kGiveUp, 0) != 0)
                continue;
            const std::size_t hostEnd = line.find_first_of(": ", kGiveUp.size());
            ++giveUpLines;
            if (firstGiveUpLine.empty())
                firstGiveUpLine = line;
            if (stuck.erase(line.substr(kGiveUp.size(), hostEnd - kGiveUp.size())) == 0)
                continue;
            lastGiveUp = now;
            if (stuck.empty())
                end = std::min(end, now + kAfterLastGiveUp);
        }
    }
    for (const Clock::time_point sentAt : probes)
        console.add(sentAt, now, queuedAt);
    for (const auto &[key, sentAt] : unconfirmed)
        partner.add(sentAt, now, queuedAt);
    console.lost = int(probes.size());
    partner.lost = int(unconfirmed.size());
    const bool outputEnded = !station.isOpen();
    const std::optional<double> exitMs = station.quit();

    const std::string range = names.front() + (stuckCount > 1 ? " to " + names.back() : "");
    std::printf("\nK=%d: %s; %s\n", stuckCount, range.c_str(), ready.c_str());
    std::printf("%-28s %9s %9s %9s %9s\n", "figure", "base med", "median", "worst", "lost");
    for (const auto &[figure, samples] : {std::pair{"console \"queue\" answer, ms", &console},
                                          std::pair{"partner confirmation, ms", &partner}}) {
        std::printf("%-28s %9.1f %9.1f %9.1f %5d/%-3zu\n",
                    figure,
                    Median(samples->before),
                    Median(samples->all),
                    Worst(samples->all),
                    samples->lost,
                    samples->all.size());
    }
    if (stuck.empty())
        std::printf("queued to last given up, s   %9.1f\n", Ms(lastGiveUp - queuedAt) / 1e3);
    else
        std::printf("given up: %zu of %d by the %s\n",
                    names.size() - stuck.size(),
                    stuckCount,
                    outputEnded ? "end of the station's output" : "round's time limit");
    std::printf("queries the server read      %9d (%.1f a name)\n",
                queries,
                double(queries) / stuckCount);
    std::printf("give-up lines: %d, the first: %s\n", giveUpLines, firstGiveUpLine.c_str());
    if (exitMs)
        std::printf("quit: ended %.0f ms after \"quit\"\n", *exitMs);
    else
        std::printf("quit: still running %.0f s after \"quit\", killed\n", Ms(kExitLimit) / 1e3);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string program = argc > 1 ? argv[1] : HEADLESS_STATION_PATH;
    if (::geteuid() != 0) {
        std::printf("bench_resolver: skipped: needs root for a private network namespace\n");
        return 0;
    }
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        std::printf("bench_resolver: skipped: no private network namespace (%s)\n",
                    std::strerror(errno));
        return 0;
    }
    ::signal(SIGPIPE, SIG_IGN); // a station that died shows as the end of its output
    const bool isolated = BringLoopbackUp()
                          && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    char pattern[] = "/tmp/bench_resolver.XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("bench_resolver: no temporary directory");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    // glibc's defaults stay: 5 s per try, two tries per query.
    const bool resolverPlaced
            = isolated
              && PlaceOver(dir / "resolv.conf", "nameserver 127.0.0.1\n", "/etc/resolv.conf")
              && PlaceOver(dir / "nsswitch.conf", "hosts: files dns\n", "/etc/nsswitch.conf")
              && PlaceOver(dir / "hosts", "127.0.0.1 localhost\n", "/etc/hosts");
    const UdpPeer nameServer("127.0.0.1", 53);
    const int nameServerTcp = ListeningSocket("127.0.0.1", 53);
    const UdpPeer partnerSocket("127.0.0.2", kConfirmationPort);
    if (!resolverPlaced || !nameServer.bound() || nameServerTcp < 0 || !partnerSocket.bound()) {
        std::perror("bench_resolver: cannot isolate the name service or bind the sockets");
        std::filesystem::remove_all(dir);
        return 1;
    }

    std::printf("bench_resolver: %s\n", program.c_str());
    std::printf("Name server 127.0.0.1:53 reads every query and answers none; resolv.conf holds "
                "only it\n(no search list; 5 s per try, 2 tries). Names with a dot. Every 250 ms "
                "the console is\nasked \"queue\" and a partner on 127.0.0.2 sends a message. "
                "\"base med\": the median before\nthe names were queued; the rest: whole round, "
                "replies that never came counted to its end.\n");
    bool ok = true;
    for (const int stuckCount : {1, 3}) {
        const std::filesystem::path roundDir = dir / ("k" + std::to_string(stuckCount));
        std::filesystem::create_directory(roundDir);
        ok = RunRound(program, roundDir, stuckCount, nameServer, partnerSocket) && ok;
    }
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
