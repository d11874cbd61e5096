// veltrin-send with no station running: it sends on its own. The sender listens on a port of
// its own here, as the stations under test do, so that a plain socket can hold the protocol
// port and stand for the partner; only these tests shorten the wait between two attempts.

#include "send/senderrun.h"

#include "platform/computername.h"
#include "support/privatenetwork.h"
#include "support/rawpeer.h"
#include "support/stationsettings.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct SendResult
{
    int status = -1;
    QByteArray output;
    QByteArray errors;
    qint64 elapsedMs = 0;
};

// Runs veltrin-send in this process, with no station to hand over to.
SendResult Send(const QStringList &arguments,
                const QByteArray &input = {},
                std::chrono::milliseconds retryInterval = StandaloneSender::kRetryInterval)
{
    static QTemporaryDir runtime; // no station's socket in it
    EXPECT_TRUE(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QByteArray inputBytes = input;
    QBuffer in(&inputBytes);
    in.open(QIODevice::ReadOnly);
    SendResult result;
    QBuffer out(&result.output);
    out.open(QIODevice::WriteOnly);
    QBuffer err(&result.errors);
    err.open(QIODevice::WriteOnly);
    QStringList line{QStringLiteral("veltrin-send")};
    line << arguments;
    QElapsedTimer clock;
    clock.start();
    result.status = RunSender(line, in, out, err, {retryInterval, kTestStationPort});
    result.elapsedMs = clock.elapsed();
    return result;
}

// Watches the protocol port while the sender runs and answers as the test says.
class Partner
{
public:
    using Answer = std::function<void(RawPeer &peer, const QByteArray &datagram, int count)>;

    explicit Partner(Answer answer = {})
        : m_answer(std::move(answer))
    {
        EXPECT_TRUE(m_peer.bound());
        m_watch.setInterval(2);
        QObject::connect(&m_watch, &QTimer::timeout, [this] { collect(); });
        m_watch.start();
    }

    const std::vector<QByteArray> &datagrams()
    {
        collect();
        return m_datagrams;
    }
    // Anything still on its way once the sender has ended.
    std::vector<QByteArray> late() { return m_peer.take(300); }

private:
    void collect()
    {
        for (const QByteArray &datagram : m_peer.take()) {
            m_datagrams.push_back(datagram);
            if (m_answer)
                m_answer(m_peer, datagram, int(m_datagrams.size()));
        }
    }

    RawPeer m_peer;
    QTimer m_watch;
    Answer m_answer;
    std::vector<QByteArray> m_datagrams;
};

QByteArray KeyOf(const QByteArray &messageDatagram)
{
    return messageDatagram.mid(1, messageDatagram.indexOf('|') - 1);
}

QByteArray KeyPrefix()
{
    return ComputerNetworkName() + '~';
}

} // namespace

TEST(StandaloneSend, SendsEightTimesThenGivesUpWithExitStatusOne)
{
    RUN_IN_PRIVATE_NETWORK([] {
        UseSettings("[TCPIP]\r\nIDENT=Recepce\r\n");
        Partner silent;
        const SendResult result
                = Send({QStringLiteral("127.0.0.1"), QStringLiteral("-m"), QStringLiteral("Ahoj")},
                       {},
                       50ms);
        EXPECT_EQ(result.status, kSomeCopyNotConfirmed) << result.errors.toStdString();
        EXPECT_EQ(
                result.output,
                QStringLiteral("127.0.0.1: Chyba! Příjemce zprávu nepotvrdil ani po 8 pokusech.\n")
                        .toUtf8());
        EXPECT_TRUE(result.errors.isEmpty()) << result.errors.toStdString();
        const std::vector<QByteArray> &seen = silent.datagrams();
        ASSERT_EQ(seen.size(), 8u);
        EXPECT_TRUE(seen[0].startsWith("=" + KeyPrefix())) << seen[0].toStdString();
        EXPECT_TRUE(seen[0].endsWith("|Recepce|Ahoj")) << seen[0].toStdString();
        for (const QByteArray &datagram : seen)
            EXPECT_EQ(datagram, seen[0]) << "every attempt carries the same key";
        // First at once, seven more one interval apart, the give-up one interval later (Qt's
        // timers may fire up to a twentieth early).
        EXPECT_GE(result.elapsedMs, 8 * 50 * 95 / 100);
        EXPECT_TRUE(silent.late().empty());
    });
}

TEST(StandaloneSend, OnlyAConfirmationOfItsOwnKeyDeliversAndNothingElseIsAnswered)
{
    RUN_IN_PRIVATE_NETWORK([] {
        UseSettings("[TCPIP]\r\nIDENT=Recepce\r\n");
        Partner partner([](RawPeer &peer, const QByteArray &datagram, int count) {
            if (count == 1) {
                // What another station might say meanwhile: a message, a confirmation of a key
                // the sender never used, a confirmation with its own key's start only.
                peer.sendTo("=OTHER~1|Eva|Ahoj");
                peer.sendTo("#OTHER~5");
                peer.sendTo("#" + KeyOf(datagram).chopped(1));
            } else if (count == 2) {
                peer.sendTo("#" + KeyOf(datagram));
            }
        });
        // From standard input, in UTF-8, its lines broken as on Unix.
        const SendResult result = Send({QStringLiteral("127.0.0.1")},
                                       QStringLiteral("Řádek jedna\nŘádek dva\n").toUtf8(),
                                       300ms);
        EXPECT_EQ(result.status, kEveryCopyConfirmed) << result.errors.toStdString();
        EXPECT_EQ(result.output, QByteArray("127.0.0.1: Odeslan\xc3\xa1\n"));
        const std::vector<QByteArray> &seen = partner.datagrams();
        ASSERT_EQ(seen.size(), 2u) << "the second attempt shows the first answers were ignored";
        EXPECT_TRUE(seen[1].endsWith("|Recepce|\xd8\xe1"
                                     "dek jedna\r\n\xd8\xe1"
                                     "dek dva"))
                << seen[1].toStdString();
        // It stores and confirms nothing: no "#OTHER~1" came back.
        EXPECT_TRUE(partner.late().empty());
    });
}

TEST(StandaloneSend, RunsInQuickSuccessionNeverShareAKey)
{
    RUN_IN_PRIVATE_NETWORK([] {
        UseSettings({});
        Partner confirming([](RawPeer &peer, const QByteArray &datagram, int) {
            peer.sendTo("#" + KeyOf(datagram));
        });
        const QStringList hosts{QStringLiteral("127.0.0.1"),
                                QStringLiteral("127.0.0.1"),
                                QStringLiteral("127.0.0.1"),
                                QStringLiteral("-m"),
                                QStringLiteral("x")};
        const SendResult first = Send(hosts);
        const SendResult second = Send(hosts);
        EXPECT_EQ(first.status, kEveryCopyConfirmed) << first.errors.toStdString();
        EXPECT_EQ(second.status, kEveryCopyConfirmed) << second.errors.toStdString();
        EXPECT_EQ(second.output, QByteArray("127.0.0.1: Odeslan\xc3\xa1\n").repeated(3));
        const std::vector<QByteArray> &seen = confirming.datagrams();
        ASSERT_EQ(seen.size(), 6u);
        std::vector<qint64> ids;
        for (const QByteArray &datagram : seen) {
            const QByteArray key = KeyOf(datagram);
            ASSERT_TRUE(key.startsWith(KeyPrefix())) << key.toStdString();
            ids.push_back(key.mid(KeyPrefix().size()).toLongLong());
        }
        EXPECT_EQ(std::set<qint64>(ids.begin(), ids.end()).size(), 6u);
        const qint64 lastOfFirst = *std::max_element(ids.begin(), ids.begin() + 3);
        EXPECT_GT(*std::min_element(ids.begin() + 3, ids.end()), lastOfFirst);
        // Ten digits, far from the IDs that a station counts from 1 in every run.
        EXPECT_GE(ids.front(), 1000000000);
    });
}

TEST(StandaloneSend, TimeoutEndsTheWaitEarly)
{
    RUN_IN_PRIVATE_NETWORK([] {
        UseSettings({});
        Partner silent;
        // Eight attempts would take over three seconds; the timeout falls between the third
        // attempt and the fourth.
        const SendResult result = Send({QStringLiteral("--timeout"),
                                        QStringLiteral("1"),
                                        QStringLiteral("127.0.0.1"),
                                        QStringLiteral("-m"),
                                        QStringLiteral("x")},
                                       {},
                                       450ms);
        EXPECT_EQ(result.status, kSomeCopyNotConfirmed);
        // The copy's outcome is the timeout's, not the give-up after eight attempts.
        EXPECT_EQ(result.output,
                  QStringLiteral("127.0.0.1: Chyba! Čekání vypršelo, zpráva už se neposílá.\n")
                          .toUtf8());
        // Timers fire in the order they are due, however late a busy machine runs them: the
        // first retry, due long before the timeout, came, so the wait did not end before it;
        // a retry due after the timeout never comes.
        const std::size_t attempts = silent.datagrams().size();
        EXPECT_GE(attempts, 2u);
        EXPECT_LE(attempts, 3u);
        EXPECT_TRUE(silent.late().empty());
    });
}

TEST(StandaloneSend, RefusesAnOverlongTextOrAForeignCharacterBeforeSendingAnything)
{
    RUN_IN_PRIVATE_NETWORK([] {
        UseSettings({});
        Partner watching;
        const SendResult overlong = Send({QStringLiteral("127.0.0.1")}, QByteArray(401, 'a'));
        EXPECT_EQ(overlong.status, kUsageOrStartError);
        EXPECT_TRUE(overlong.output.isEmpty());
        EXPECT_TRUE(overlong.errors.contains("400")) << overlong.errors.toStdString();

        const SendResult foreign = Send(
                {QStringLiteral("127.0.0.1"), QStringLiteral("-m"), QStringLiteral("Привет")});
        EXPECT_EQ(foreign.status, kUsageOrStartError);
        EXPECT_TRUE(foreign.output.isEmpty());
        EXPECT_TRUE(foreign.errors.contains("Windows-1250")) << foreign.errors.toStdString();
        EXPECT_TRUE(foreign.errors.contains("U+041F")) << foreign.errors.toStdString();

        EXPECT_TRUE(watching.datagrams().empty());
        EXPECT_TRUE(watching.late().empty());
    });
}

// What cron gives a job: no XDG_RUNTIME_DIR, and no /run/user/<uid> either when the user has
// no session. Every word on standard error is mailed, so a run where nothing went wrong must
// say nothing there, Qt's own warnings included.
namespace {

QStringList g_qtMessages;

void RecordQtMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_qtMessages << text;
}

std::string EnterCronWorld()
{
    std::string problem = EnterPrivateNetwork();
    if (!problem.empty())
        return problem;
    if (::unshare(CLONE_NEWNS) != 0
        || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("cannot make a private mount namespace: ") + std::strerror(errno);
    }
    if (QDir(QStringLiteral("/run/user")).exists()
        && ::mount("none", "/run/user", "tmpfs", 0, "mode=0755") != 0) {
        return std::string("cannot hide /run/user: ") + std::strerror(errno);
    }
    static char temporary[] = "/tmp/cron-run-XXXXXX";
    if (!::mkdtemp(temporary))
        return "cannot make a temporary directory";
    ::setenv("TMPDIR", temporary, 1);
    ::unsetenv("XDG_RUNTIME_DIR");
    return {};
}

} // namespace

TEST(StandaloneSend, RunFromCronPrintsNothingWhenAllGoesWell)
{
    const PrivateNetworkResult result_ = RunInPreparedChild(EnterCronWorld, [] {
        UseSettings("[TCPIP]\r\nIDENT=Recepce\r\n");
        Partner partner([](RawPeer &peer, const QByteArray &datagram, int) {
            peer.sendTo("#" + KeyOf(datagram));
        });
        qInstallMessageHandler(RecordQtMessage);
        QByteArray output;
        QByteArray errors;
        QBuffer in;
        in.open(QIODevice::ReadOnly);
        QBuffer out(&output);
        out.open(QIODevice::WriteOnly);
        QBuffer err(&errors);
        err.open(QIODevice::WriteOnly);
        const int status = RunSender({QStringLiteral("veltrin-send"),
                                      QStringLiteral("127.0.0.1"),
                                      QStringLiteral("-m"),
                                      QStringLiteral("Záloha hotova")},
                                     in,
                                     out,
                                     err,
                                     {300ms, kTestStationPort});
        qInstallMessageHandler(nullptr);
        EXPECT_EQ(status, kEveryCopyConfirmed);
        EXPECT_EQ(output, QByteArray("127.0.0.1: Odeslan\xc3\xa1\n"));
        EXPECT_TRUE(errors.isEmpty()) << errors.toStdString();
        EXPECT_TRUE(g_qtMessages.isEmpty()) << g_qtMessages.join(u'\n').toStdString();
    });
    if (result_.outcome == PrivateNetworkResult::Outcome::Skipped)
        GTEST_SKIP() << result_.message;
    if (result_.outcome == PrivateNetworkResult::Outcome::Failed)
        FAIL() << result_.message;
}
