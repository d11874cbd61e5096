// veltrin-send and the headless station as they ship, in a private network namespace: the
// station listens on a port of its own, so that a plain socket can hold the protocol port and
// stand for the partner the message goes to.

#include "core/protocol.h"
#include "support/childprocess.h"
#include "support/isolatedresolver.h"
#include "support/privatenetwork.h"
#include "support/rawpeer.h"

#include <gtest/gtest.h>

#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <string>

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kReplyTimeoutMs = 10000;

QByteArray Utf8(QStringView text)
{
    return text.toUtf8();
}

// The settings and the runtime directory both programs share, as they would for one user.
class UserSession
{
public:
    UserSession()
    {
        EXPECT_TRUE(m_configuration.isValid() && m_runtime.isValid());
        QFile settings(m_configuration.filePath(QStringLiteral("veltrin.ini")));
        EXPECT_TRUE(settings.open(QIODevice::WriteOnly));
        settings.write("[TCPIP]\r\nPORT=" + QByteArray::number(kTestStationPort)
                       + "\r\nIDENT=Recepce\r\n");
    }

    void prepare(ChildProcess &process, const QByteArrayList &more = {}) const
    {
        process.setEnvironment(
                QByteArrayList{"XDG_CONFIG_HOME=" + QFile::encodeName(m_configuration.path()),
                               "XDG_DATA_HOME=" + QFile::encodeName(m_configuration.path()),
                               "XDG_RUNTIME_DIR=" + QFile::encodeName(m_runtime.path()),
                               "LC_ALL=C.UTF-8"}
                + more);
    }

    QString runtimePath() const { return m_runtime.path(); }

private:
    QTemporaryDir m_configuration;
    QTemporaryDir m_runtime;
};

// A headless station of the session; gives its computer name, which its keys begin with.
QByteArray StartStation(const UserSession &session, ChildProcess &station)
{
    session.prepare(station);
    station.setInputPipe(true);
    std::string problem;
    EXPECT_TRUE(station.start(HEADLESS_STATION_PATH, {}, &problem)) << problem;
    const qsizetype end = station.waitForLineWhere(
            [](QByteArrayView line) { return line.startsWith("ready "); },
            QDeadlineTimer(kStartTimeoutMs));
    EXPECT_GE(end, 0) << "the station did not start: " << station.describe();
    for (const QByteArray &line : station.outputLines()) {
        if (line.startsWith("ready "))
            return line.split(' ').value(1);
    }
    return {};
}

void StartSender(const UserSession &session,
                 ChildProcess &sender,
                 const QByteArrayList &arguments,
                 bool inputPipe = false)
{
    session.prepare(sender);
    sender.setInputPipe(inputPipe);
    std::string problem;
    ASSERT_TRUE(sender.start(VELTRIN_SEND_PATH, arguments, &problem)) << problem;
}

// The station's answer to one command, up to its last line.
QByteArrayList Ask(ChildProcess &station, const QByteArray &command, const QByteArray &lastLine)
{
    const qsizetype from = station.nextLineOffset();
    std::string problem;
    EXPECT_TRUE(station.writeInput(command + '\n', &problem)) << problem;
    const qsizetype end = station.waitForLineWhere(
            [&](QByteArrayView line) { return line.startsWith(lastLine); },
            QDeadlineTimer(kReplyTimeoutMs),
            from);
    EXPECT_GE(end, 0) << "no answer to " << command.toStdString() << ": " << station.describe();
    return station.outputLines(from);
}

void ExpectFinished(ChildProcess &sender, int status, const QByteArray &output)
{
    ASSERT_TRUE(sender.waitForFinished(QDeadlineTimer(kReplyTimeoutMs))) << sender.describe();
    EXPECT_EQ(sender.exitCode(), status) << sender.describe();
    EXPECT_EQ(sender.standardOutput(), output) << sender.describe();
}

} // namespace

TEST(SendThroughStation, TheMessageIsQueuedByTheStationAndItsConfirmationEndsTheSender)
{
    RUN_IN_PRIVATE_NETWORK([] {
        RawPeer partner;
        ASSERT_TRUE(partner.bound());
        UserSession session;
        ChildProcess station;
        const QByteArray computer = StartStation(session, station);
        ASSERT_FALSE(computer.isEmpty());

        ChildProcess sender;
        StartSender(session,
                    sender,
                    {"-n", Utf8(u"Zálohy"), "127.0.0.1", "-m", Utf8(u"Záloha selhala")});
        const std::vector<QByteArray> sent = partner.take(kReplyTimeoutMs);
        ASSERT_EQ(sent.size(), 1u) << station.describe() << sender.describe();
        // The station's key and port, the name the sender asked for, Windows-1250 on the wire.
        const QByteArray key = ParseKey(sent[0]);
        const QByteArray rowId = key.mid(computer.size() + 1);
        EXPECT_EQ(key, computer + '~' + rowId);
        EXPECT_EQ(sent[0], "=" + key + "|Z\xe1lohy|Z\xe1loha selhala");

        const QByteArrayList queued = Ask(station, "queue", "queue ");
        EXPECT_TRUE(queued.contains("queue 1")) << station.describe();
        const QByteArrayList tables = Ask(station, "tables", "end tables");
        EXPECT_TRUE(tables.contains("out " + rowId
                                    + Utf8(u" 0 Nová 127.0.0.1 <127.0.0.1>|Záloha selhala")))
                << station.describe();

        partner.sendTo("#" + key);
        ExpectFinished(sender, 0, Utf8(u"127.0.0.1: Odeslaná\n"));
        const QByteArrayList after = Ask(station, "tables", "end tables");
        EXPECT_TRUE(after.contains("out " + rowId
                                   + Utf8(u" 1 Odeslaná 127.0.0.1 <127.0.0.1>|Záloha selhala")))
                << station.describe();
        EXPECT_TRUE(Ask(station, "queue", "queue ").contains("queue 0"));
        EXPECT_TRUE(sender.standardError().isEmpty()) << sender.describe();
    });
}

TEST(SendThroughStation, TakesTheTextFromStandardInput)
{
    RUN_IN_PRIVATE_NETWORK([] {
        RawPeer partner;
        UserSession session;
        ChildProcess station;
        const QByteArray computer = StartStation(session, station);
        ASSERT_FALSE(computer.isEmpty());

        ChildProcess sender;
        StartSender(session, sender, {"127.0.0.1"}, true);
        std::string problem;
        ASSERT_TRUE(sender.writeInput(Utf8(u"Řádek jedna\nŘádek dva\n"), &problem)) << problem;
        sender.closeInput();
        const std::vector<QByteArray> sent = partner.take(kReplyTimeoutMs);
        ASSERT_EQ(sent.size(), 1u) << sender.describe();
        // The station's own IDENT, and the line break as the station's peers write it.
        const QByteArray key = ParseKey(sent[0]);
        EXPECT_TRUE(key.startsWith(computer + '~')) << key.toStdString();
        EXPECT_EQ(sent[0],
                  "=" + key
                          + "|Recepce|\xd8\xe1"
                            "dek jedna\r\n\xd8\xe1"
                            "dek dva");
        partner.sendTo("#" + key);
        ExpectFinished(sender, 0, Utf8(u"127.0.0.1: Odeslaná\n"));
    });
}

TEST(SendThroughStation, ACopyTheStationGivesUpEndsTheSenderWithItsError)
{
    RUN_IN_PRIVATE_NETWORK([] {
        IsolateResolver("127.0.0.1 localhost\n");
        RawPeer partner;
        UserSession session;
        ChildProcess station;
        const QByteArray computer = StartStation(session, station);
        ASSERT_FALSE(computer.isEmpty());

        ChildProcess sender;
        StartSender(session, sender, {"127.0.0.1", "nikde", "-m", "Ahoj"});
        const std::vector<QByteArray> sent = partner.take(kReplyTimeoutMs);
        ASSERT_EQ(sent.size(), 1u) << sender.describe();
        partner.sendTo("#" + ParseKey(sent[0]));
        ASSERT_TRUE(sender.waitForFinished(QDeadlineTimer(kReplyTimeoutMs))) << sender.describe();
        EXPECT_EQ(sender.exitCode(), 1) << sender.describe();
        const QByteArrayList lines = sender.outputLines();
        EXPECT_EQ(lines.size(), 2) << sender.describe();
        EXPECT_TRUE(lines.contains(Utf8(u"127.0.0.1: Odeslaná"))) << sender.describe();
        EXPECT_TRUE(lines.contains("nikde: Chyba! Socket Error # 11001 Host not found."))
                << sender.describe();
    });
}

TEST(SendOnItsOwn, APortHeldByAnotherProgramIsAStartError)
{
    RUN_IN_PRIVATE_NETWORK([] {
        RawPeer holder; // holds the protocol port; no station runs
        ASSERT_TRUE(holder.bound());
        UserSession session;
        ChildProcess sender;
        StartSender(session, sender, {"127.0.0.1", "-m", "Ahoj"});
        ASSERT_TRUE(sender.waitForFinished(QDeadlineTimer(kReplyTimeoutMs))) << sender.describe();
        EXPECT_EQ(sender.exitCode(), 2) << sender.describe();
        EXPECT_TRUE(sender.standardOutput().isEmpty()) << sender.describe();
        EXPECT_TRUE(sender.standardError().contains("34888")) << sender.describe();
        EXPECT_TRUE(sender.standardError().contains("Address and port are already in use"))
                << sender.describe();
        EXPECT_TRUE(holder.take(300).empty()) << "nothing was sent";
    });
}

// The station with its window, started twice by the same user, as a menu entry clicked twice.
TEST(SecondStart, TheSecondStationEndsAtOnceWithStatusZeroAndSaysNothing)
{
    RUN_IN_PRIVATE_NETWORK([] {
        UserSession session;
        // No desktop here: the window is offscreen, and no session bus answers.
        const QByteArrayList desktop{"QT_QPA_PLATFORM=offscreen",
                                     "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
        ChildProcess first;
        session.prepare(first, desktop);
        std::string problem;
        ASSERT_TRUE(first.start(VELTRIN_PATH, {}, &problem)) << problem;
        const QString socket = session.runtimePath() + QStringLiteral("/veltrin-send");
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(socket); }, kStartTimeoutMs))
                << first.describe();

        ChildProcess second;
        session.prepare(second, desktop);
        ASSERT_TRUE(second.start(VELTRIN_PATH, {}, &problem)) << problem;
        ASSERT_TRUE(second.waitForFinished(QDeadlineTimer(kStartTimeoutMs)))
                << "the second start did not end: " << second.describe();
        EXPECT_EQ(second.exitCode(), 0) << second.describe();
        EXPECT_TRUE(second.standardOutput().isEmpty()) << second.describe();
        EXPECT_TRUE(second.standardError().isEmpty()) << second.describe();
        EXPECT_FALSE(first.hasFinished()) << first.describe();
        // Asked to end as a session's end asks, the first station ends in order: status 0, and
        // its socket gone with it.
        ::kill(first.pid(), SIGTERM);
        ASSERT_TRUE(first.waitForFinished(QDeadlineTimer(kStartTimeoutMs))) << first.describe();
        EXPECT_EQ(first.exitCode(), 0) << first.describe();
        EXPECT_FALSE(QFile::exists(socket));
        // The offscreen platform notes each time a window is brought to the front: the first
        // station did so, before it answered, for the second start, and said nothing else.
        EXPECT_EQ(first.standardError(), QByteArray("This plugin does not support raise()\n"))
                << first.describe();
    });
}
