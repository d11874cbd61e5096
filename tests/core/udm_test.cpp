#include "core/protocol.h"
#include "core/settings.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "support/isolatedresolver.h"
#include "support/printers.h"
#include "support/privatenetwork.h"
#include "support/rawpeer.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"
#include "support/teststation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

namespace {

// The station under test, sending to the test's raw peer (on loopback, or on the protocol port
// in a private network).
using Station = TestStation;
using Kind = StationRecord::Kind;

} // namespace

TEST(Station, AnUnansweredMessageIsSentEightTimesThenGivenUpOnce)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        ASSERT_TRUE(peer.bound());
        Station station;
        ASSERT_TRUE(station.dm->started());
        station.dm->QueueMessage("Jan", "127.0.0.1", "Ahoj");
        EXPECT_EQ(station.count(Kind::Queued), 1);
        EXPECT_EQ(station.dm->queueModel().rowCount(), 1);

        std::vector<int> ticksWithDatagrams;
        for (int tick = 1; tick <= 64; ++tick) {
            station.ticks(1);
            const bool due = tick == 1 || tick % 8 == 0;
            // A due attempt shows up at once on loopback; give it time, but none to others.
            const std::vector<QByteArray> arrived = peer.take(due && tick < 64 ? 2000 : 0);
            for (const QByteArray &datagram : arrived) {
                EXPECT_EQ(datagram, QByteArray("=PC7~1|Recepce|Ahoj"));
                ticksWithDatagrams.push_back(tick);
            }
        }
        EXPECT_EQ(ticksWithDatagrams, (std::vector<int>{1, 8, 16, 24, 32, 40, 48, 56}));
        EXPECT_EQ(station.count(Kind::GivenUp), 1);
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_TRUE(station.dm->queueModel().rows().empty());
        ASSERT_EQ(station.dm->tOut().count(), 1);
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 4);
        EXPECT_EQ(station.dm->tOut().row(0).lFLAG, QByteArray("Chyba!"));
        // Given up without a transport error: the line ends with the blank.
        EXPECT_EQ(station.statusLines().back(), QByteArray("Chyba: 127.0.0.1 "));
        station.ticks(16);
        EXPECT_TRUE(peer.take().empty());
    });
}

TEST(Station, TheTickCounterWrapsOntoAMultipleOfEight)
{
    EXPECT_EQ(Tdm::NextSendTick(0), 1);
    EXPECT_EQ(Tdm::NextSendTick(Tdm::kSendTickWrapLimit - 1), Tdm::kSendTickWrapLimit);
    EXPECT_EQ(Tdm::NextSendTick(Tdm::kSendTickWrapLimit), 8);
    // The last multiple of 8 before the wrap and the first after it are eight ticks apart, so
    // an entry waiting for its next attempt is not kept waiting longer across it.
    int tick = Tdm::kSendTickWrapLimit - 7;
    ASSERT_EQ(tick % 8, 0);
    int ticksToNextMultiple = 0;
    do {
        tick = Tdm::NextSendTick(tick);
        ++ticksToNextMultiple;
    } while (tick % 8 != 0);
    EXPECT_EQ(ticksToNextMultiple, 8);
    EXPECT_EQ(tick, 8);
}

TEST(Station, NewerMessagesGoFirstAndAConfirmationDuringThePumpStopsTheOlder)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        station.dm->QueueMessage("Jan", "127.0.0.1", "older");
        station.dm->QueueMessage("Eva", "127.0.0.1", "newer");
        int pumps = 0;
        station.dm->setPump([&] {
            // Between the newest entry and the older one, the older one's confirmation arrives.
            if (pumps++ == 0)
                peer.sendTo("#PC7~1");
            ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Confirmed) == 1; }));
        });
        station.ticks(1);
        const std::vector<QByteArray> sent = peer.take(2000);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], QByteArray("=PC7~2|Recepce|newer"));
        ASSERT_EQ(station.dm->outboundQueue().size(), 1u);
        EXPECT_EQ(station.dm->outboundQueue()[0].Key, QByteArray("PC7~2"));
        // The row of the confirmed message, and only it, is sent.
        EXPECT_EQ(station.dm->tOut().row(1).ID, 1);
        EXPECT_EQ(station.dm->tOut().row(1).FLAG, 1);
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 0);
        ASSERT_EQ(station.dm->queueModel().rows().size(), 1u);
        EXPECT_EQ(station.dm->queueModel().rows()[0].body, QByteArray("newer"));

        // Three entries at a tick that is due for all of them; the oldest is confirmed while
        // the newest has just been sent, which moves the others up. Each still goes out once.
        station.dm->QueueMessage("Petr", "127.0.0.1", "third");
        station.dm->QueueMessage("Jana", "127.0.0.1", "fourth");
        station.dm->setPump([] {});
        station.ticks(1); // the first attempts of the two new ones
        ASSERT_EQ(peer.takeCount(2).size(), 2u);
        station.ticksUntil(7);
        pumps = 0;
        station.dm->setPump([&] {
            if (pumps++ == 0)
                peer.sendTo("#PC7~2");
            ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Confirmed) == 2; }));
        });
        station.ticks(1);
        std::vector<QByteArray> due = peer.take(2000);
        std::sort(due.begin(), due.end());
        EXPECT_EQ(due, (std::vector<QByteArray>{"=PC7~3|Recepce|third", "=PC7~4|Recepce|fourth"}));
        EXPECT_EQ(station.dm->outboundQueue()[0].Attempts, 6);
        EXPECT_EQ(station.dm->outboundQueue()[1].Attempts, 6);
    });
}

TEST(Station, ASecondConfirmationChangesNothing)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        station.dm->QueueMessage("Jan", "127.0.0.1", "Ahoj");
        station.ticks(1);
        ASSERT_EQ(peer.take(2000).size(), 1u);
        peer.sendTo("#PC7~1");
        peer.sendTo("#PC7~1");
        peer.sendTo("#PC7~99"); // never queued
        peer.sendTo("=x");      // marks the end: its confirmation comes back to the peer
        ASSERT_EQ(peer.takeCount(1), std::vector<QByteArray>{"#x"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.statusLines().size() == 2; }));
        EXPECT_EQ(station.count(Kind::Confirmed), 1);
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 1);
        EXPECT_EQ(station.dm->tOut().row(0).lFLAG, EncodeWindows1250(u"Odeslaná"));
        EXPECT_EQ(station.statusLines(),
                  (std::vector<QByteArray>{"Konfirmace PC7~1",
                                           EncodeWindows1250(u"Nová zpráva od ") + "x"}));
    });
}

TEST(Station, RepeatsAreStoredOnceAndEachCopyIsConfirmedToTheFirstAddress)
{
    RUN_IN_PRIVATE_NETWORK([] {
        RawPeer first("127.0.0.1");
        RawPeer other("127.0.0.2");
        ASSERT_TRUE(first.bound() && other.bound());
        Station station;
        const QByteArray datagram = "=PC9~12|Sklad|a|b";
        first.sendTo(datagram);
        first.sendTo(datagram);
        other.sendTo(datagram); // a repeat from another address
        EXPECT_EQ(first.takeCount(3), (std::vector<QByteArray>{"#PC9~12", "#PC9~12", "#PC9~12"}));
        EXPECT_TRUE(other.take().empty());
        ASSERT_EQ(station.dm->tIn().count(), 1);
        EXPECT_EQ(station.dm->tIn().row(0).FROM, QByteArray("Sklad <127.0.0.1>"));
        EXPECT_EQ(station.dm->tIn().row(0).MSG, QByteArray("a|b"));
        EXPECT_EQ(station.dm->tIn().row(0).FLAG, 0);
        EXPECT_EQ(station.count(Kind::Received), 1);
        EXPECT_EQ(station.dm->receivedList().size(), 1u);
    });
}

TEST(Station, KeysAreRememberedForTenMinutesOrTheLast128AndABurstIsAnnouncedWhole)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station("[DATABASE]\r\nMAXRECS=1000\r\n");
        qint64 now = QDateTime::currentMSecsSinceEpoch();
        station.dm->setWallClock([&now] { return now; });
        int storedAhead = 0; // announcements that found later messages already stored
        QObject::connect(station.dm.get(), &Tdm::messageReceived, [&] {
            if (station.dm->tIn().count() != station.count(Kind::Received))
                ++storedAhead;
        });
        // Sent in bursts that the socket's buffer holds: the station reads them faster than they
        // are announced unless each announcement comes before the next datagram is read.
        for (int burst = 0; burst < 3; ++burst) {
            for (int i = 1; i <= 100; ++i)
                peer.sendTo("=PC9~" + QByteArray::number(burst * 100 + i) + "|Sklad|zprava");
            ASSERT_EQ(peer.takeCount(100).size(), 100u);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 300; }));
        EXPECT_EQ(storedAhead, 0);
        const std::vector<QByteArray> lines = station.statusLines();
        EXPECT_EQ(std::count(lines.begin(),
                             lines.end(),
                             EncodeWindows1250(u"Nová zpráva od ") + "Sklad"),
                  300);

        // A sender under loss may repeat the first of a burst after hundreds of others.
        peer.sendTo("=PC9~1|Sklad|zprava");
        ASSERT_EQ(peer.takeCount(1).size(), 1u);
        // Ten minutes on, only the last 128 are remembered.
        now += Tdm::kRepeatWindowMs + 1;
        peer.sendTo("=PC9~301|Sklad|zprava");
        ASSERT_EQ(peer.takeCount(1).size(), 1u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 301; }));
        EXPECT_EQ(station.dm->receivedList().size(), 128u);
        EXPECT_EQ(station.dm->receivedList().front().Key, QByteArray("PC9~174"));
        peer.sendTo("=PC9~1|Sklad|zprava");   // forgotten: stored and announced again
        peer.sendTo("=PC9~300|Sklad|zprava"); // remembered: only confirmed
        ASSERT_EQ(peer.takeCount(2).size(), 2u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 302; }));
        EXPECT_EQ(station.dm->tIn().count(), 302);
    });
}

TEST(Station, KeysBeyondThoseHeldInMemoryAreAskedOfTheStore)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        constexpr std::size_t kHeld = 200;
        station.dm->setMostKeysInMemory(kHeld);
        const int count = int(kHeld) + 100;
        for (int sent = 0; sent < count; sent += 100) {
            for (int i = sent + 1; i <= sent + 100; ++i)
                peer.sendTo("=PC9~" + QByteArray::number(i) + "|Sklad|zprava");
            ASSERT_EQ(peer.takeCount(100).size(), 100u);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == count; }));
        EXPECT_EQ(station.dm->receivedList().size(), kHeld);
        // The first hundred are no longer in memory, but came within the last ten minutes.
        peer.sendTo("=PC9~1|Sklad|zprava");
        peer.sendTo("=PC9~50|Sklad|jina zprava"); // a restarted sender's new message
        peer.sendTo("=PC9~" + QByteArray::number(count + 1) + "|Sklad|zprava");
        ASSERT_EQ(peer.takeCount(3).size(), 3u);
        // Each was handled to its end before its confirmation came back.
        EXPECT_EQ(station.count(Kind::Received), count + 2);
        EXPECT_EQ(station.dm->tIn().row(0).MSG, QByteArray("zprava"));
        EXPECT_EQ(station.dm->tIn().row(1).MSG, QByteArray("jina zprava"));
    });
}

TEST(Station, ARememberedKeyWithAnotherTextIsANewMessageFromARestartedSender)
{
    RUN_IN_PRIVATE_NETWORK([] {
        RawPeer first("127.0.0.1");
        RawPeer restarted("127.0.0.2");
        ASSERT_TRUE(first.bound() && restarted.bound());
        Station station;
        first.sendTo("=PC9~1|Sklad|vecer");
        first.sendTo("=PC9~1|Sklad|vecer");
        EXPECT_EQ(first.takeCount(2).size(), 2u);
        // The sender was switched off overnight and counts from 1 again.
        restarted.sendTo("=PC9~1|Sklad|rano");
        restarted.sendTo("=PC9~1|Sklad|rano");
        restarted.sendTo("=PC9~1|Sklad2|rano");
        EXPECT_EQ(restarted.takeCount(3), (std::vector<QByteArray>{"#PC9~1", "#PC9~1", "#PC9~1"}));
        EXPECT_TRUE(first.take().empty());

        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 3; }));
        ASSERT_EQ(station.dm->tIn().count(), 3);
        QByteArrayList stored;
        for (int i = 0; i < station.dm->tIn().count(); ++i)
            stored << station.dm->tIn().row(i).FROM + '|' + station.dm->tIn().row(i).MSG;
        std::sort(stored.begin(), stored.end());
        EXPECT_EQ(stored,
                  (QByteArrayList{"Sklad <127.0.0.1>|vecer",
                                  "Sklad <127.0.0.2>|rano",
                                  "Sklad2 <127.0.0.2>|rano"}));
        ASSERT_EQ(station.dm->receivedList().size(), 1u); // one key, the latest message under it
        EXPECT_EQ(station.dm->receivedList()[0].Ident, QByteArray("Sklad2"));
    });
}

namespace {

void ExpectSameRows(const HistoryTable &restored, const std::vector<HistoryRow> &before)
{
    ASSERT_EQ(restored.count(), int(before.size()));
    for (int i = 0; i < restored.count(); ++i) {
        const HistoryRow &row = restored.row(i);
        EXPECT_EQ(row.ID, before[i].ID);
        EXPECT_EQ(row.FLAG, before[i].FLAG);
        EXPECT_EQ(row.lFLAG, before[i].lFLAG);
        EXPECT_EQ(row.DATUM.toMSecsSinceEpoch(), before[i].DATUM.toMSecsSinceEpoch());
        EXPECT_EQ(row.FROM, before[i].FROM);
        EXPECT_EQ(row.MSG, before[i].MSG);
    }
}

std::vector<HistoryRow> RowsOf(const HistoryTable &table)
{
    std::vector<HistoryRow> rows;
    for (int i = 0; i < table.count(); ++i)
        rows.push_back(table.row(i));
    return rows;
}

bool SaysAtStart(const TestStation &station, const QByteArray &line)
{
    return QTest::qWaitFor([&] {
        const std::vector<QByteArray> &lines = station.statusLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
}

} // namespace

TEST(Station, MessagesOutliveARestartWithTheirIdsStatesTimesAndKeys)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        for (const char *text : {"=PC9~1|Sklad|prvni", "=PC9~2|Sklad|druha", "=PC9~3|Sklad|treti"})
            peer.sendTo(text);
        ASSERT_EQ(peer.takeCount(3).size(), 3u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 3; }));
        HistoryTable &in = station.dm->tIn();
        in.moveCursor(2); // ID 1
        station.dm->markRead();
        in.moveCursor(0); // ID 3
        station.dm->deleteCurrent(in);
        station.dm->QueueMessage("Sklad", "127.0.0.1", "odpoved");
        station.ticks(1);
        const std::vector<QByteArray> sent = peer.take(2000);
        ASSERT_EQ(sent.size(), 1u);
        peer.sendTo("#PC7~1");
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Confirmed) == 1; }));
        const std::vector<HistoryRow> received = RowsOf(in);
        const std::vector<HistoryRow> sentRows = RowsOf(station.dm->tOut());
        ASSERT_EQ(received.size(), 2u);

        station.restart();
        ExpectSameRows(station.dm->tIn(), received);
        ExpectSameRows(station.dm->tOut(), sentRows);
        EXPECT_EQ(station.dm->tOut().row(0).lFLAG, QByteArray("Odeslan\xE1"));
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_TRUE(SaysAtStart(station, EncodeWindows1250(u"Nepřečtené zprávy: 1")));
        EXPECT_TRUE(SaysAtStart(station, EncodeWindows1250(u"Obnovené zprávy: 3")));

        // The sender missed our confirmation before the restart: its repeat is confirmed and
        // not shown again; a new message goes on above the stored IDs.
        peer.sendTo("=PC9~2|Sklad|druha");
        peer.sendTo("=PC9~4|Sklad|ctvrta");
        EXPECT_EQ(peer.takeCount(2), (std::vector<QByteArray>{"#PC9~2", "#PC9~4"}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 1; }));
        EXPECT_EQ(station.dm->tIn().count(), 3);
        EXPECT_EQ(station.dm->tIn().row(0).MSG, QByteArray("ctvrta"));
        EXPECT_EQ(station.dm->tIn().row(0).ID, 3);
        EXPECT_TRUE(station.boxes.warnings.empty());
        EXPECT_TRUE(station.boxes.errors.empty());
    });
}

TEST(Station, AMessageStillWaitingIsSentAgainAfterARestartUnderItsKey)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        station.dm->QueueMessage("Jan", "127.0.0.1", "Zitra v osm");
        station.ticks(1);
        ASSERT_EQ(peer.take(2000), (std::vector<QByteArray>{"=PC7~1|Recepce|Zitra v osm"}));

        station.restart();
        ASSERT_EQ(station.dm->outboundQueue().size(), 1u);
        EXPECT_EQ(station.dm->queueModel().rowCount(), 1);
        EXPECT_TRUE(SaysAtStart(station, EncodeWindows1250(u"Zprávy znovu k odeslání: 1")));
        station.ticks(1); // not a multiple of 8, and it goes all the same
        EXPECT_EQ(peer.take(2000), (std::vector<QByteArray>{"=PC7~1|Recepce|Zitra v osm"}));
        EXPECT_EQ(station.dm->outboundQueue().front().Attempts, 6);
        // New messages are numbered above it, so the partner takes none for its repeat.
        station.dm->QueueMessage("Jan", "127.0.0.1", "Nova");
        EXPECT_GT(RowIdOfKey(station.dm->outboundQueue().back().Key).value_or(0), 1);

        peer.sendTo("#PC7~1");
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Confirmed) == 1; }));
        station.restart();
        ASSERT_EQ(station.dm->outboundQueue().size(), 1u);
        EXPECT_EQ(station.dm->outboundQueue().front().Body, QByteArray("Nova"));
        const HistoryTable &out = station.dm->tOut();
        ASSERT_EQ(out.count(), 2);
        EXPECT_EQ(out.row(1).ID, 1);
        EXPECT_EQ(out.row(1).FLAG, 1);
    });
}

TEST(Station, AStoreThatCannotBeReadIsSetAsideAndTheStationRunsOnAFreshOne)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        const QString path = station.dm->store().fileName();
        ASSERT_FALSE(path.isEmpty());
        station.record.reset();
        station.dm.reset();
        const QByteArray garbage(8192, '\x5a');
        for (const QString &file :
             {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")})
            QFile::remove(file);
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        }
        station.restart();
        ASSERT_TRUE(station.dm->started());
        ASSERT_EQ(station.boxes.warnings.size(), 1u);
        EXPECT_TRUE(station.boxes.warnings[0].contains(
                PathToWindows1250(path + QStringLiteral(".bak"))))
                << station.boxes.warnings[0].toStdString();
        EXPECT_TRUE(SaysAtStart(station, station.boxes.warnings[0]));
        QFile aside(path + QStringLiteral(".bak"));
        ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
        EXPECT_EQ(aside.readAll(), garbage);

        peer.sendTo("=PC9~1|Sklad|po opraveni");
        ASSERT_EQ(peer.takeCount(1).size(), 1u);
        station.restart();
        ASSERT_EQ(station.dm->tIn().count(), 1);
        EXPECT_EQ(station.dm->tIn().row(0).MSG, QByteArray("po opraveni"));
    });
}

TEST(Station, ARunStartsItsKeysAboveEveryKeyOfTheRunBefore)
{
    RUN_ON_LOOPBACK([] {
        UseSettings("[TCPIP]\r\nPORT=" + QByteArray::number(kTestStationPort) + "\r\n");
        UseFreshMessageStore();
        const auto rowIdOf = [](const QByteArray &key) {
            return key.mid(key.indexOf('~') + 1).toLongLong();
        };
        RecordingBoxes boxes;
        qint64 lastOfFirstRun = 0;
        {
            Tdm dm(
                    boxes, [] { return QByteArray("PC7"); }, nullptr, TestStationPorts());
            ASSERT_TRUE(dm.started());
            // Faster than the clock's tenths of a second: the run ends ahead of the clock.
            for (int i = 0; i < 5; ++i)
                dm.QueueMessage("Jan", "127.0.0.1", "Ahoj");
            const QByteArray firstKey = dm.outboundQueue().front().Key;
            EXPECT_EQ(firstKey.size(), 4 + 10) << firstKey.toStdString();
            lastOfFirstRun = rowIdOf(dm.outboundQueue().back().Key);
            EXPECT_EQ(lastOfFirstRun, rowIdOf(firstKey) + 4);
        }
        Tdm dm(
                boxes, [] { return QByteArray("PC7"); }, nullptr, TestStationPorts());
        ASSERT_TRUE(dm.started());
        // The five still wait, under their keys; the new one comes after them.
        dm.QueueMessage("Jan", "127.0.0.1", "Ahoj");
        ASSERT_EQ(dm.outboundQueue().size(), 6u);
        EXPECT_EQ(rowIdOf(dm.outboundQueue()[4].Key), lastOfFirstRun);
        const qint64 firstOfSecondRun = rowIdOf(dm.outboundQueue().back().Key);
        EXPECT_GT(firstOfSecondRun, lastOfFirstRun);
        EXPECT_LE(firstOfSecondRun, std::numeric_limits<qint32>::max());
        SetFlagByKey(dm.outboundQueue().back().Key, dm.tOut(), 1, boxes);
        EXPECT_EQ(dm.tOut().currentRow().FLAG, 1);
        EXPECT_TRUE(boxes.errors.empty());
        EXPECT_TRUE(boxes.warnings.empty());
    });
}

TEST(Station, ABoxOpenedWhileADatagramIsAnnouncedLetsNoOtherDatagramOrTickIn)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        station.dm->QueueMessage("Jan", "127.0.0.1", "waiting"); // due at the next tick
        int receivedInside = -1;
        std::vector<QByteArray> sentInside;
        QObject::connect(station.dm.get(), &Tdm::messageReceived, [&] {
            if (receivedInside >= 0)
                return;
            // A box's own event loop, while the second datagram waits in the socket and the
            // clock ticks.
            peer.sendTo("=PC9~2|Sklad|druha");
            station.dm->timTimer();
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            receivedInside = station.count(Kind::Received);
            sentInside = peer.take();
        });
        peer.sendTo("=PC9~1|Sklad|prvni");
        const std::vector<QByteArray> after = peer.takeCount(2);

        EXPECT_EQ(receivedInside, 1);
        // The first message is confirmed before it is announced; nothing else went out then.
        EXPECT_EQ(sentInside, std::vector<QByteArray>{"#PC9~1"});
        // Once the first is through, the second datagram and the tick that came meanwhile.
        EXPECT_EQ(station.count(Kind::Received), 2);
        EXPECT_EQ(QByteArrayList(after.begin(), after.end()).count("#PC9~2"), 1);
        EXPECT_EQ(QByteArrayList(after.begin(), after.end()).count("=PC7~1|Recepce|waiting"), 1);
        EXPECT_EQ(station.dm->sendTick(), 1);
    });
}

TEST(Station, KeysStayDistinctWhenTheHistoryKeepsNoRows)
{
    for (const QByteArray &maxRecs : {QByteArray("0"), QByteArray("-5")}) {
        RUN_ON_LOOPBACK([maxRecs] {
            RawPeer peer;
            Station station("[DATABASE]\r\nMAXRECS=" + maxRecs + "\r\n");
            station.dm->QueueMessage("Jan", "127.0.0.1", "one");
            station.dm->QueueMessage("Jan", "127.0.0.1", "two");
            EXPECT_EQ(station.dm->tOut().count(), 0);
            ASSERT_EQ(station.dm->outboundQueue().size(), 2u);
            EXPECT_EQ(station.dm->outboundQueue()[0].Key, QByteArray("PC7~1"));
            EXPECT_EQ(station.dm->outboundQueue()[1].Key, QByteArray("PC7~2"));
            EXPECT_TRUE(station.boxes.errors.empty());
        });
    }
}

TEST(Station, LongBodiesAreCutInTheHistoryOnlyAndIdsSurviveDeletion)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        const QByteArray body(450, 'x');
        station.dm->QueueMessage("Jan", "127.0.0.1", body);
        EXPECT_EQ(station.dm->tOut().row(0).MSG, body.left(400));
        station.ticks(1);
        const std::vector<QByteArray> sent = peer.take(2000);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(ParseBody(sent[0]), body);

        for (int i = 2; i <= 5; ++i)
            station.dm->QueueMessage("Jan", "127.0.0.1", "dalsi");
        ASSERT_EQ(station.dm->tOut().currentRow().ID, 5);
        DeleteCurrent(station.dm->tOut(), station.boxes);
        station.dm->QueueMessage("Jan", "127.0.0.1", "po smazani");
        EXPECT_EQ(station.dm->outboundQueue().back().Key, QByteArray("PC7~6"));
    });
}

TEST(Station, NamesAreResolvedOnceAndUnknownOnesGiveUpAtOnce)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolver("127.0.0.1 deskpc\n");
        RawPeer peer;
        Station station; // USEIP defaults to on
        station.dm->QueueMessage("Jan", "deskpc", "Ahoj");
        station.dm->QueueMessage("Eva", "no-such-desk", "Ahoj");
        station.ticks(1);
        ASSERT_EQ(peer.takeCount(1).size(), 1u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::GivenUp) == 1; }));
        ASSERT_EQ(station.dm->outboundQueue().size(), 1u);
        EXPECT_EQ(station.dm->outboundQueue()[0].Host, QByteArray("127.0.0.1"));
        // The two names are looked up side by side, so either answer may come first; the
        // unknown one's two lines come together.
        const std::vector<QByteArray> lines = station.statusLines();
        const std::vector<QByteArray> failure{
                "Chyba: no-such-desk:Socket Error # 11001\r\nHost not found.",
                "Chyba: no-such-desk Socket Error # 11001\r\nHost not found."};
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_TRUE(std::search(lines.begin(), lines.end(), failure.begin(), failure.end())
                    != lines.end());
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "deskpc: 127.0.0.1"), 1);
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 4); // newest row: the unknown desk
        station.ticks(7); // the next attempt goes to the address without resolving again
        EXPECT_EQ(peer.take(2000).size(), 1u);
        EXPECT_EQ(station.statusLines().size(), 3u);
    });
}

TEST(Station, WithoutUseIpTheTransportResolvesEveryAttempt)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolver("127.0.0.1 deskpc\n");
        RawPeer peer;
        Station station("USEIP=0\r\n"); // still in the TCPIP section
        station.dm->QueueMessage("Jan", "deskpc", "Ahoj");
        station.ticks(1);
        EXPECT_EQ(peer.takeCount(1).size(), 1u);
        station.ticks(7);
        EXPECT_EQ(peer.takeCount(1).size(), 1u);
        EXPECT_EQ(station.dm->outboundQueue()[0].Host, QByteArray("deskpc"));
        EXPECT_TRUE(station.statusLines().empty());
    });
}

TEST(Station, AStuckNameServerHoldsUpOnlyTheMessagesToItsNames)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolverWithStuckNameServer("127.0.0.1 deskpc\n");
        RawPeer peer;
        Station station;
        station.dm->QueueMessage("Jan", "stuck-desk", "Ahoj");
        station.dm->QueueMessage("Eva", "deskpc", "Ahoj");
        station.dm->QueueMessage("Petr", "127.0.0.1", "Ahoj");
        station.ticks(1);
        // The lookup of the stuck name takes the resolver's timeout of seconds; meanwhile the
        // other two go out, and a partner's message is stored and confirmed.
        peer.sendTo("=PC9~1|Sklad|dotaz");
        const std::vector<QByteArray> arrived = peer.takeCount(3);
        const QByteArrayList seen(arrived.begin(), arrived.end());
        EXPECT_TRUE(seen.contains("=PC7~2|Recepce|Ahoj")) << ::testing::PrintToString(seen);
        EXPECT_TRUE(seen.contains("=PC7~3|Recepce|Ahoj")) << ::testing::PrintToString(seen);
        EXPECT_TRUE(seen.contains("#PC9~1")) << ::testing::PrintToString(seen);
        EXPECT_EQ(station.count(Kind::Received), 1);
        EXPECT_EQ(station.count(Kind::GivenUp), 0);
        ASSERT_EQ(station.dm->outboundQueue().size(), 3u);
        EXPECT_EQ(station.dm->outboundQueue()[0].Host, QByteArray("stuck-desk"));
        // A tick while the name is still being looked up makes no second attempt of it.
        station.ticks(7);
        EXPECT_EQ(station.dm->outboundQueue()[0].Attempts, TMessageQueueItem::kAttempts - 1);
    });
}

TEST(Station, AFailureWhileADatagramIsHandledIsReportedOnceAndCostsOnlyThatDatagram)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        // The table refuses the message and the box that would say so fails in turn.
        station.dm->tIn().close();
        station.boxes.whileShown = [] {
            throw Error("the box cannot be shown");
        };
        peer.sendTo("=PC9~1|Sklad|prvni");
        ASSERT_TRUE(QTest::qWaitFor([&] { return !station.statusLines().empty(); }));
        station.boxes.whileShown = nullptr;
        OpenHistory(station.dm->tIn(), station.boxes);
        peer.sendTo("=PC9~2|Sklad|druha");
        // Handling ended where it failed, so the first was not confirmed; the second was.
        EXPECT_EQ(peer.takeCount(1), std::vector<QByteArray>{"#PC9~2"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Received) == 1; }));
        EXPECT_EQ(station.statusLines(),
                  (std::vector<QByteArray>{
                          EncodeWindows1250(u"Chyba příjmu: 127.0.0.1:the box cannot be shown"),
                          EncodeWindows1250(u"Nová zpráva od Sklad")}));
        EXPECT_EQ(station.dm->tIn().count(), 1);
    });
}

TEST(Station, ASocketThatCanNoLongerBeReadIsReportedOnce)
{
    RUN_ON_LOOPBACK([] {
        Station station;
        // The station's socket turns into something no datagram can be read from.
        int socketFd = -1;
        for (int fd = 0; fd < 1024 && socketFd < 0; ++fd) {
            sockaddr_in address{};
            socklen_t length = sizeof address;
            if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0
                && address.sin_family == AF_INET
                && ntohs(address.sin_port) == station.dm->listeningPort()) {
                socketFd = fd;
            }
        }
        ASSERT_GE(socketFd, 0);
        const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::dup2(devNull, socketFd), socketFd);
        ::close(devNull);
        const QByteArray expected = EncodeWindows1250(u"Stanice přestala přijímat zprávy: ")
                                    + "Socket Error # 10038\r\nSocket operation on non-socket.";
        ASSERT_TRUE(QTest::qWaitFor([&] { return !station.statusLines().empty(); }));
        // Always readable, the file would be reported again at every turn of the loop.
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents();
        EXPECT_EQ(station.statusLines(), std::vector<QByteArray>{expected});
    });
}

TEST(Station, AMessageToItselfIsReceivedAndConfirmed)
{
    RUN_IN_PRIVATE_NETWORK([] {
        Station station({}, kStationPort);
        station.dm->QueueMessage("Ja", "127.0.0.1", "sobe");
        station.ticks(1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.count(Kind::Confirmed) == 1; }));
        ASSERT_EQ(station.dm->tIn().count(), 1);
        EXPECT_EQ(station.dm->tIn().row(0).FROM, QByteArray("Recepce <127.0.0.1>"));
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 1);
        EXPECT_TRUE(station.dm->outboundQueue().empty());
    });
}

TEST(Station, AFailedStartShowsOneWarningAndAsksToQuit)
{
    RUN_ON_LOOPBACK([] {
        const QByteArray prefix = EncodeWindows1250(
                u"Program nelze spustit!\r\n\r\nMožné důvody: buď již jednou spuštěn je, nebo "
                u"není nainstalovaná podpora síťového protokolu TCP/IP.\r\nHlášení systému: ");
        const QByteArray suffix = EncodeWindows1250(
                u"\r\nPokud je již spuštěn, poklepejte na jeho ikonu v SysTray v pravém dolním "
                u"rohu.");
        {
            Station noName({}, kTestStationPort, QByteArray());
            EXPECT_FALSE(noName.dm->started());
            EXPECT_EQ(noName.boxes.warnings,
                      std::vector<QByteArray>{
                              prefix + EncodeWindows1250(u"Nelze získat jméno tohoto počítače!")
                              + suffix});
        }
        Station first;
        ASSERT_TRUE(first.dm->started());
        StationPorts taken = TestStationPorts();
        taken.listen = first.dm->listeningPort();
        Station second({}, kTestStationPort, "PC7", taken);
        EXPECT_FALSE(second.dm->started());
        EXPECT_EQ(second.boxes.warnings,
                  std::vector<QByteArray>{
                          prefix + "Could not bind socket. Address and port are already in use."
                          + suffix});
        // The quit request waits in the queue; the first station keeps its port meanwhile. The
        // guard goes with the test, so that it cannot end a later test's loop.
        QTimer guard;
        guard.setSingleShot(true);
        bool guardEnded = false;
        QObject::connect(&guard, &QTimer::timeout, QCoreApplication::instance(), [&] {
            guardEnded = true;
            QCoreApplication::quit();
        });
        guard.start(10000);
        QCoreApplication::exec();
        EXPECT_FALSE(guardEnded) << "no quit request was posted";
        EXPECT_NE(first.dm->listeningPort(), 0);
        EXPECT_TRUE(first.boxes.warnings.empty());
    });
}

TEST(Station, TheQueueModelHoldsARowPerAnnouncedEntryUntilItIsConfirmedOrGivenUp)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolver("127.0.0.1 deskpc\n");
        RawPeer peer;
        Station station;
        const OutboundQueueModel &model = station.dm->queueModel();
        QStringList changes; // each row change with the row count it left
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, [&](auto, int first, int last) {
            changes << QStringLiteral("+%1-%2=%3").arg(first).arg(last).arg(model.rowCount());
        });
        QObject::connect(&model, &QAbstractItemModel::rowsRemoved, [&](auto, int first, int last) {
            changes << QStringLiteral("-%1-%2=%3").arg(first).arg(last).arg(model.rowCount());
        });
        QObject::connect(&model, &QAbstractItemModel::modelReset, [&] {
            changes << QStringLiteral("reset");
        });

        const QDateTime before = QDateTime::currentDateTime();
        station.dm->QueueMessage("Jan", "deskpc", EncodeWindows1250(u"Dobrý den"));
        station.dm->QueueMessage("Eva", "127.0.0.1", EncodeWindows1250(u"Zítra až v devět"));
        EXPECT_EQ(model.rowCount(), 2);
        const QDateTime after = QDateTime::currentDateTime();
        EXPECT_EQ(changes, QStringList({QStringLiteral("+0-0=1"), QStringLiteral("+1-1=2")}));

        ASSERT_EQ(model.columnCount(), 3);
        const auto heading = [&](int column) {
            return model.headerData(column, Qt::Horizontal).toString();
        };
        EXPECT_EQ(heading(0), QStringLiteral("Čas"));
        EXPECT_EQ(heading(1), QStringLiteral("Příjemce"));
        EXPECT_EQ(heading(2), QStringLiteral("Zpráva"));
        const auto text = [&](int row, int column) {
            return model.index(row, column).data().toString();
        };
        const QDateTime shown = model.rows()[0].shown;
        EXPECT_TRUE(shown >= before && shown <= after);
        EXPECT_EQ(text(0, 0),
                  QLocale::system().toString(shown.date(), QLocale::ShortFormat) + QLatin1Char(' ')
                          + shown.time().toString(u"H:mm:ss"));
        EXPECT_EQ(text(0, 1), QStringLiteral("deskpc"));
        EXPECT_EQ(text(0, 2), QStringLiteral("Dobrý den"));
        EXPECT_EQ(text(1, 1), QStringLiteral("127.0.0.1"));
        EXPECT_EQ(text(1, 2), QStringLiteral("Zítra až v devět"));

        // The row keeps the host it was queued to when the name resolves.
        station.ticks(1);
        ASSERT_EQ(peer.takeCount(2).size(), 2u);
        EXPECT_EQ(station.dm->outboundQueue()[0].Host, QByteArray("127.0.0.1"));
        EXPECT_EQ(text(0, 1), QStringLiteral("deskpc"));

        // The older entry confirmed: its row goes and the newer one moves up.
        peer.sendTo("#PC7~1");
        ASSERT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 1; }));
        EXPECT_EQ(text(0, 2), QStringLiteral("Zítra až v devět"));
        // The newer one given up after its eighth attempt: the queue is empty and so is the
        // model.
        station.ticksUntil(64);
        EXPECT_EQ(station.count(Kind::GivenUp), 1);
        EXPECT_EQ(model.rowCount(), 0);
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_EQ(changes,
                  QStringList({QStringLiteral("+0-0=1"),
                               QStringLiteral("+1-1=2"),
                               QStringLiteral("-0-0=1"),
                               QStringLiteral("-0-0=0")}));
    });
}
