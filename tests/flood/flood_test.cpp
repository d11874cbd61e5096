// A headless station on a host of its own is flooded for half a minute by a hostile partner on
// another host: well-formed messages, repeats, confirmations nobody asked for, empty, oversized,
// zero-filled and random datagrams, as fast as the partner can send them. The station has to
// come out of it alive, with its clock still driving its own queue, having confirmed what it
// managed to read, and without its memory growing beyond what its never-trimmed status log
// explains.

#include "support/namespacepair.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELTRIN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELTRIN_SANITIZED 1
#endif
#endif

namespace {

#ifdef VELTRIN_SANITIZED
// Every step is several times slower. Freed blocks stay resident in the quarantine (256 MiB by
// default) and every block carries red zones; a leak is the leak checker's to find at the exit.
constexpr qint64 kTimeScale = 4;
constexpr qint64 kFixedGrowthKb = 512 * 1024;
constexpr qint64 kGrowthPerStatusLineBytes = 4 * 192;
#else
constexpr qint64 kTimeScale = 1;
// The fixed share: what the first datagrams bring into use (allocator arenas, the socket layer,
// the tables at their bound). Then a share for every status line, which the station keeps for
// the whole run; about 75 bytes are measured. A leak of anything per datagram read, hundreds of
// thousands of them, goes far beyond both.
constexpr qint64 kFixedGrowthKb = 16 * 1024;
constexpr qint64 kGrowthPerStatusLineBytes = 192;
#endif

constexpr int kStationHost = 0; // 198.18.0.1
constexpr int kPeerHost = 1;    // 198.18.0.2
const QByteArray kStationName = "FLOODSTN";
const QByteArray kStationIdent = "Stanice";
const QByteArray kPort = "34888";

constexpr int kFloodSeconds = 30;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kReadyTimeoutMs = 10000 * kTimeScale;
constexpr int kCommandTimeoutMs = 5000 * kTimeScale;
// The partner drains the confirmations still on their way for at most 5 s after its flood.
constexpr int kFloodEndTimeoutMs = (kFloodSeconds + 20) * 1000 * kTimeScale;

// The message is queued a third of the way into the flood, so that both its first attempt and
// its repeat, at most eight ticks later, fall inside it.
constexpr qint64 kQueueAfterMs = 10000;
constexpr qint64 kTickMs = 1000;
// How late a tick may come while the machine is flooded: the station shares two cores with its
// partner and this test; a stopped clock is late by far more.
constexpr qint64 kTickSlackMs = 2000 * kTimeScale;
constexpr qint64 kRepeatTicks = 8;

const QByteArray kQueuedBody = "Zprava behem zaplavy";

std::string Std(const QByteArray &bytes)
{
    return bytes.toStdString();
}

// A flooded station prints a great deal; how it ended and the end of what it printed tell why.
std::string Described(const ChildProcess &process)
{
    constexpr std::size_t kHead = 200;
    constexpr std::size_t kTail = 4000;
    const std::string text = process.describe();
    if (text.size() <= kHead + kTail)
        return text;
    return text.substr(0, kHead) + "\n[...]\n" + text.substr(text.size() - kTail);
}

qint64 MonotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The resident set of a process in KiB, or -1.
qint64 ResidentKb(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The UDP counters of the network namespace a process lives in, by name ("InDatagrams", ...).
std::map<QByteArray, qint64> UdpCounters(pid_t pid)
{
    std::map<QByteArray, qint64> counters;
    QFile snmp(QStringLiteral("/proc/%1/net/snmp").arg(pid));
    if (!snmp.open(QIODevice::ReadOnly))
        return counters;
    QByteArrayList names;
    for (const QByteArray &line : snmp.readAll().split('\n')) {
        if (!line.startsWith("Udp: "))
            continue;
        const QByteArrayList fields = line.mid(5).split(' ');
        if (names.isEmpty()) {
            names = fields;
            continue;
        }
        for (qsizetype i = 0; i < std::min(names.size(), fields.size()); ++i)
            counters[names[i]] = fields[i].toLongLong();
        break;
    }
    return counters;
}

qint64 Delta(const std::map<QByteArray, qint64> &before,
             const std::map<QByteArray, qint64> &after,
             const QByteArray &name)
{
    const auto from = before.find(name);
    const auto to = after.find(name);
    return from == before.end() || to == after.end() ? -1 : to->second - from->second;
}

// The first line of the partner's output that begins with prefix and a blank, without them.
std::optional<QByteArray> Field(const ChildProcess &process, const QByteArray &prefix)
{
    for (const QByteArray &line : process.outputLines()) {
        if (line.startsWith(prefix + ' '))
            return line.mid(prefix.size() + 1);
    }
    return std::nullopt;
}

qint64 Number(const std::optional<QByteArray> &fields, int index)
{
    return fields ? fields->split(' ').value(index).toLongLong() : -1;
}

// "message <copy> <ms> <text> from <ip>" of the partner.
struct SeenMessage
{
    qint64 atMs = 0;
    QByteArray text;
    QByteArray from;
};

std::map<int, SeenMessage> SeenMessages(const ChildProcess &peer)
{
    std::map<int, SeenMessage> seen;
    for (const QByteArray &line : peer.outputLines()) {
        if (!line.startsWith("message "))
            continue;
        const QByteArrayList head = line.split(' ');
        const qsizetype textStart
                = head.value(0).size() + head.value(1).size() + head.value(2).size() + 3;
        const qsizetype fromStart = line.lastIndexOf(" from ");
        if (head.size() < 5 || fromStart < textStart)
            continue;
        seen[head[1].toInt()] = {head[2].toLongLong(),
                                 line.mid(textStart, fromStart - textStart),
                                 line.mid(fromStart + 6)};
    }
    return seen;
}

struct StationOutput
{
    qint64 stored = 0;      // messages not seen before, each stored and notified
    qint64 announced = 0;   // of those, the ones whose notification still found their entry
    qint64 statusLines = 0; // lines the status log gained
    qint64 newMessageLines = 0;
    bool confirmed = false; // its own queued message came back confirmed
};

StationOutput ReadStationOutput(const ChildProcess &station, const QByteArray &ownKey)
{
    const QByteArray newMessageLine = "status " + QStringLiteral("Nová zpráva od Flood").toUtf8();
    StationOutput output;
    for (const QByteArray &line : station.outputLines()) {
        if (line.startsWith("status ")) {
            ++output.statusLines;
            output.newMessageLines += line == newMessageLine ? 1 : 0;
        } else if (line.startsWith("event 2 ")) {
            ++output.stored;
            output.announced += line.startsWith("event 2 -1 ") ? 0 : 1;
        } else if (line.startsWith("event 1 ") && line.endsWith(' ' + ownKey)) {
            output.confirmed = true;
        }
    }
    return output;
}

// The key the station queued its own message under, as its notification names it.
QByteArray QueuedKey(const ChildProcess &station)
{
    for (const QByteArray &line : station.outputLines()) {
        if (line.startsWith("event 3 "))
            return line.split(' ').value(3);
    }
    return {};
}

class FloodTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hosts = std::make_unique<HostNamespaces>(2);
        if (m_hosts->status() == HostNamespaces::Status::Unavailable)
            GTEST_SKIP() << "two hosts cannot be simulated here: " << m_hosts->problem();
        std::string problem;
        if (!m_hosts->canNameHosts(&problem))
            GTEST_SKIP() << "the station cannot be given a host name of its own: " << problem;
        ASSERT_TRUE(m_hosts->status() == HostNamespaces::Status::Ready)
                << "the hosts could not be set up: " << m_hosts->problem();
        ASSERT_TRUE(m_hosts->waitUntilConnected(QDeadlineTimer(kConnectTimeoutMs), &problem))
                << problem;
    }

    void startStation()
    {
        ASSERT_TRUE(m_configuration.isValid()) << Std(m_configuration.errorString().toUtf8());
        QFile settings(m_configuration.filePath(QStringLiteral("veltrin.ini")));
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        ASSERT_TRUE(settings.write("[TCPIP]\r\nIDENT=" + kStationIdent + "\r\n") > 0);
        settings.close();
        const QByteArray configuration = QFile::encodeName(m_configuration.path());
        m_station.setEnvironment({"XDG_CONFIG_HOME=" + configuration,
                                  "XDG_DATA_HOME=" + configuration,
                                  "LC_ALL=C.UTF-8"});
        m_station.setInputPipe(true);
        std::string problem;
        ASSERT_TRUE(m_hosts->start(
                kStationHost, m_station, HEADLESS_STATION_PATH, {}, &problem, kStationName))
                << problem;
        ASSERT_TRUE(m_station.waitForLine("ready " + kStationName + ' ' + kPort,
                                          QDeadlineTimer(kReadyTimeoutMs)))
                << "the station did not start: " << Described(m_station);
    }

    void command(const QByteArray &line)
    {
        std::string problem;
        ASSERT_TRUE(m_station.writeInput(line + '\n', &problem)) << problem << "\n"
                                                                 << Described(m_station);
    }

    std::unique_ptr<HostNamespaces> m_hosts;
    QTemporaryDir m_configuration;
    ChildProcess m_station;
    ChildProcess m_peer;
};

TEST_F(FloodTest, StationLivesThroughHalfAMinuteOfHostileDatagrams)
{
    ASSERT_NO_FATAL_FAILURE(startStation());
    const pid_t stationPid = m_station.pid();
    const qint64 residentBefore = ResidentKb(stationPid);
    const std::map<QByteArray, qint64> countersBefore = UdpCounters(stationPid);
    ASSERT_GT(residentBefore, 0) << "no resident set for the station's process " << stationPid;

    std::string problem;
    const QByteArray stationAddress = m_hosts->address(kStationHost);
    const QByteArray peerAddress = m_hosts->address(kPeerHost);
    ASSERT_TRUE(m_hosts->start(kPeerHost,
                               m_peer,
                               FLOOD_PEER_PATH,
                               {stationAddress, QByteArray::number(kFloodSeconds)},
                               &problem))
            << problem;
    ASSERT_TRUE(m_peer.waitForLine("ready", QDeadlineTimer(kReadyTimeoutMs)))
            << "the partner did not start: " << Described(m_peer);
    const qsizetype floodingEnd = m_peer.waitForLineWhere(
            [](QByteArrayView line) { return line.startsWith("flooding "); },
            QDeadlineTimer(kReadyTimeoutMs));
    ASSERT_GE(floodingEnd, 0) << "the partner did not begin: " << Described(m_peer);
    const qint64 floodStart = Number(Field(m_peer, "flooding"), 0);

    // The station's output is read all the time, so that a full pipe never holds it up.
    const QDeadlineTimer floodEnd(kFloodEndTimeoutMs);
    qint64 queuedAt = -1;
    bool peerDone = false;
    while (!peerDone) {
        ASSERT_FALSE(m_station.hasFinished())
                << "the station ended during the flood: " << Described(m_station);
        ASSERT_FALSE(floodEnd.hasExpired()) << "the partner did not finish: " << Described(m_peer);
        m_station.waitForLineWhere([](QByteArrayView) { return false; },
                                   QDeadlineTimer(50),
                                   m_station.nextLineOffset());
        if (queuedAt < 0 && MonotonicMs() >= floodStart + kQueueAfterMs) {
            queuedAt = MonotonicMs();
            ASSERT_NO_FATAL_FAILURE(command("send " + peerAddress + ' ' + kQueuedBody));
        }
        peerDone = m_peer.waitForLine("done", QDeadlineTimer(1));
    }
    ASSERT_FALSE(m_station.hasFinished())
            << "the station ended during the flood: " << Described(m_station);

    // The station answers a command, so its loop still runs; by now its message is confirmed
    // and has left the queue.
    const qsizetype beforeQueue = m_station.nextLineOffset();
    ASSERT_NO_FATAL_FAILURE(command("queue"));
    EXPECT_GE(m_station.waitForLineWhere([](QByteArrayView line) { return line == "queue 0"; },
                                         QDeadlineTimer(kCommandTimeoutMs),
                                         beforeQueue),
              0)
            << "the station did not answer with an empty queue after the flood";
    const qint64 residentAfter = ResidentKb(stationPid);
    const std::map<QByteArray, qint64> countersAfter = UdpCounters(stationPid);

    m_station.closeInput();
    ASSERT_TRUE(m_station.waitForFinished(QDeadlineTimer(kCommandTimeoutMs)))
            << "the station did not end with its input: " << Described(m_station);
    EXPECT_EQ(m_station.exitCode(), 0) << Described(m_station);

    const QByteArray ownKey = QueuedKey(m_station);
    ASSERT_TRUE(ownKey.startsWith(kStationName + '~')) << Described(m_station);
    const StationOutput station = ReadStationOutput(m_station, ownKey);
    const qint64 sent = Number(Field(m_peer, "sent"), 0);
    const qint64 floodMs = Number(Field(m_peer, "sent"), 1);
    const std::optional<QByteArray> confirmed = Field(m_peer, "confirmed");
    const qint64 confirmedKeys = Number(confirmed, 0);
    const qint64 confirmations = Number(confirmed, 1);
    const qint64 stray = Number(confirmed, 2);
    const qint64 read = Delta(countersBefore, countersAfter, "InDatagrams");
    const qint64 dropped = Delta(countersBefore, countersAfter, "RcvbufErrors");
    const double seconds = double(std::max<qint64>(floodMs, 1)) / 1000.0;

    std::printf("[  flood   ] partner sent %lld datagrams in %.1f s: %.0f per s (%s)\n"
                "[  flood   ] %s\n"
                "[  flood   ] station socket took in %lld datagrams (%.0f per s), %lld dropped "
                "with its buffer full\n"
                "[  flood   ] station stored %lld new messages; partner saw %lld of its keys "
                "confirmed, %lld confirmations in all, %lld stray\n"
                "[  flood   ] %lld of the new messages announced, %lld not (their entry "
                "was gone first)\n"
                "[  flood   ] status log gained %lld lines, %.0f per s of flood\n"
                "[  flood   ] station resident memory %lld KiB before, %lld KiB after "
                "(%+lld KiB)\n",
                static_cast<long long>(sent),
                seconds,
                double(sent) / seconds,
                Field(m_peer, "kinds").value_or("?").constData(),
                ("send errors: " + Field(m_peer, "send-errors").value_or("?")).constData(),
                static_cast<long long>(read),
                double(read) / seconds,
                static_cast<long long>(dropped),
                static_cast<long long>(station.stored),
                static_cast<long long>(confirmedKeys),
                static_cast<long long>(confirmations),
                static_cast<long long>(stray),
                static_cast<long long>(station.announced),
                static_cast<long long>(station.stored - station.announced),
                static_cast<long long>(station.statusLines),
                double(station.statusLines) / seconds,
                static_cast<long long>(residentBefore),
                static_cast<long long>(residentAfter),
                static_cast<long long>(residentAfter - residentBefore));
    RecordProperty("datagrams_sent", std::to_string(sent));
    RecordProperty("datagrams_read", std::to_string(read));
    RecordProperty("keys_confirmed", std::to_string(confirmedKeys));
    RecordProperty("status_lines", std::to_string(station.statusLines));
    RecordProperty("rss_before_kib", std::to_string(residentBefore));
    RecordProperty("rss_after_kib", std::to_string(residentAfter));

    // It was a flood: far more came than the station could take in.
    EXPECT_GT(sent, 2 * read) << "the partner did not flood";
    EXPECT_GT(read, 0);

    // What it read of the messages it stored and confirmed; nothing it confirmed was made up.
    EXPECT_GT(station.stored, 0) << "the station stored none of the messages";
    EXPECT_GT(confirmedKeys, 0) << "the partner saw no confirmation at all";
    EXPECT_LE(confirmedKeys, station.stored)
            << "more keys were confirmed than the station stored messages";
    EXPECT_GE(confirmations, confirmedKeys);
    EXPECT_EQ(stray, 0) << "the station confirmed keys the partner never sent";
    // Every new message is announced with a line: each notification is handled before the next
    // datagram, so none finds its entry already dropped from the remembered keys.
    EXPECT_GT(station.announced, 0);
    EXPECT_EQ(station.announced, station.stored);
    EXPECT_EQ(station.newMessageLines, station.announced);

    // Its clock went on: the message queued in the flood went out at the next tick, and again
    // at the repeat eight ticks on, which the partner waited for before confirming it.
    ASSERT_GE(queuedAt, 0);
    const std::map<int, SeenMessage> seen = SeenMessages(m_peer);
    const QByteArray expectedText = '=' + ownKey + '|' + kStationIdent + '|' + kQueuedBody;
    ASSERT_TRUE(seen.count(1) && seen.count(2))
            << "the partner did not see the queued message twice: " << Described(m_peer);
    for (const auto &[copy, message] : seen) {
        EXPECT_EQ(Std(message.text), Std(expectedText)) << "copy " << copy;
        EXPECT_EQ(Std(message.from), Std(stationAddress)) << "copy " << copy;
    }
    const qint64 firstDelay = seen.at(1).atMs - queuedAt;
    const qint64 repeatDelay = seen.at(2).atMs - seen.at(1).atMs;
    std::printf("[  flood   ] queued message sent %lld ms after queuing, repeated %lld ms later\n",
                static_cast<long long>(firstDelay),
                static_cast<long long>(repeatDelay));
    EXPECT_GE(firstDelay, 0);
    EXPECT_LE(firstDelay, kTickMs + kTickSlackMs) << "the first attempt came late";
    EXPECT_GE(repeatDelay, kTickMs / 2) << "the repeat came before the next tick";
    EXPECT_LE(repeatDelay, kRepeatTicks * kTickMs + kTickSlackMs) << "the repeat came late";
    EXPECT_TRUE(station.confirmed) << "the station did not take the partner's confirmation";

    // Its memory grew by no more than its status log explains.
    ASSERT_GT(residentAfter, 0);
    const qint64 allowedKb
            = kFixedGrowthKb + station.statusLines * kGrowthPerStatusLineBytes / 1024;
    EXPECT_LE(residentAfter - residentBefore, allowedKb)
            << "the station's resident memory grew from " << residentBefore << " KiB to "
            << residentAfter << " KiB over " << read << " datagrams and " << station.statusLines
            << " status lines";
}

} // namespace
