// Whole headless stations, each on a host of its own, talk over real UDP in real time. The
// hosts are network namespaces on one switched LAN, so every station can hold the fixed port
// and nothing reaches the machine's own network; a plain socket stands in where a test needs to
// watch the wire or to say something no station would.

#include "support/namespacepair.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kHostA = 0; // 198.18.0.1
constexpr int kHostB = 1; // 198.18.0.2
constexpr int kHostC = 2; // 198.18.0.3

constexpr int kConnectTimeoutMs = 10000;
constexpr int kReadyTimeoutMs = 10000;
constexpr int kCommandTimeoutMs = 5000;
// A message goes out at the first tick after it is queued; its round trip adds next to nothing.
constexpr int kDeliveryTimeoutMs = 10000;
// The last of eight attempts comes at most 57 ticks after the first, the give-up 8 ticks later.
constexpr int kGiveUpTimeoutMs = 80000;

constexpr qint64 kTickMs = 1000;
// The station's clock drifts a little with the load of the machine, and so does this process's
// view of it; far less than a tick over one retry interval.
constexpr qint64 kSlackMs = 1000;

const QByteArray kPort = "34888";

QByteArray Utf8(QStringView text)
{
    return text.toUtf8();
}

std::string Std(const QByteArray &bytes)
{
    return bytes.toStdString();
}

qint64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

// "event CODE POSITION KEY"; the position depends on what else is queued and is not checked.
bool IsEvent(QByteArrayView line, int code, const QByteArray &key)
{
    const QByteArrayList fields = line.toByteArray().split(' ');
    return fields.size() == 4 && fields[0] == "event" && fields[1] == QByteArray::number(code)
           && fields[3] == key;
}

qsizetype CountEvents(const ChildProcess &process, int code, const QByteArray &key)
{
    const QByteArrayList lines = process.outputLines();
    return std::count_if(lines.cbegin(), lines.cend(), [&](const QByteArray &line) {
        return IsEvent(line, code, key);
    });
}

qsizetype CountLines(const ChildProcess &process, const QByteArray &line)
{
    return process.outputLines().count(line);
}

// One "datagram <n> <ms> <text> from <ip>" line of a raw peer.
struct SeenDatagram
{
    qint64 atMs = 0;
    QByteArray text;
    QByteArray from;
};

std::vector<SeenDatagram> SeenDatagrams(const ChildProcess &peer)
{
    std::vector<SeenDatagram> seen;
    for (const QByteArray &line : peer.outputLines()) {
        if (!line.startsWith("datagram "))
            continue;
        const qsizetype timeStart = line.indexOf(' ', 9) + 1;
        const qsizetype textStart = line.indexOf(' ', timeStart) + 1;
        const qsizetype fromStart = line.lastIndexOf(" from ");
        if (timeStart <= 0 || textStart <= 0 || fromStart < textStart - 1)
            continue;
        seen.push_back({line.mid(timeStart, textStart - 1 - timeStart).toLongLong(),
                        line.mid(textStart, fromStart - textStart),
                        line.mid(fromStart + 6)});
    }
    return seen;
}

QByteArray RowIdOf(const QByteArray &key)
{
    return key.mid(key.indexOf('~') + 1);
}

std::vector<std::string> Sorted(const QByteArrayList &lines)
{
    std::vector<std::string> sorted;
    for (const QByteArray &line : lines)
        sorted.push_back(Std(line));
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

// A station with its own host name, which makes its keys, and its own settings file and
// message store; a station started again is given the home of the one before.
struct Station
{
    QByteArray hostName;
    QByteArray ident;
    QTemporaryDir configuration;
    QString home; // the configuration's directory unless set
    ChildProcess process;
};

class StationEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hosts = std::make_unique<HostNamespaces>(3);
        if (m_hosts->status() == HostNamespaces::Status::Unavailable)
            GTEST_SKIP() << "three hosts cannot be simulated here: " << m_hosts->problem();
        std::string problem;
        if (!m_hosts->canNameHosts(&problem))
            GTEST_SKIP() << "the stations cannot be given host names of their own: " << problem;
        ASSERT_TRUE(m_hosts->status() == HostNamespaces::Status::Ready)
                << "the hosts could not be set up: " << m_hosts->problem();
        ASSERT_TRUE(m_hosts->waitUntilConnected(QDeadlineTimer(kConnectTimeoutMs), &problem))
                << problem;
    }

    QByteArray address(int host) const { return m_hosts->address(host); }

    void
    startStation(int host, Station &station, const QByteArray &hostName, const QByteArray &ident)
    {
        station.hostName = hostName;
        station.ident = ident;
        ASSERT_TRUE(station.configuration.isValid())
                << Std(station.configuration.errorString().toUtf8());
        if (station.home.isEmpty())
            station.home = station.configuration.path();
        QFile settings(station.home + QStringLiteral("/veltrin.ini"));
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        ASSERT_TRUE(settings.write("[TCPIP]\r\nIDENT=" + ident + "\r\n") > 0);
        settings.close();

        station.process.setEnvironment({"XDG_CONFIG_HOME=" + QFile::encodeName(station.home),
                                        "XDG_DATA_HOME=" + QFile::encodeName(station.home),
                                        "LC_ALL=C.UTF-8"});
        station.process.setInputPipe(true);
        std::string problem;
        ASSERT_TRUE(m_hosts->start(
                host, station.process, HEADLESS_STATION_PATH, {}, &problem, hostName))
                << problem;
        ASSERT_TRUE(station.process.waitForLine("ready " + hostName + ' ' + kPort,
                                                QDeadlineTimer(kReadyTimeoutMs)))
                << "the station on " << Std(address(host))
                << " did not start: " << station.process.describe();
    }

    // Listens on the station port of the host, and sends datagram count times to target first
    // when count is above zero.
    void startRawPeer(int host,
                      ChildProcess &peer,
                      const QByteArray &target = {},
                      int count = 0,
                      const QByteArray &datagram = {})
    {
        QByteArrayList arguments{"raw"};
        if (count > 0)
            arguments << target << QByteArray::number(count) << datagram;
        peer.setInputPipe(true);
        std::string problem;
        ASSERT_TRUE(m_hosts->start(host, peer, WIRE_PEER_PATH, arguments, &problem)) << problem;
        ASSERT_TRUE(peer.waitForLine("ready", QDeadlineTimer(kReadyTimeoutMs)))
                << "the raw peer on " << Std(address(host))
                << " did not start: " << peer.describe();
    }

    // What the raw peer saw until now, all of it.
    void stopRawPeer(ChildProcess &peer, int expectedTotal)
    {
        peer.closeInput();
        ASSERT_TRUE(peer.waitForFinished(QDeadlineTimer(kCommandTimeoutMs)))
                << "the raw peer did not end with its input: " << peer.describe();
        EXPECT_EQ(peer.exitCode(), 0) << "the raw peer " << peer.describe();
        EXPECT_TRUE(peer.outputLines().contains("total " + QByteArray::number(expectedTotal)))
                << "the raw peer " << peer.describe();
    }

    void command(Station &station, const QByteArray &line)
    {
        std::string problem;
        ASSERT_TRUE(station.process.writeInput(line + '\n', &problem))
                << problem << "\nthe station " << station.process.describe();
    }

    void waitForLine(Station &station, const QByteArray &line, int timeoutMs = kDeliveryTimeoutMs)
    {
        ASSERT_TRUE(station.process.waitForLine(line, QDeadlineTimer(timeoutMs)))
                << "expected the line: " << Std(line) << "\nthe station "
                << station.process.describe();
    }

    void waitForEvent(Station &station,
                      int code,
                      const QByteArray &key,
                      int timeoutMs = kDeliveryTimeoutMs)
    {
        ASSERT_GE(station.process.waitForLineWhere(
                          [&](QByteArrayView line) { return IsEvent(line, code, key); },
                          QDeadlineTimer(timeoutMs)),
                  0)
                << "expected event " << code << " of " << Std(key) << "\nthe station "
                << station.process.describe();
    }

    // Queues a message at the station and gives the key the station sends it under, as the
    // notification of its queueing names it.
    void send(Station &station, const QByteArray &to, const QByteArray &text, QByteArray *key)
    {
        const qsizetype from = station.process.nextLineOffset();
        ASSERT_NO_FATAL_FAILURE(command(station, "send " + to + ' ' + text));
        const auto queued = [](QByteArrayView line) {
            return line.startsWith("event 3 ");
        };
        ASSERT_GE(station.process.waitForLineWhere(queued, QDeadlineTimer(kCommandTimeoutMs), from),
                  0)
                << "the message was not queued: " << station.process.describe();
        const QByteArrayList lines = station.process.outputLines(from);
        *key = std::find_if(lines.cbegin(), lines.cend(), queued)->split(' ').value(3);
        ASSERT_TRUE(key->startsWith(station.hostName + '~')) << Std(*key);
    }

    // The rows of both histories. Whatever the station had to report before the command has
    // been printed by the time the rows come.
    void readTables(Station &station, QByteArrayList *rows)
    {
        const qsizetype from = station.process.nextLineOffset();
        ASSERT_NO_FATAL_FAILURE(command(station, "tables"));
        const qsizetype end = station.process.waitForLineWhere(
                [](QByteArrayView line) { return line == "end tables"; },
                QDeadlineTimer(kCommandTimeoutMs),
                from);
        ASSERT_GE(end, 0) << "no end of the tables: " << station.process.describe();
        rows->clear();
        for (const QByteArray &line : station.process.outputLines(from)) {
            if (line == "end tables")
                break;
            if (line.startsWith("in ") || line.startsWith("out "))
                *rows << line;
        }
    }

    void readQueue(Station &station, QByteArray *answer)
    {
        const qsizetype from = station.process.nextLineOffset();
        ASSERT_NO_FATAL_FAILURE(command(station, "queue"));
        const qsizetype end = station.process.waitForLineWhere(
                [](QByteArrayView line) { return line.startsWith("queue "); },
                QDeadlineTimer(kCommandTimeoutMs),
                from);
        ASSERT_GE(end, 0) << "no answer to \"queue\": " << station.process.describe();
        const QByteArrayList lines = station.process.outputLines(from);
        const auto found = std::find_if(lines.cbegin(), lines.cend(), [](const QByteArray &line) {
            return line.startsWith("queue ");
        });
        *answer = found == lines.cend() ? QByteArray() : *found;
    }

    // Ended by the end of its input, or by a signal that asks a program to end: either way it
    // ends in order, with status 0.
    void stopStation(Station &station, int signalNumber = 0)
    {
        if (signalNumber == 0)
            station.process.closeInput();
        else
            ::kill(station.process.pid(), signalNumber);
        ASSERT_TRUE(station.process.waitForFinished(QDeadlineTimer(kCommandTimeoutMs)))
                << "the station did not end: " << station.process.describe();
        EXPECT_EQ(station.process.exitCode(), 0) << "the station " << station.process.describe();
    }

    // Declared first, so that every program is killed before its namespace is deleted.
    std::unique_ptr<HostNamespaces> m_hosts;
};

TEST_F(StationEndToEndTest, MessageIsDeliveredStoredAndConfirmed)
{
    Station a;
    Station b;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostA, a, "stationa", "Recepce"));
    ASSERT_NO_FATAL_FAILURE(startStation(kHostB, b, "stationb", "Pokladna"));
    QByteArray key;
    ASSERT_NO_FATAL_FAILURE(send(a, address(kHostB), "Ahoj z A", &key));

    ASSERT_NO_FATAL_FAILURE(waitForEvent(b, 2, key));
    ASSERT_NO_FATAL_FAILURE(waitForLine(b, Utf8(u"status Nová zpráva od Recepce")));
    ASSERT_NO_FATAL_FAILURE(waitForEvent(a, 1, key));
    ASSERT_NO_FATAL_FAILURE(waitForLine(a, "status Konfirmace " + key));

    QByteArrayList rows;
    ASSERT_NO_FATAL_FAILURE(readTables(b, &rows));
    EXPECT_EQ(Sorted(rows),
              Sorted({Utf8(u"in 1 0 Nová Recepce <") + address(kHostA) + ">|Ahoj z A"}));
    EXPECT_EQ(CountEvents(b.process, 2, key), 1) << "the station B " << b.process.describe();
    EXPECT_EQ(CountLines(b.process, Utf8(u"status Nová zpráva od Recepce")), 1)
            << "the station B " << b.process.describe();

    ASSERT_NO_FATAL_FAILURE(readTables(a, &rows));
    EXPECT_EQ(Sorted(rows),
              Sorted({"out " + RowIdOf(key) + Utf8(u" 1 Odeslaná ") + address(kHostB) + " <"
                      + address(kHostB) + ">|Ahoj z A"}));
    QByteArray queue;
    ASSERT_NO_FATAL_FAILURE(readQueue(a, &queue));
    EXPECT_EQ(Std(queue), "queue 0");
    EXPECT_EQ(CountEvents(a.process, 3, key), 1) << "the station A " << a.process.describe();
    EXPECT_EQ(CountEvents(a.process, 1, key), 1) << "the station A " << a.process.describe();
    EXPECT_EQ(CountLines(a.process, "status Konfirmace " + key), 1)
            << "the station A " << a.process.describe();

    ASSERT_NO_FATAL_FAILURE(stopStation(a, SIGTERM));
    ASSERT_NO_FATAL_FAILURE(stopStation(b, SIGINT));
}

TEST_F(StationEndToEndTest, MessageNobodyConfirmsIsSentEightTimesThenGivenUp)
{
    // C only counts: a host that is there but runs no station.
    ChildProcess counter;
    ASSERT_NO_FATAL_FAILURE(startRawPeer(kHostC, counter));
    Station a;
    Station b;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostA, a, "stationa", "Recepce"));
    ASSERT_NO_FATAL_FAILURE(startStation(kHostB, b, "stationb", "Pokladna"));
    QByteArray lostKey;
    const qint64 queuedAtMs = NowMs();
    ASSERT_NO_FATAL_FAILURE(send(a, address(kHostC), "Nikdo tu neni", &lostKey));
    ASSERT_NO_FATAL_FAILURE(waitForEvent(a, 4, lostKey, kGiveUpTimeoutMs));
    const qint64 givenUpAtMs = NowMs();
    ASSERT_NO_FATAL_FAILURE(waitForLine(a, "status Chyba: " + address(kHostC) + ' '));

    // A message queued now goes out at the next tick, so once it is confirmed, a tick has passed
    // since the give-up in which the lost message could have been sent or reported again.
    QByteArray laterKey;
    ASSERT_NO_FATAL_FAILURE(send(a, address(kHostB), "Po chybe", &laterKey));
    EXPECT_EQ(RowIdOf(laterKey).toLongLong(), RowIdOf(lostKey).toLongLong() + 1);
    ASSERT_NO_FATAL_FAILURE(waitForEvent(a, 1, laterKey));
    QByteArray queue;
    ASSERT_NO_FATAL_FAILURE(readQueue(a, &queue));
    EXPECT_EQ(Std(queue), "queue 0");
    ASSERT_NO_FATAL_FAILURE(stopRawPeer(counter, 8));

    const std::vector<SeenDatagram> seen = SeenDatagrams(counter);
    ASSERT_EQ(seen.size(), 8u) << "the counter " << counter.describe();
    for (const SeenDatagram &datagram : seen) {
        EXPECT_EQ(Std(datagram.text), "=" + Std(lostKey) + "|Recepce|Nikdo tu neni");
        EXPECT_EQ(Std(datagram.from), Std(address(kHostA)));
    }
    // The first attempt comes at the first tick; the second at the next tick whose count is a
    // multiple of 8, which may be any of the eight after it; every later one 8 ticks on; the
    // give-up 8 ticks after the last.
    EXPECT_GE(seen[0].atMs, queuedAtMs - kSlackMs);
    EXPECT_LE(seen[0].atMs - queuedAtMs, kTickMs + kSlackMs);
    EXPECT_GE(seen[1].atMs - seen[0].atMs, kTickMs - kSlackMs / 2);
    EXPECT_LE(seen[1].atMs - seen[0].atMs, 8 * kTickMs + kSlackMs);
    for (std::size_t i = 2; i < seen.size(); ++i) {
        EXPECT_NEAR(seen[i].atMs - seen[i - 1].atMs, 8 * kTickMs, kSlackMs)
                << "between attempts " << i << " and " << i + 1;
    }
    EXPECT_NEAR(givenUpAtMs - seen[7].atMs, 8 * kTickMs, kSlackMs);
    EXPECT_GE(givenUpAtMs - seen[0].atMs, 57 * kTickMs - kSlackMs);
    EXPECT_LE(givenUpAtMs - seen[0].atMs, 64 * kTickMs + kSlackMs);

    EXPECT_EQ(CountEvents(a.process, 4, lostKey), 1) << "the station A " << a.process.describe();
    EXPECT_EQ(CountLines(a.process, "status Chyba: " + address(kHostC) + ' '), 1)
            << "the station A " << a.process.describe();
    QByteArrayList rows;
    ASSERT_NO_FATAL_FAILURE(readTables(a, &rows));
    EXPECT_EQ(Sorted(rows),
              Sorted({"out " + RowIdOf(lostKey) + " 4 Chyba! " + address(kHostC) + " <"
                              + address(kHostC) + ">|Nikdo tu neni",
                      "out " + RowIdOf(laterKey) + Utf8(u" 1 Odeslaná ") + address(kHostB) + " <"
                              + address(kHostB) + ">|Po chybe"}));
    // Only the message meant for B reached B.
    ASSERT_NO_FATAL_FAILURE(readTables(b, &rows));
    EXPECT_EQ(Sorted(rows),
              Sorted({Utf8(u"in 1 0 Nová Recepce <") + address(kHostA) + ">|Po chybe"}));

    ASSERT_NO_FATAL_FAILURE(stopStation(a));
    ASSERT_NO_FATAL_FAILURE(stopStation(b));
}

TEST_F(StationEndToEndTest, RepeatedDatagramIsStoredOnceAndConfirmedEachTime)
{
    Station b;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostB, b, "stationb", "Pokladna"));
    // A sender that missed the confirmations sends the same message again; C plays it without
    // a station, so that it can hold the port the confirmations come to.
    const QByteArray key = "X~1";
    ChildProcess sender;
    ASSERT_NO_FATAL_FAILURE(
            startRawPeer(kHostC, sender, address(kHostB), 3, "=" + key + "|Raw|opakovani"));

    ASSERT_GE(sender.waitForLineWhere(
                      [](QByteArrayView line) { return line.startsWith("datagram 3 "); },
                      QDeadlineTimer(kDeliveryTimeoutMs)),
              0)
            << "three confirmations did not come: " << sender.describe();
    ASSERT_NO_FATAL_FAILURE(waitForEvent(b, 2, key));

    QByteArrayList rows;
    ASSERT_NO_FATAL_FAILURE(readTables(b, &rows));
    const QByteArray stored = Utf8(u"in 1 0 Nová Raw <") + address(kHostC) + ">|opakovani";
    EXPECT_EQ(Sorted(rows), Sorted({stored}));
    EXPECT_EQ(CountEvents(b.process, 2, key), 1) << "the station B " << b.process.describe();
    EXPECT_EQ(CountLines(b.process, Utf8(u"status Nová zpráva od Raw")), 1)
            << "the station B " << b.process.describe();

    ASSERT_NO_FATAL_FAILURE(stopRawPeer(sender, 3));
    const std::vector<SeenDatagram> seen = SeenDatagrams(sender);
    ASSERT_EQ(seen.size(), 3u) << "the sender " << sender.describe();
    for (const SeenDatagram &datagram : seen) {
        EXPECT_EQ(Std(datagram.text), "#" + Std(key));
        EXPECT_EQ(Std(datagram.from), Std(address(kHostB)));
    }

    ASSERT_NO_FATAL_FAILURE(stopStation(b));
}

TEST_F(StationEndToEndTest, LongHostNamesAndARestartedSenderAreEachShown)
{
    // Two desks whose names share their first fifteen characters, and a reception that must
    // tell them apart; then the first desk is restarted and writes again.
    Station one;
    Station two;
    Station reception;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostA, one, "accounting-pc-01", "Ucetni 1"));
    ASSERT_NO_FATAL_FAILURE(startStation(kHostB, two, "accounting-pc-02", "Ucetni 2"));
    ASSERT_NO_FATAL_FAILURE(startStation(kHostC, reception, "reception", "Recepce"));

    QByteArray fromOne;
    QByteArray fromTwo;
    ASSERT_NO_FATAL_FAILURE(send(one, address(kHostC), "Faktury", &fromOne));
    ASSERT_NO_FATAL_FAILURE(send(two, address(kHostC), "Dobropisy", &fromTwo));
    ASSERT_NO_FATAL_FAILURE(waitForEvent(one, 1, fromOne));
    ASSERT_NO_FATAL_FAILURE(waitForEvent(two, 1, fromTwo));
    ASSERT_NO_FATAL_FAILURE(stopStation(one));

    Station oneAgain;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostA, oneAgain, "accounting-pc-01", "Ucetni 1"));
    QByteArray afterRestart;
    ASSERT_NO_FATAL_FAILURE(send(oneAgain, address(kHostC), "Rano", &afterRestart));
    EXPECT_GT(RowIdOf(afterRestart).toLongLong(), RowIdOf(fromOne).toLongLong());
    ASSERT_NO_FATAL_FAILURE(waitForEvent(oneAgain, 1, afterRestart));

    for (const QByteArray &key : {fromOne, fromTwo, afterRestart}) {
        ASSERT_NO_FATAL_FAILURE(waitForEvent(reception, 2, key));
        EXPECT_EQ(CountEvents(reception.process, 2, key), 1) << Std(key);
    }
    EXPECT_EQ(CountLines(reception.process, Utf8(u"status Nová zpráva od Ucetni 1")), 2)
            << "the reception " << reception.process.describe();
    EXPECT_EQ(CountLines(reception.process, Utf8(u"status Nová zpráva od Ucetni 2")), 1)
            << "the reception " << reception.process.describe();
    QByteArrayList rows;
    ASSERT_NO_FATAL_FAILURE(readTables(reception, &rows));
    EXPECT_EQ(rows.size(), 3) << "the reception " << reception.process.describe();

    ASSERT_NO_FATAL_FAILURE(stopStation(oneAgain));
    ASSERT_NO_FATAL_FAILURE(stopStation(two));
    ASSERT_NO_FATAL_FAILURE(stopStation(reception));
}

// Nothing a desk confirmed is lost when its station ends: not at the end of a session with
// nothing read yet, nor when it is killed right after a confirmation.
TEST_F(StationEndToEndTest, ConfirmedMessagesOutliveTheEndOfTheReceivingStation)
{
    Station a;
    Station b;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostA, a, "stationa", "Recepce"));
    ASSERT_NO_FATAL_FAILURE(startStation(kHostB, b, "stationb", "Pokladna"));
    QByteArray evening;
    ASSERT_NO_FATAL_FAILURE(send(a, address(kHostB), "Porada v osm", &evening));
    ASSERT_NO_FATAL_FAILURE(waitForEvent(a, 1, evening));
    ASSERT_NO_FATAL_FAILURE(stopStation(b, SIGTERM));

    Station morning;
    morning.home = b.home;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostB, morning, "stationb", "Pokladna"));
    ASSERT_NO_FATAL_FAILURE(waitForLine(morning, Utf8(u"status Nepřečtené zprávy: 1")));
    QByteArray late;
    ASSERT_NO_FATAL_FAILURE(send(a, address(kHostB), "Druhá zpráva", &late));
    ASSERT_NO_FATAL_FAILURE(waitForEvent(a, 1, late));
    ::kill(morning.process.pid(), SIGKILL);
    ASSERT_TRUE(morning.process.waitForFinished(QDeadlineTimer(kCommandTimeoutMs)));

    Station after;
    after.home = b.home;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostB, after, "stationb", "Pokladna"));
    QByteArrayList rows;
    ASSERT_NO_FATAL_FAILURE(readTables(after, &rows));
    const QByteArray from = Utf8(u" 0 Nová Recepce <") + address(kHostA) + ">|";
    EXPECT_EQ(Sorted(rows),
              Sorted({"in 1" + from + "Porada v osm", "in 2" + from + "Druhá zpráva"}));
    ASSERT_NO_FATAL_FAILURE(stopStation(after, SIGTERM));
    ASSERT_NO_FATAL_FAILURE(stopStation(a, SIGTERM));
}

// A station that queued faster than its keys' clock ends at once when asked, and its next run
// sends what was still waiting under the same keys and numbers new messages above them.
TEST_F(StationEndToEndTest, AQuitRightAfterABurstEndsAtOnceAndTheNextRunCarriesOn)
{
    ChildProcess silent; // takes every message and confirms none
    ASSERT_NO_FATAL_FAILURE(startRawPeer(kHostC, silent));
    Station a;
    ASSERT_NO_FATAL_FAILURE(startStation(kHostA, a, "stationa", "Recepce"));
    constexpr int kBurst = 200;
    QByteArrayList keys;
    for (int i = 0; i < kBurst; ++i) {
        QByteArray key;
        ASSERT_NO_FATAL_FAILURE(send(a, address(kHostC), "zprava" + QByteArray::number(i), &key));
        keys << key;
    }
    // Before, the end waited until the clock had passed the last key, 10 s and more here.
    ASSERT_NO_FATAL_FAILURE(stopStation(a, SIGTERM));

    Station again;
    again.home = a.home;
    const qsizetype restartedAt = silent.nextLineOffset();
    ASSERT_NO_FATAL_FAILURE(startStation(kHostA, again, "stationa", "Recepce"));
    ASSERT_NO_FATAL_FAILURE(waitForLine(
            again, Utf8(u"status Zprávy znovu k odeslání: ") + QByteArray::number(kBurst)));
    // The last one queued, sent again under its own key.
    const QByteArray last
            = " =" + keys.back() + "|Recepce|zprava" + QByteArray::number(kBurst - 1) + " from ";
    EXPECT_GE(silent.waitForLineWhere(
                      [&](QByteArrayView line) {
                          return line.startsWith("datagram ") && line.toByteArray().contains(last);
                      },
                      QDeadlineTimer(kDeliveryTimeoutMs),
                      restartedAt),
              0)
            << "not sent again under its key: " << silent.describe();
    QByteArray next;
    ASSERT_NO_FATAL_FAILURE(send(again, address(kHostC), "po restartu", &next));
    EXPECT_GT(RowIdOf(next).toLongLong(), RowIdOf(keys.back()).toLongLong());
    ASSERT_NO_FATAL_FAILURE(stopStation(again, SIGTERM));
    silent.closeInput();
}

} // namespace
