#include "core/headlessreceiver.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "support/isolatedresolver.h"
#include "support/printers.h"
#include "support/privatenetwork.h"
#include "support/rawpeer.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

namespace {

// A station that sends to the test's raw peer (on loopback, or on the protocol port in a private
// network), its clock stopped so that the test drives each tick, and the headless receiver
// doing what the window does with the notifications.
struct Station
{
    explicit Station(const QByteArray &extraSettings = {},
                     quint16 port = kTestStationPort,
                     const QByteArray &computerName = "PC7",
                     const StationPorts &ports = TestStationPorts())
    {
        UseSettings("[TCPIP]\r\nPORT=" + QByteArray::number(port) + "\r\nIDENT=Recepce\r\n"
                    + extraSettings);
        dm = MakeTestStation(boxes, computerName, ports);
        receiver = std::make_unique<HeadlessReceiver>(*dm);
        receiver->setEventSink([this](const StationEvent &event, int position) {
            events.push_back({event.code(), position});
        });
        dm->setStationEventReceiver(receiver.get());
    }

    int countEvents(int code) const
    {
        return int(std::count_if(
                events.begin(), events.end(), [code](const auto &e) { return e.first == code; }));
    }

    void ticks(int count)
    {
        for (int i = 0; i < count; ++i)
            dm->timTimer();
    }

    RecordingBoxes boxes;
    std::unique_ptr<Tdm> dm;
    std::unique_ptr<HeadlessReceiver> receiver;
    std::vector<std::pair<int, int>> events; // code, position when handled
};

} // namespace

TEST(Station, AnUnansweredMessageIsSentEightTimesThenGivenUpOnce)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        ASSERT_TRUE(peer.bound());
        Station station;
        ASSERT_TRUE(station.dm->started());
        station.dm->QueueMessage("Jan", "127.0.0.1", "Ahoj");
        EXPECT_EQ(station.receiver->queueRows().size(), 0u); // seQueued not handled yet

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
        EXPECT_EQ(station.countEvents(seFailed), 1);
        EXPECT_TRUE(station.dm->OutboundQueue.empty());
        EXPECT_TRUE(station.receiver->queueRows().empty());
        ASSERT_EQ(station.dm->tOut.count(), 1);
        EXPECT_EQ(station.dm->tOut.row(0).FLAG, 4);
        EXPECT_EQ(station.dm->tOut.row(0).lFLAG, QByteArray("Chyba!"));
        // Given up without a transport error: the line ends with the blank.
        EXPECT_EQ(station.receiver->statusLines().back(), QByteArray("Chyba: 127.0.0.1 "));
        station.ticks(16);
        EXPECT_TRUE(peer.take().empty());
    });
}

TEST(Station, TheTickCounterWrapsOntoAMultipleOfEight)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        station.dm->SendTick = Tdm::kSendTickWrapLimit - 1;
        station.dm->QueueMessage("Jan", "127.0.0.1", "Ahoj");
        station.ticks(1); // first attempt, SendTick at the limit
        EXPECT_EQ(station.dm->SendTick, Tdm::kSendTickWrapLimit);
        EXPECT_EQ(peer.take(2000).size(), 1u);
        station.ticks(1); // wraps to 8, which is due
        EXPECT_EQ(station.dm->SendTick, 8);
        EXPECT_EQ(peer.take(2000).size(), 1u);
        EXPECT_EQ(station.dm->OutboundQueue.front()->Attempts, 6);
    });
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
            ASSERT_TRUE(QTest::qWaitFor([&] { return station.countEvents(seConfirmed) == 1; }));
        });
        station.ticks(1);
        const std::vector<QByteArray> sent = peer.take(2000);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], QByteArray("=PC7~2|Recepce|newer"));
        ASSERT_EQ(station.dm->OutboundQueue.size(), 1u);
        EXPECT_EQ(station.dm->OutboundQueue[0]->Key, QByteArray("PC7~2"));
        // The row of the confirmed message, and only it, is sent.
        EXPECT_EQ(station.dm->tOut.row(1).ID, 1);
        EXPECT_EQ(station.dm->tOut.row(1).FLAG, 1);
        EXPECT_EQ(station.dm->tOut.row(0).FLAG, 0);
        ASSERT_EQ(station.receiver->queueRows().size(), 1u);
        EXPECT_EQ(station.receiver->queueRows()[0].body, QByteArray("newer"));
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
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.receiver->statusLines().size() == 2; }));
        EXPECT_EQ(station.countEvents(seConfirmed), 1);
        EXPECT_TRUE(station.dm->OutboundQueue.empty());
        EXPECT_EQ(station.dm->tOut.row(0).FLAG, 1);
        EXPECT_EQ(station.dm->tOut.row(0).lFLAG, EncodeWindows1250(u"Odeslaná"));
        EXPECT_EQ(station.receiver->statusLines(),
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
        ASSERT_EQ(station.dm->tIn.count(), 1);
        EXPECT_EQ(station.dm->tIn.row(0).FROM, QByteArray("Sklad <127.0.0.1>"));
        EXPECT_EQ(station.dm->tIn.row(0).MSG, QByteArray("a|b"));
        EXPECT_EQ(station.dm->tIn.row(0).FLAG, 0);
        EXPECT_EQ(station.countEvents(seReceived), 1);
        EXPECT_EQ(station.dm->ReceivedList.size(), 1u);
    });
}

TEST(Station, OnlyTheLast128KeysAreRememberedAndABurstIsAnnouncedWhole)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station("[DATABASE]\r\nMAXRECS=1000\r\n");
        int storedAhead = 0; // notifications that found later messages already stored
        station.receiver->setEventSink([&](const StationEvent &event, int position) {
            station.events.push_back({event.code(), position});
            if (event.code() == seReceived
                && station.dm->tIn.count() != station.countEvents(seReceived)) {
                ++storedAhead;
            }
        });
        // Sent in bursts that the socket's buffer holds: the station hands them over faster than
        // their notifications are seen unless each notification runs before the next datagram.
        for (int burst = 0; burst < 3; ++burst) {
            for (int i = 1; i <= 100; ++i)
                peer.sendTo("=PC9~" + QByteArray::number(burst * 100 + i) + "|Sklad|zprava");
            ASSERT_EQ(peer.takeCount(100).size(), 100u);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.countEvents(seReceived) == 300; }));
        EXPECT_EQ(storedAhead, 0);
        EXPECT_EQ(station.dm->ReceivedList.size(), 128u);
        EXPECT_EQ(station.dm->ReceivedList.front()->Key, QByteArray("PC9~173"));
        // Every notification found its entry, though the trim moved the positions.
        for (const auto &[code, position] : station.events)
            EXPECT_GE(position, 0);
        const std::vector<QByteArray> lines = station.receiver->statusLines();
        EXPECT_EQ(std::count(lines.begin(),
                             lines.end(),
                             EncodeWindows1250(u"Nová zpráva od ") + "Sklad"),
                  300);

        peer.sendTo("=PC9~1|Sklad|zprava");   // forgotten: stored and announced again
        peer.sendTo("=PC9~300|Sklad|zprava"); // remembered: only confirmed
        ASSERT_EQ(peer.takeCount(2).size(), 2u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.countEvents(seReceived) == 301; }));
        EXPECT_EQ(station.dm->tIn.count(), 301);
        EXPECT_EQ(station.countEvents(seReceived), 301);
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

        ASSERT_TRUE(QTest::qWaitFor([&] { return station.countEvents(seReceived) == 3; }));
        ASSERT_EQ(station.dm->tIn.count(), 3);
        QByteArrayList stored;
        for (int i = 0; i < station.dm->tIn.count(); ++i)
            stored << station.dm->tIn.row(i).FROM + '|' + station.dm->tIn.row(i).MSG;
        std::sort(stored.begin(), stored.end());
        EXPECT_EQ(stored,
                  (QByteArrayList{"Sklad <127.0.0.1>|vecer",
                                  "Sklad <127.0.0.2>|rano",
                                  "Sklad2 <127.0.0.2>|rano"}));
        for (const auto &[code, position] : station.events)
            EXPECT_GE(position, 0);
        ASSERT_EQ(station.dm->ReceivedList.size(), 1u); // one key, the latest message under it
        EXPECT_EQ(station.dm->ReceivedList[0]->Ident, QByteArray("Sklad2"));
    });
}

TEST(Station, ARunStartsItsKeysAboveEveryKeyOfTheRunBefore)
{
    RUN_ON_LOOPBACK([] {
        UseSettings("[TCPIP]\r\nPORT=" + QByteArray::number(kTestStationPort) + "\r\n");
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
            const QByteArray firstKey = dm.OutboundQueue.front()->Key;
            EXPECT_EQ(firstKey.size(), 4 + 10) << firstKey.toStdString();
            lastOfFirstRun = rowIdOf(dm.OutboundQueue.back()->Key);
            EXPECT_EQ(lastOfFirstRun, rowIdOf(firstKey) + 4);
        }
        Tdm dm(
                boxes, [] { return QByteArray("PC7"); }, nullptr, TestStationPorts());
        ASSERT_TRUE(dm.started());
        dm.QueueMessage("Jan", "127.0.0.1", "Ahoj");
        const qint64 firstOfSecondRun = rowIdOf(dm.OutboundQueue.front()->Key);
        EXPECT_GT(firstOfSecondRun, lastOfFirstRun);
        EXPECT_LE(firstOfSecondRun, std::numeric_limits<qint32>::max());
        SetFlagByKey(dm.OutboundQueue.front()->Key, dm.tOut, 1, boxes);
        EXPECT_EQ(dm.tOut.currentRow().FLAG, 1);
        EXPECT_TRUE(boxes.errors.empty());
    });
}

TEST(Station, AGivenUpMessageIsReportedThoughABoxRanEarlierNotifications)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        Station station;
        station.dm->QueueMessage("Jan", "127.0.0.1", "older");
        station.dm->QueueMessage("Eva", "127.0.0.1", "newer");
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.receiver->queueRows().size() == 2; }));
        const std::shared_ptr<TMessageQueueItem> older = station.dm->OutboundQueue[0];
        // The older message's confirmation is waiting to be handled when the newer one is given
        // up, and the box that reports the newer one's missing row lets it run.
        older->State = TMessageQueueItem::Confirmed;
        QCoreApplication::postEvent(station.receiver.get(),
                                    new StationEvent(seConfirmed, 0, older));
        station.dm->OutboundQueue[1]->Attempts = 0;
        station.dm->tOut.close();
        station.boxes.whileShown = [] {
            QCoreApplication::processEvents();
        };
        station.dm->SendTick = 7;
        station.ticks(1);
        station.boxes.whileShown = nullptr;

        ASSERT_TRUE(QTest::qWaitFor([&] { return station.countEvents(seFailed) == 1; }));
        EXPECT_TRUE(station.dm->OutboundQueue.empty());
        EXPECT_TRUE(station.receiver->queueRows().empty());
        EXPECT_EQ(station.receiver->statusLines(),
                  (std::vector<QByteArray>{"Konfirmace PC7~1", "Chyba: 127.0.0.1 "}));
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
            EXPECT_EQ(station.dm->tOut.count(), 0);
            ASSERT_EQ(station.dm->OutboundQueue.size(), 2u);
            EXPECT_EQ(station.dm->OutboundQueue[0]->Key, QByteArray("PC7~1"));
            EXPECT_EQ(station.dm->OutboundQueue[1]->Key, QByteArray("PC7~2"));
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
        EXPECT_EQ(station.dm->tOut.row(0).MSG, body.left(400));
        station.ticks(1);
        const std::vector<QByteArray> sent = peer.take(2000);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(ParseBody(sent[0]), body);

        for (int i = 2; i <= 5; ++i)
            station.dm->QueueMessage("Jan", "127.0.0.1", "dalsi");
        ASSERT_EQ(station.dm->tOut.currentRow().ID, 5);
        DeleteCurrent(station.dm->tOut, station.boxes);
        station.dm->QueueMessage("Jan", "127.0.0.1", "po smazani");
        EXPECT_EQ(station.dm->OutboundQueue.back()->Key, QByteArray("PC7~6"));
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
        ASSERT_EQ(peer.take(2000).size(), 1u);
        static_cast<void>(QTest::qWaitFor([&] { return station.countEvents(seFailed) == 1; }));
        EXPECT_EQ(station.countEvents(seFailed), 1);
        ASSERT_EQ(station.dm->OutboundQueue.size(), 1u);
        EXPECT_EQ(station.dm->OutboundQueue[0]->Host, QByteArray("127.0.0.1"));
        const std::vector<QByteArray> expected{
                "Chyba: no-such-desk:Socket Error # 11001\r\nHost not found.",
                "Chyba: no-such-desk Socket Error # 11001\r\nHost not found.",
                "deskpc: 127.0.0.1"};
        EXPECT_EQ(station.receiver->statusLines(), expected);
        EXPECT_EQ(station.dm->tOut.row(0).FLAG, 4); // newest row: the unknown desk
        station.ticks(8); // the next attempt goes to the address without resolving again
        EXPECT_EQ(peer.take(2000).size(), 1u);
        EXPECT_EQ(station.receiver->statusLines().size(), 3u);
    });
}

TEST(Station, WithoutUseIpTheTransportResolvesEveryAttempt)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolver("127.0.0.1 deskpc\n");
        RawPeer peer;
        Station station("USEIP=0\r\n"); // still in the TCPIP section
        station.dm->QueueMessage("Jan", "deskpc", "Ahoj");
        station.ticks(8);
        EXPECT_EQ(peer.takeCount(2).size(), 2u);
        EXPECT_EQ(station.dm->OutboundQueue[0]->Host, QByteArray("deskpc"));
        EXPECT_TRUE(station.receiver->statusLines().empty());
    });
}

TEST(Station, AMessageToItselfIsReceivedAndConfirmed)
{
    RUN_IN_PRIVATE_NETWORK([] {
        Station station({}, kStationPort);
        station.dm->QueueMessage("Ja", "127.0.0.1", "sobe");
        station.ticks(1);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.countEvents(seConfirmed) == 1; }));
        ASSERT_EQ(station.dm->tIn.count(), 1);
        EXPECT_EQ(station.dm->tIn.row(0).FROM, QByteArray("Recepce <127.0.0.1>"));
        EXPECT_EQ(station.dm->tOut.row(0).FLAG, 1);
        EXPECT_TRUE(station.dm->OutboundQueue.empty());
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
        taken.listen = first.dm->srv.bindings().front()->Port;
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
        QObject::connect(
                &guard, &QTimer::timeout, QCoreApplication::instance(), &QCoreApplication::quit);
        guard.start(5000);
        QElapsedTimer elapsed;
        elapsed.start();
        QCoreApplication::exec();
        EXPECT_LT(elapsed.elapsed(), 4000) << "no quit request was posted";
        EXPECT_TRUE(first.dm->srv.isActive());
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
        EXPECT_EQ(model.rowCount(), 0); // not announced yet
        ASSERT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 2; }));
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
        EXPECT_EQ(station.dm->OutboundQueue[0]->Host, QByteArray("127.0.0.1"));
        EXPECT_EQ(text(0, 1), QStringLiteral("deskpc"));

        // The older entry confirmed: its row goes and the newer one moves up.
        peer.sendTo("#PC7~1");
        ASSERT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 1; }));
        EXPECT_EQ(text(0, 2), QStringLiteral("Zítra až v devět"));
        // The newer one given up: the queue is empty and so is the model.
        station.dm->OutboundQueue[0]->Attempts = 0;
        station.ticks(8);
        ASSERT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 0; }));
        EXPECT_TRUE(station.dm->OutboundQueue.empty());
        EXPECT_EQ(changes,
                  QStringList({QStringLiteral("+0-0=1"),
                               QStringLiteral("+1-1=2"),
                               QStringLiteral("-0-0=1"),
                               QStringLiteral("-0-0=0")}));
    });
}
