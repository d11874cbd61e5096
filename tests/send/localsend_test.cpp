#include "localsend/localconnection.h"
#include "localsend/locallistener.h"
#include "localsend/localsendprotocol.h"
#include "localsend/localsendservice.h"
#include "localsend/runningstation.h"

#include "core/udm.h"
#include "support/privatenetwork.h"
#include "support/rawpeer.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"
#include "support/teststation.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

LocalSendRequest Request(std::optional<QByteArray> ident = "Z\xe1lohy")
{
    return {std::move(ident), {"127.0.0.1", "127.0.0.1"}, "Disk pln\xfd\r\nkonec"};
}

QByteArray PayloadOf(const QByteArray &frame)
{
    FrameReader reader;
    reader.append(frame);
    return reader.next().value_or(QByteArray());
}

// The entry of one outcome signal caught by a spy.
const TMessageQueueItem &EntryOf(const QList<QVariant> &arguments)
{
    return *static_cast<const TMessageQueueItem *>(arguments.at(0).constData());
}

QByteArray FrameOf(const QByteArray &payload)
{
    QByteArray frame(4, '\0');
    qToBigEndian(quint32(payload.size()), frame.data());
    return frame + payload;
}

// The station under test with the local service in a private directory.
struct StationWithService : TestStation
{
    StationWithService()
        : service(std::make_unique<LocalSendService>(*dm))
        , path(runtime.filePath(QStringLiteral("veltrin-send")))
    {}

    bool start()
    {
        QString problem;
        const bool started = service->start(&problem, path);
        EXPECT_TRUE(started) << problem.toStdString();
        return started;
    }

    std::unique_ptr<LocalSendService> service;
    QTemporaryDir runtime;
    QString path;
};

// What veltrin-send does on the socket, without its checks, so that the station's own are seen.
struct LocalClient
{
    explicit LocalClient(const QString &path)
    {
        QObject::connect(&socket, &LocalConnection::readyRead, [this] {
            reader.append(socket.readAll());
            while (const std::optional<QByteArray> payload = reader.next()) {
                const std::optional<LocalSendReply> reply = DecodeReply(*payload);
                EXPECT_TRUE(reply.has_value()) << "a reply the sender cannot read";
                if (reply)
                    replies.push_back(*reply);
            }
        });
        QObject::connect(&socket, &LocalConnection::disconnected, [this] { closed = true; });
        try {
            socket.connectTo(path, 2000);
            connected = true;
        } catch (const std::exception &error) {
            ADD_FAILURE() << error.what();
        }
    }

    bool waitForReplies(std::size_t count)
    {
        return QTest::qWaitFor([&] { return replies.size() >= count; });
    }

    LocalConnection socket;
    FrameReader reader;
    std::vector<LocalSendReply> replies;
    bool connected = false;
    bool closed = false;
};

} // namespace

TEST(LocalSendFormat, ARequestComesBackAsItWasWritten)
{
    for (const std::optional<QByteArray> &ident : {std::optional<QByteArray>("Z\xe1lohy"),
                                                   std::optional<QByteArray>(""),
                                                   std::optional<QByteArray>()}) {
        const std::optional<LocalSendRequest> decoded
                = DecodeRequest(PayloadOf(EncodeRequestFrame(Request(ident))));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->ident, ident);
        EXPECT_EQ(decoded->hosts, Request().hosts);
        EXPECT_EQ(decoded->body, Request().body);
    }
    LocalSendReply outcome;
    outcome.kind = LocalSendReply::Kind::Outcome;
    outcome.index = 7;
    outcome.text = "Socket Error # 11001\r\nHost not found.";
    const std::optional<LocalSendReply> decoded = DecodeReply(PayloadOf(EncodeReplyFrame(outcome)));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->kind, LocalSendReply::Kind::Outcome);
    EXPECT_EQ(decoded->index, 7u);
    EXPECT_FALSE(decoded->confirmed);
    EXPECT_EQ(decoded->text, outcome.text);
}

TEST(LocalSendFormat, AnythingButAWholeRequestIsNoRequest)
{
    const QByteArray payload = PayloadOf(EncodeRequestFrame(Request()));
    EXPECT_FALSE(DecodeRequest(payload.chopped(1)).has_value()) << "cut short";
    EXPECT_FALSE(DecodeRequest(payload + 'x').has_value()) << "with bytes after it";
    EXPECT_FALSE(DecodeRequest(QByteArray()).has_value());
    EXPECT_FALSE(DecodeRequest("send PC7 hello").has_value());
    QByteArray otherMagic = payload;
    otherMagic[0] = 'X';
    EXPECT_FALSE(DecodeRequest(otherMagic).has_value());
    // A host count far beyond what may come is refused before anything is read for it.
    QByteArray manyHosts = payload;
    const qsizetype countAt = 4 + 1 + 1 + 4 + 6; // magic, version, flag, ident length, ident
    qToBigEndian(quint32(0xffffffff), manyHosts.data() + countAt);
    EXPECT_FALSE(DecodeRequest(manyHosts).has_value());
    EXPECT_FALSE(DecodeReply(QByteArray(1, '\x09')).has_value());
}

TEST(LocalSendFormat, FramesAreCutWhereverTheBytesBreak)
{
    const QByteArray stream = EncodeRequestFrame(Request()) + EncodeRequestFrame(Request({}));
    FrameReader reader;
    std::vector<QByteArray> payloads;
    for (const char byte : stream) {
        reader.append(QByteArray(1, byte));
        if (std::optional<QByteArray> payload = reader.next())
            payloads.push_back(*payload);
    }
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(DecodeRequest(payloads[1])->ident, std::nullopt);

    FrameReader flooded;
    flooded.append("hello there\n"); // "hell" is a length of over a gigabyte
    EXPECT_FALSE(flooded.next().has_value());
    EXPECT_TRUE(flooded.overlong());
}

TEST(LocalSendService, QueuesEachCopyAndTellsItsOutcome)
{
    RUN_ON_LOOPBACK([] {
        RawPeer peer;
        ASSERT_TRUE(peer.bound());
        StationWithService station;
        ASSERT_TRUE(station.dm->started());
        ASSERT_TRUE(station.start());
        // Whoever else follows the queue hears every outcome too, the service still answering.
        QSignalSpy confirmations(station.dm.get(), &Tdm::messageConfirmed);
        QSignalSpy giveUps(station.dm.get(), &Tdm::messageGivenUp);
        ASSERT_TRUE(confirmations.isValid() && giveUps.isValid());
        // Only the owner may enter the socket.
        const QFileInfo socketFile(station.path);
        ASSERT_TRUE(socketFile.exists());
        EXPECT_EQ(socketFile.permissions()
                          & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
                             | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
                  QFile::Permissions());

        LocalClient client(station.path);
        ASSERT_TRUE(client.connected);
        LocalSendRequest request{"Z\xe1lohy", {"127.0.0.1", "127.0.0.2"}, "Disk pln\xfd"};
        // A second request on the same connection is not taken.
        client.socket.write(EncodeRequestFrame(request) + EncodeRequestFrame(request));
        ASSERT_TRUE(client.waitForReplies(1));
        EXPECT_EQ(client.replies[0].kind, LocalSendReply::Kind::Accepted);
        EXPECT_EQ(client.replies[0].index, 2u);
        ASSERT_EQ(station.dm->queueModel().rowCount(), 2);
        ASSERT_EQ(station.dm->outboundQueue().size(), 2u);
        EXPECT_EQ(station.dm->outboundQueue()[0].Ident, QByteArray("Z\xe1lohy"));
        ASSERT_EQ(station.dm->tOut().count(), 2);
        EXPECT_EQ(station.dm->tOut().row(1).FROM, QByteArray("127.0.0.1 <127.0.0.1>"));
        EXPECT_EQ(station.dm->tOut().row(1).MSG, QByteArray("Disk pln\xfd"));

        station.dm->timTimer();
        const std::vector<QByteArray> sent = peer.takeCount(1);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], QByteArray("=PC7~1|Z\xe1lohy|Disk pln\xfd"));
        peer.sendTo("#PC7~1");
        ASSERT_TRUE(client.waitForReplies(2));
        EXPECT_EQ(client.replies[1].kind, LocalSendReply::Kind::Outcome);
        EXPECT_EQ(client.replies[1].index, 0u);
        EXPECT_TRUE(client.replies[1].confirmed);
        EXPECT_FALSE(client.closed) << "one copy is still on its way";
        ASSERT_EQ(confirmations.size(), 1);
        EXPECT_EQ(EntryOf(confirmations[0]).Key, QByteArray("PC7~1"));
        EXPECT_EQ(EntryOf(confirmations[0]).State, TMessageQueueItem::Confirmed);

        // The other copy is given up: eight attempts, then the report one round later.
        station.ticksUntil(64);
        ASSERT_TRUE(client.waitForReplies(3));
        EXPECT_EQ(client.replies[2].index, 1u);
        EXPECT_FALSE(client.replies[2].confirmed);
        ASSERT_EQ(giveUps.size(), 1);
        EXPECT_EQ(EntryOf(giveUps[0]).Host, QByteArray("127.0.0.2"));
        EXPECT_EQ(EntryOf(giveUps[0]).State, TMessageQueueItem::GivenUp);
        EXPECT_TRUE(QTest::qWaitFor([&] { return client.closed; }));
        EXPECT_EQ(station.dm->tOut().count(), 2) << "the second request queued nothing";
        EXPECT_EQ(station.dm->tOut().row(0).FLAG, 4);
        EXPECT_EQ(station.dm->tOut().row(1).FLAG, 1);
    });
}

TEST(LocalSendService, RefusesWhatIsNotAValidRequestAndQueuesNothing)
{
    RUN_ON_LOOPBACK([] {
        StationWithService station;
        ASSERT_TRUE(station.start());
        const LocalSendRequest valid = Request();
        LocalSendRequest longBody = valid;
        longBody.body = QByteArray(401, 'a');
        LocalSendRequest barInName = valid;
        barInName.ident = "a|b";
        LocalSendRequest badHost = valid;
        badHost.hosts = {"PC7 <x>"};
        LocalSendRequest noHost = valid;
        noHost.hosts.clear();
        LocalSendRequest zeroInBody = valid;
        zeroInBody.body = QByteArray("a\0b", 3);
        const std::vector<QByteArray> attempts{
                "hello\n",
                FrameOf("send 127.0.0.1 hello"),
                EncodeRequestFrame(longBody),
                EncodeRequestFrame(barInName),
                EncodeRequestFrame(badHost),
                EncodeRequestFrame(noHost),
                EncodeRequestFrame(zeroInBody),
        };
        for (const QByteArray &bytes : attempts) {
            LocalClient client(station.path);
            ASSERT_TRUE(client.connected);
            client.socket.write(bytes);
            ASSERT_TRUE(client.waitForReplies(1)) << bytes.left(40).toStdString();
            EXPECT_EQ(client.replies[0].kind, LocalSendReply::Kind::Refused);
            EXPECT_FALSE(client.replies[0].text.isEmpty());
            EXPECT_TRUE(QTest::qWaitFor([&] { return client.closed; }));
        }
        EXPECT_TRUE(station.dm->outboundQueue().empty());
        EXPECT_EQ(station.dm->tOut().count(), 0);
    });
}

TEST(LocalSendService, ASenderThatLeavesBeforeItsAnswerLeavesTheStationServing)
{
    RUN_ON_LOOPBACK([] {
        StationWithService station;
        ASSERT_TRUE(station.start());
        {
            LocalConnection gone;
            gone.connectTo(station.path, 2000);
            gone.write(EncodeRequestFrame(Request()));
            ASSERT_EQ(gone.bytesToWrite(), 0);
        } // closed before the station has read its request, so the answer finds nobody
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.dm->outboundQueue().size() == 2; }));

        LocalClient next(station.path);
        ASSERT_TRUE(next.connected);
        next.socket.write(EncodeRequestFrame(Request()));
        ASSERT_TRUE(next.waitForReplies(1));
        EXPECT_EQ(next.replies[0].kind, LocalSendReply::Kind::Accepted);
    });
}

TEST(LocalSendService, ReplacesASocketLeftBehindButNotALiveOne)
{
    RUN_ON_LOOPBACK([] {
        StationWithService station;
        // What a station that crashed leaves: the file of a socket nobody listens on.
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(station.path);
        std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(stale);
        ASSERT_TRUE(QFileInfo::exists(station.path));
        ASSERT_TRUE(station.start());
        LocalClient first(station.path);
        EXPECT_TRUE(first.connected);

        LocalSendService second(*station.dm);
        QString problem;
        EXPECT_FALSE(second.start(&problem, station.path));
        EXPECT_FALSE(problem.isEmpty());
        LocalClient stillServed(station.path);
        ASSERT_TRUE(stillServed.connected);
        stillServed.socket.write(EncodeRequestFrame(Request()));
        ASSERT_TRUE(stillServed.waitForReplies(1));
        EXPECT_EQ(stillServed.replies[0].kind, LocalSendReply::Kind::Accepted);

        // The socket goes with the station that made it, not with one that could not start.
        EXPECT_TRUE(QFileInfo::exists(station.path));
        station.service.reset();
        EXPECT_FALSE(QFileInfo::exists(station.path));
    });
}

TEST(LocalSocket, AWriteLargerThanTheSocketHoldsArrivesWholeBeforeTheEnd)
{
    // Needs the event loop only; the loopback runner gives the program its application.
    RUN_ON_LOOPBACK([] {
        QTemporaryDir runtime;
        const QString path = runtime.filePath(QStringLiteral("s"));
        LocalListener listener;
        listener.listen(path);
        std::unique_ptr<LocalConnection> accepted;
        QObject::connect(&listener, &LocalListener::newConnection, [&] {
            accepted = listener.nextPendingConnection();
        });
        LocalConnection writer;
        bool writerEnded = false;
        QObject::connect(&writer, &LocalConnection::disconnected, [&] { writerEnded = true; });
        writer.connectTo(path, 2000);
        ASSERT_TRUE(QTest::qWaitFor([&] { return accepted != nullptr; }));
        QByteArray received;
        bool readerEnded = false;
        QObject::connect(accepted.get(), &LocalConnection::readyRead, [&] {
            received += accepted->readAll();
        });
        QObject::connect(
                accepted.get(), &LocalConnection::disconnected, [&] { readerEnded = true; });

        // Far more than a local socket buffers: most of it must wait for the reader.
        QByteArray sent(2 * 1024 * 1024, '\0');
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i] = char(i % 251);
        writer.write(sent);
        ASSERT_GT(writer.bytesToWrite(), 0) << "the socket took everything at once";
        writer.disconnectFromServer();
        EXPECT_TRUE(writer.isConnected()) << "closed before the rest had gone out";
        ASSERT_TRUE(QTest::qWaitFor([&] { return readerEnded; }, 20000));
        EXPECT_TRUE(writerEnded);
        EXPECT_EQ(received.size(), sent.size());
        EXPECT_TRUE(received == sent);
    });
}

TEST(SecondStart, TheRunningStationOfThisUserShowsItsWindowAndTheStartGivesWay)
{
    RUN_ON_LOOPBACK([] {
        StationWithService station;
        // Nobody answers yet: the start goes on as a station of its own.
        EXPECT_FALSE(AskRunningStationToShow(station.path));
        ASSERT_TRUE(station.start());
        // A station without a window, as the headless one, cannot show one.
        EXPECT_FALSE(AskRunningStationToShow(station.path));

        int shown = 0;
        station.service->setShowWindowHandler([&shown] { ++shown; });
        EXPECT_TRUE(AskRunningStationToShow(station.path));
        EXPECT_EQ(shown, 1);
        EXPECT_TRUE(station.dm->outboundQueue().empty());

        // The request leaves the sender's requests as they were.
        LocalClient sender(station.path);
        ASSERT_TRUE(sender.connected);
        sender.socket.write(EncodeRequestFrame(Request()));
        ASSERT_TRUE(sender.waitForReplies(1));
        EXPECT_EQ(sender.replies[0].kind, LocalSendReply::Kind::Accepted);
        EXPECT_EQ(sender.replies[0].index, 2u);
        EXPECT_EQ(shown, 1);
        EXPECT_FALSE(DecodeRequest(PayloadOf(EncodeShowWindowFrame())).has_value());
    });
}
