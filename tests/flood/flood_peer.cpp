// A hostile partner for the flood test: a plain UDP socket that shares no code with the station.
// It floods one station with datagrams as fast as it can send them, a mix of well-formed
// messages and everything a broken or malicious sender could produce, and counts what comes
// back. What it saw goes to stdout, one line at a time, flushed at once:
//
//   ready                              bound to the station port, about to flood
//   flooding <ms>                      the first datagram goes out now
//   message <copy> <ms> <text> from <ip>   a message datagram from a station
//   flood over <ms>                    the last datagram has gone out
//   sent <total> <duration ms>
//   kinds <name>=<count> ...           how many of each kind went out
//   send-errors <count> <first error>
//   confirmed <distinct keys> <confirmations> <stray>
//   done
//
// <ms> is the CLOCK_MONOTONIC time in milliseconds. A message from a station is confirmed from
// its second copy on, so that the station has to resend it, which only its clock does; from
// then on the flood carries that confirmation once a round as well. A stray confirmation is one
// whose key this peer never sent: a station must never produce one.
//
//   flood_peer HOST SECONDS
//
// Exit codes: 0 done, 2 socket failure, 64 bad arguments.

#include "tools/udppeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

enum ExitCode { Done = 0, SocketFailed = 2, BadArguments = 64 };

constexpr std::uint16_t kStationPort = 34888;
// Room for every confirmation the station manages to send while this peer is busy sending.
constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
// After the flood, confirmations still on their way are waited for until the line goes quiet.
constexpr int kQuietMs = 500;
constexpr int kDrainLimitMs = 5000;
// How far back a repeat reaches: some repeats fall inside the keys the station still
// remembers, the rest behind them.
constexpr std::uint64_t kRepeatReach = 400;
constexpr std::size_t kOversizedMin = 513;
constexpr std::size_t kOversizedMax = 1472; // one Ethernet frame
constexpr std::size_t kFragmentedSize = 9000;
constexpr std::uint64_t kFragmentedEvery = 512;
constexpr std::uint64_t kSeed = 0x5eed'f100dULL;

const std::string kValidPrefix = "FLOOD~";
const std::string kOversizedPrefix = "BIG~";
const std::string kIdent = "Flood";

std::mutex g_printing;

void PrintLine(const std::string &line)
{
    const std::lock_guard lock(g_printing);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintProblem(const std::string &line)
{
    const std::lock_guard lock(g_printing);
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::int64_t MonotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string SystemProblem(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

// Line breaks inside a datagram would split its output line.
std::string OneLine(std::string_view text)
{
    std::string line;
    for (const char c : text) {
        if (c == '\n')
            line += "\\n";
        else if (c == '\r')
            line += "\\r";
        else
            line += c;
    }
    return line;
}

// The message with that key number; a repeat rebuilds the very same bytes. The body carries
// separators and Windows-1250 letters, as a real one may.
std::string ValidMessage(std::uint64_t number)
{
    return "=" + kValidPrefix + std::to_string(number) + "|" + kIdent + "|Zpr\xe1va "
           + std::to_string(number) + " |a|b\r\n\x9e\xe9";
}

// The key number of "<prefix><digits>" exactly as this peer writes it, or -1.
std::int64_t KeyNumber(std::string_view key, const std::string &prefix)
{
    if (key.substr(0, prefix.size()) != prefix)
        return -1;
    const std::string_view digits = key.substr(prefix.size());
    if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits[0] == '0'))
        return -1;
    std::int64_t number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

// The keys sent so far of one family, and which of them came back confirmed. The sender takes
// a number before it sends, so a confirmation can never be ahead of it.
struct KeyFamily
{
    std::atomic<std::uint64_t> taken{0};
    std::vector<bool> confirmed; // the receiver's alone

    std::uint64_t take() { return taken.fetch_add(1, std::memory_order_acq_rel); }
    bool wasSent(std::int64_t number) const
    {
        return number >= 0 && std::uint64_t(number) < taken.load(std::memory_order_acquire);
    }
    // True the first time the key is confirmed.
    bool markConfirmed(std::int64_t number)
    {
        if (std::size_t(number) >= confirmed.size())
            confirmed.resize(std::size_t(number) + 1 + confirmed.size() / 2);
        if (confirmed[std::size_t(number)])
            return false;
        confirmed[std::size_t(number)] = true;
        return true;
    }
};

struct Counts
{
    std::uint64_t distinct = 0;
    std::uint64_t confirmations = 0;
    std::uint64_t stray = 0;
};

class Receiver
{
public:
    Receiver(const UdpPeer &socket, KeyFamily &valid, KeyFamily &oversized)
        : m_socket(socket)
        , m_valid(valid)
        , m_oversized(oversized)
    {}

    // Until told to stop and the line has been quiet, or the drain limit has passed.
    void run()
    {
        std::int64_t stopAt = -1;
        std::int64_t lastArrival = MonotonicMs();
        for (;;) {
            const std::int64_t now = MonotonicMs();
            if (stopAt < 0 && m_stop.load(std::memory_order_acquire))
                stopAt = now;
            if (stopAt >= 0
                && (now - std::max(lastArrival, stopAt) >= kQuietMs
                    || now - stopAt >= kDrainLimitMs)) {
                return;
            }
            // Never long without looking at the stop.
            if (readArrived(50))
                lastArrival = MonotonicMs();
        }
    }

    void stop() { m_stop.store(true, std::memory_order_release); }
    const Counts &counts() const { return m_counts; }

    // The confirmation of the station's message once it is due, for the flood to carry too: one
    // alone would most likely be lost in the station's overflowing socket buffer.
    std::string confirmationToRepeat()
    {
        if (!m_hasConfirmation.load(std::memory_order_acquire))
            return {};
        const std::lock_guard lock(m_confirmationMutex);
        return m_confirmation;
    }

private:
    // True when anything arrived, waiting up to timeoutMs for the first datagram.
    bool readArrived(int timeoutMs)
    {
        bool any = false;
        for (int wait = timeoutMs;
             const std::optional<UdpPeer::Datagram> datagram = m_socket.receive(wait);
             wait = 0) {
            any = true;
            handle(std::string_view(datagram->data.constData(), std::size_t(datagram->data.size())),
                   datagram->senderIP);
        }
        return any;
    }

    void handle(std::string_view text, const QByteArray &senderIP)
    {
        if (text.empty())
            return;
        if (text.front() == '#') {
            const std::string_view key = text.substr(1);
            ++m_counts.confirmations;
            const std::int64_t number = KeyNumber(key, kValidPrefix);
            const std::int64_t big = KeyNumber(key, kOversizedPrefix);
            if (m_valid.wasSent(number)) {
                m_counts.distinct += m_valid.markConfirmed(number) ? 1 : 0;
            } else if (m_oversized.wasSent(big)) {
                m_counts.distinct += m_oversized.markConfirmed(big) ? 1 : 0;
            } else {
                ++m_counts.stray;
                if (m_counts.stray <= 10)
                    PrintLine("stray " + OneLine(text));
            }
            return;
        }
        if (text.front() != '=')
            return;
        const std::string sender = senderIP.toStdString();
        PrintLine("message " + std::to_string(++m_messageCopies) + ' '
                  + std::to_string(MonotonicMs()) + ' ' + OneLine(text) + " from " + sender);
        if (m_messageCopies < 2)
            return;
        const std::string_view rest = text.substr(1);
        const std::size_t bar = rest.find('|');
        const std::string confirmation
                = "#"
                  + std::string(bar == std::string_view::npos || bar == 0 ? rest
                                                                          : rest.substr(0, bar));
        // To the sender's station port, not to the port the message came from.
        if (!m_socket.sendTo(senderIP.constData(), kStationPort, confirmation))
            PrintProblem(SystemProblem("cannot confirm to " + sender));
        const std::lock_guard lock(m_confirmationMutex);
        m_confirmation = confirmation;
        m_hasConfirmation.store(true, std::memory_order_release);
    }

    const UdpPeer &m_socket;
    KeyFamily &m_valid;
    KeyFamily &m_oversized;
    std::atomic<bool> m_stop{false};
    Counts m_counts;
    int m_messageCopies = 0;
    std::atomic<bool> m_hasConfirmation{false};
    std::mutex m_confirmationMutex;
    std::string m_confirmation;
};

enum Kind { Valid, Repeat, UnknownConfirmation, Empty, Oversized, ZeroFilled, Random, KindCount };
const char *const kKindNames[KindCount] = {
        "valid", "repeat", "unknown-confirmation", "empty", "oversized", "zero-filled", "random"};

// One round of the mix: mostly well-formed messages, so that the station has real work to do,
// and every other kind in between.
constexpr std::array<Kind, 16> kRound = {Valid,
                                         Valid,
                                         Repeat,
                                         Valid,
                                         UnknownConfirmation,
                                         Valid,
                                         Empty,
                                         Valid,
                                         Repeat,
                                         Oversized,
                                         Valid,
                                         ZeroFilled,
                                         UnknownConfirmation,
                                         Random,
                                         Oversized,
                                         Random};

class Flooder
{
public:
    Flooder(KeyFamily &valid, KeyFamily &oversized)
        : m_valid(valid)
        , m_oversized(oversized)
        , m_random(kSeed)
    {}

    std::string next(Kind kind)
    {
        ++m_sentOfKind[kind];
        switch (kind) {
        case Valid:
            return ValidMessage(m_valid.take());
        case Repeat: {
            const std::uint64_t taken = m_valid.taken.load(std::memory_order_acquire);
            if (taken == 0)
                return ValidMessage(m_valid.take());
            const std::uint64_t back = m_random() % std::min(taken, kRepeatReach);
            return ValidMessage(taken - 1 - back);
        }
        case UnknownConfirmation:
            return "#NIKDO~" + std::to_string(m_unknown++);
        case Empty:
            return {};
        case Oversized:
            return oversized();
        case ZeroFilled:
            return std::string(1 + m_random() % 600, '\0');
        case Random:
            return random();
        case KindCount:
            break;
        }
        return {};
    }

    std::uint64_t sentOfKind(Kind kind) const { return m_sentOfKind[kind]; }

private:
    // A message whose key and ident fit into what the station reads; the rest of it does not.
    std::string oversized()
    {
        const std::uint64_t number = m_oversized.take();
        const std::size_t size
                = number % kFragmentedEvery == kFragmentedEvery - 1
                          ? kFragmentedSize
                          : kOversizedMin + m_random() % (kOversizedMax - kOversizedMin + 1);
        std::string text = "=" + kOversizedPrefix + std::to_string(number) + "|" + kIdent + "|";
        while (text.size() < size)
            text += char('a' + m_random() % 26);
        return text;
    }

    // Any bytes at all, but never a message: a random key would come back confirmed, and the
    // confirmations this peer counts must be of keys it chose.
    std::string random()
    {
        std::string text(1 + m_random() % 700, '\0');
        for (char &c : text)
            c = char(m_random() & 0xff);
        if (text.front() == '=')
            text.front() = '\x01';
        return text;
    }

    KeyFamily &m_valid;
    KeyFamily &m_oversized;
    std::mt19937_64 m_random;
    std::uint64_t m_unknown = 1;
    std::array<std::uint64_t, KindCount> m_sentOfKind{};
};

bool ParsePositive(const char *text, int *value)
{
    char *end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed <= 0 || parsed > 3600)
        return false;
    *value = int(parsed);
    return true;
}

int Flood(const char *host, int seconds)
{
    sockaddr_in station{};
    station.sin_family = AF_INET;
    station.sin_port = htons(kStationPort);
    if (::inet_pton(AF_INET, host, &station.sin_addr) != 1) {
        PrintProblem(std::string("not a dotted address: ") + host);
        return BadArguments;
    }

    // The sending socket first, so that a failed bind is the last thing errno tells of.
    const UdpPeer sending;
    const UdpPeer listening("0.0.0.0", kStationPort);
    if (listening.fd() < 0 || sending.fd() < 0) {
        PrintProblem(SystemProblem("cannot open a socket"));
        return SocketFailed;
    }
    if (!listening.bound()) {
        PrintProblem(SystemProblem("cannot bind port " + std::to_string(kStationPort)));
        return SocketFailed;
    }
    // Root may go past the system's limit, which is what a flood needs; anyone else gets what
    // the limit allows.
    listening.setReceiveBuffer(kReceiveBufferBytes);
    // Connected, so that each send is one call without an address to look up, and a port that
    // refuses comes back as an error of a later send.
    if (::connect(sending.fd(), reinterpret_cast<const sockaddr *>(&station), sizeof station)
        != 0) {
        PrintProblem(SystemProblem(std::string("cannot address ") + host));
        return SocketFailed;
    }

    KeyFamily valid;
    KeyFamily oversized;
    Receiver receiver(listening, valid, oversized);
    PrintLine("ready");
    std::thread receiving([&] { receiver.run(); });

    Flooder flooder(valid, oversized);
    std::uint64_t sent = 0;
    std::uint64_t sendErrors = 0;
    std::uint64_t ownConfirmations = 0;
    std::string firstError;
    const std::int64_t start = MonotonicMs();
    const std::int64_t end = start + std::int64_t(seconds) * 1000;
    PrintLine("flooding " + std::to_string(start));
    std::int64_t now = start;
    while (now < end) {
        if (const std::string confirmation = receiver.confirmationToRepeat();
            !confirmation.empty()) {
            ++ownConfirmations;
            if (::send(sending.fd(), confirmation.data(), confirmation.size(), 0) < 0
                && sendErrors++ == 0) {
                firstError = std::strerror(errno);
            }
            ++sent;
        }
        for (const Kind kind : kRound) {
            const std::string datagram = flooder.next(kind);
            // A full queue or an unreachable port is what a flood may meet; it goes on.
            if (::send(sending.fd(), datagram.data(), datagram.size(), 0) < 0) {
                if (sendErrors++ == 0)
                    firstError = std::strerror(errno);
            }
            ++sent;
        }
        now = MonotonicMs();
    }
    PrintLine("flood over " + std::to_string(now));

    receiver.stop();
    receiving.join();
    PrintLine("sent " + std::to_string(sent) + ' ' + std::to_string(now - start));
    std::string kinds = "kinds";
    for (int kind = 0; kind < KindCount; ++kind)
        kinds += std::string(" ") + kKindNames[kind] + '='
                 + std::to_string(flooder.sentOfKind(Kind(kind)));
    kinds += " station-confirmation=" + std::to_string(ownConfirmations);
    PrintLine(kinds);
    PrintLine("send-errors " + std::to_string(sendErrors) + ' '
              + (firstError.empty() ? std::string("-") : OneLine(firstError)));
    const Counts &counts = receiver.counts();
    PrintLine("confirmed " + std::to_string(counts.distinct) + ' '
              + std::to_string(counts.confirmations) + ' ' + std::to_string(counts.stray));
    PrintLine("done");
    return Done;
}

} // namespace

int main(int argc, char *argv[])
{
    int seconds = 0;
    if (argc != 3 || !ParsePositive(argv[2], &seconds)) {
        PrintProblem("usage: flood_peer HOST SECONDS");
        return BadArguments;
    }
    return Flood(argv[1], seconds);
}
