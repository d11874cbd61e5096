#include "core/store/archivemodel.h"
#include "core/store/messagestore.h"

#include "platform/codepage.h"
#include "support/filehelpers.h"
#include "support/printers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

namespace {

const QByteArray kNew("Nov\xE1");
const QByteArray kSent("Odeslan\xE1");
const QByteArray kRead("P\xF8"
                       "e\xE8ten\xE1");
const QByteArray kPrijata("p\xF8ijat\xE1"); // "přijatá"
constexpr qint64 kDayMs = 24 * 3600 * 1000;

int g_argc = 1;
char g_name[] = "store_tests";
char *g_argv[] = {g_name, nullptr};

StoredMessage Message(HistoryKind box, qint32 id, qint32 flag = HistoryFlag::New)
{
    StoredMessage message;
    message.box = box;
    message.row.ID = id;
    message.row.FLAG = flag;
    message.row.DATUM = QDateTime::currentDateTime();
    message.row.FROM = "Jan <PC1>";
    message.row.MSG = "zprava " + QByteArray::number(id);
    message.row.lFLAG = flag == HistoryFlag::Read ? kRead : kNew;
    message.key = "=PC1~" + QByteArray::number(id);
    message.storedAtMs = QDateTime::currentMSecsSinceEpoch();
    return message;
}

std::vector<qint32> Ids(const std::vector<StoredMessage> &messages)
{
    std::vector<qint32> ids;
    for (const StoredMessage &message : messages)
        ids.push_back(message.row.ID);
    return ids;
}

// Waits for what the store does by itself after writes, on the event loop.
bool WaitFor(const std::function<bool()> &done, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// The store's own connection, found through Qt's registry of connections by its file: what it
// is set to there is what the store meets.
QSqlDatabase ConnectionTo(const QString &path)
{
    for (const QString &name : QSqlDatabase::connectionNames()) {
        QSqlDatabase database = QSqlDatabase::database(name, false);
        if (database.databaseName() == path)
            return database;
    }
    return {};
}

class MessageStoreTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("data/veltrin/messages.db"));
    }

    void open(const StoreLimits &limits = {})
    {
        const MessageStore::OpenResult result = store.open(m_path, limits);
        ASSERT_TRUE(result.opened) << result.problem.toStdString();
        ASSERT_TRUE(result.problem.isEmpty()) << result.problem.toStdString();
    }

    void add(const StoredMessage &message) { ASSERT_TRUE(store.add(message)); }

    QCoreApplication m_app{g_argc, g_argv};
    QTemporaryDir m_dir;
    QString m_path;
    MessageStore store;
};

void ExpectSame(const StoredMessage &actual, const StoredMessage &expected)
{
    EXPECT_EQ(actual.box, expected.box);
    EXPECT_EQ(actual.row.ID, expected.row.ID);
    EXPECT_EQ(actual.row.FLAG, expected.row.FLAG);
    EXPECT_EQ(actual.row.DATUM, expected.row.DATUM);
    EXPECT_EQ(actual.row.DATUM.time().msec(), expected.row.DATUM.time().msec());
    EXPECT_EQ(actual.row.DATUM.timeSpec(), Qt::LocalTime);
    EXPECT_EQ(actual.row.FROM, expected.row.FROM);
    EXPECT_EQ(actual.row.MSG, expected.row.MSG);
    EXPECT_EQ(actual.row.lFLAG, expected.row.lFLAG);
    EXPECT_EQ(actual.key, expected.key);
    EXPECT_EQ(actual.host, expected.host);
    EXPECT_EQ(actual.ident, expected.ident);
    EXPECT_EQ(actual.attempts, expected.attempts);
    EXPECT_EQ(actual.storedAtMs, expected.storedAtMs);
}

// --- what is kept ---

TEST_F(MessageStoreTest, EveryFieldOfBothBoxesSurvivesReopening)
{
    open();
    StoredMessage received = Message(HistoryKind::Received, 7);
    received.row.DATUM = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9, 123));
    received.row.FROM = "Ji\xF8\xED \x8A\x9D\xE1stn\xFD <PC9>";
    // Every byte of the code page, the five it leaves undefined and NUL among them.
    for (int byte = 0; byte < 256; ++byte)
        received.row.MSG.append(static_cast<char>(byte));
    received.key = "=PC9~41";
    received.host = "10.0.0.9";
    received.ident = "Sklad";
    received.storedAtMs = 1711845009456;
    StoredMessage sent = Message(HistoryKind::Sent, 7);
    sent.row.FLAG = HistoryFlag::Sent;
    sent.row.lFLAG = kSent;
    sent.row.DATUM = QDateTime(QDate(2023, 12, 24), QTime(23, 59, 59, 999));
    sent.row.MSG = "Kr\xE1sn\xE9 sv\xE1tky \x84\x93";
    sent.key = "=PC7~7";
    sent.host = "PC9";
    sent.ident = "Recepce";
    sent.attempts = 5;
    sent.storedAtMs = 1703458799999;
    add(received);
    add(sent);
    store.close();
    EXPECT_FALSE(store.isOpen());

    open();
    const std::vector<StoredMessage> in = store.newest(HistoryKind::Received, 10);
    const std::vector<StoredMessage> out = store.newest(HistoryKind::Sent, 10);
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(out.size(), 1u);
    ExpectSame(in[0], received);
    ExpectSame(out[0], sent);
}

TEST_F(MessageStoreTest, ChangesAndRemovalsAreKeptAndTouchOnlyTheirBox)
{
    open();
    // The same IDs in both boxes, each sent one older than the received one of its ID.
    add(Message(HistoryKind::Sent, 1));
    add(Message(HistoryKind::Sent, 2));
    add(Message(HistoryKind::Received, 1));
    add(Message(HistoryKind::Received, 2));
    EXPECT_TRUE(store.setFlag(HistoryKind::Received, 1, HistoryFlag::Read, kRead));
    EXPECT_TRUE(store.setFlag(HistoryKind::Sent, 1, HistoryFlag::Failed, "Chyba!"));
    EXPECT_TRUE(store.setDelivery(1, 3, "10.0.0.9"));
    EXPECT_TRUE(store.remove(HistoryKind::Sent, 2));
    store.close();

    open();
    const std::vector<StoredMessage> in = store.newest(HistoryKind::Received, 10);
    ASSERT_EQ(Ids(in), (std::vector<qint32>{2, 1}));
    EXPECT_EQ(in[0].row.FLAG, HistoryFlag::New);
    EXPECT_EQ(in[0].row.lFLAG, kNew);
    EXPECT_EQ(in[1].row.FLAG, HistoryFlag::Read);
    EXPECT_EQ(in[1].row.lFLAG, kRead);
    EXPECT_EQ(in[1].attempts, 0);
    const std::vector<StoredMessage> out = store.newest(HistoryKind::Sent, 10);
    ASSERT_EQ(Ids(out), std::vector<qint32>{1});
    EXPECT_EQ(out[0].row.FLAG, HistoryFlag::Failed);
    EXPECT_EQ(out[0].row.lFLAG, QByteArray("Chyba!"));
    EXPECT_EQ(out[0].attempts, 3);
    EXPECT_EQ(out[0].host, QByteArray("10.0.0.9"));
    EXPECT_EQ(store.messageCount(), 3);
}

TEST_F(MessageStoreTest, TheFilesAreTheUsersAlone)
{
    open();
    add(Message(HistoryKind::Received, 1));
    const auto mode = [](const QString &path) {
        return QFileInfo(path).permissions()
               & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                  | QFile::WriteOther | QFile::ExeOther);
    };
    const QString directory = QFileInfo(m_path).path();
    EXPECT_TRUE(QFileInfo(directory).isDir());
    EXPECT_EQ(mode(directory), QFile::Permissions());
    EXPECT_EQ(mode(QFileInfo(directory).path()), QFile::Permissions());
    for (const QString &file : {m_path, m_path + QStringLiteral("-wal")}) {
        SCOPED_TRACE(file.toStdString());
        ASSERT_TRUE(QFileInfo::exists(file));
        EXPECT_EQ(mode(file), QFile::Permissions());
    }
}

TEST_F(MessageStoreTest, ASecondStoreOnTheFileIsRefusedAndLeavesItWhole)
{
    open();
    add(Message(HistoryKind::Received, 1));
    // A second station of the same user: it keeps its messages in memory, says why, and moves
    // nothing aside.
    MessageStore second;
    const MessageStore::OpenResult result = second.open(m_path);
    EXPECT_FALSE(result.opened);
    EXPECT_FALSE(result.problem.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(m_path + QStringLiteral(".bak")));
    ASSERT_TRUE(store.add(Message(HistoryKind::Sent, 1)));
    EXPECT_EQ(store.messageCount(), 2);
}

TEST(MessageStorePath, IsInTheUsersDataDirectory)
{
    const QByteArray home = qgetenv("HOME");
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    qputenv("HOME", "/home/jana");
    qputenv("XDG_DATA_HOME", "/srv/data");
    const QString given = MessageStore::DefaultPath();
    qunsetenv("XDG_DATA_HOME");
    const QString fallback = MessageStore::DefaultPath();
    qputenv("HOME", home);
    if (!dataHome.isNull())
        qputenv("XDG_DATA_HOME", dataHome);
    EXPECT_EQ(given, QStringLiteral("/srv/data/veltrin/messages.db"));
    EXPECT_EQ(fallback, QStringLiteral("/home/jana/.local/share/veltrin/messages.db"));
}

// --- the reads of the start ---

TEST_F(MessageStoreTest, StartReadsPickTheirMessages)
{
    open();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Received 1 to 6, the even ones read; 1 to 3 stored long ago, 4 to 6 just now.
    for (qint32 id = 1; id <= 6; ++id) {
        StoredMessage message = Message(HistoryKind::Received, id, id % 2 ? 0 : HistoryFlag::Read);
        message.storedAtMs = id <= 3 ? now - kDayMs : now;
        add(message);
    }
    // A repeated key: the newer one is what a search by key finds.
    StoredMessage repeat = Message(HistoryKind::Received, 7, HistoryFlag::Read);
    repeat.key = "=PC1~2";
    repeat.storedAtMs = now;
    add(repeat);
    // Sent 1 to 4: 2 and 4 are still waiting.
    for (qint32 id = 1; id <= 4; ++id) {
        StoredMessage message = Message(HistoryKind::Sent, id, id % 2 ? HistoryFlag::Sent : 0);
        message.key = "=PC7~" + QByteArray::number(id);
        add(message);
    }

    EXPECT_EQ(Ids(store.newest(HistoryKind::Received, 3)), (std::vector<qint32>{7, 6, 5}));
    EXPECT_EQ(Ids(store.newest(HistoryKind::Sent, 10)), (std::vector<qint32>{4, 3, 2, 1}));
    EXPECT_EQ(Ids(store.newestUnread(2)), (std::vector<qint32>{5, 3}));
    EXPECT_EQ(store.unreadCount(), 3);
    EXPECT_EQ(store.messageCount(), 11);
    EXPECT_EQ(store.highestId(HistoryKind::Received), 7);
    EXPECT_EQ(store.highestId(HistoryKind::Sent), 4);
    EXPECT_EQ(Ids(store.waitingSent()), (std::vector<qint32>{2, 4}));
    // The newest two, and everything stored since a moment before now: oldest first.
    EXPECT_EQ(Ids(store.rememberedReceived(2, now - 1000)), (std::vector<qint32>{4, 5, 6, 7}));
    EXPECT_EQ(Ids(store.rememberedReceived(6, now - 1000)),
              (std::vector<qint32>{2, 3, 4, 5, 6, 7}));

    const std::optional<StoredMessage> byKey = store.receivedByKey("=PC1~2", now - kDayMs - 1);
    ASSERT_TRUE(byKey.has_value());
    EXPECT_EQ(byKey->row.ID, 7);
    const std::optional<StoredMessage> older = store.receivedByKey("=PC1~3", now - kDayMs - 1);
    ASSERT_TRUE(older.has_value());
    EXPECT_EQ(older->row.ID, 3);
    EXPECT_FALSE(store.receivedByKey("=PC1~3", now - 1000).has_value());
    // Sent messages have keys too, but a sender repeats only what the station received.
    EXPECT_FALSE(store.receivedByKey("=PC7~4", 0).has_value());
}

TEST_F(MessageStoreTest, AnEmptyOrClosedStoreGivesNothing)
{
    EXPECT_FALSE(store.add(Message(HistoryKind::Received, 1)));
    EXPECT_TRUE(store.newest(HistoryKind::Received, 10).empty());
    EXPECT_EQ(store.messageCount(), 0);
    open();
    EXPECT_EQ(store.highestId(HistoryKind::Received), 0);
    EXPECT_EQ(store.highestId(HistoryKind::Sent), 0);
    EXPECT_TRUE(store.waitingSent().empty());
    EXPECT_TRUE(store.archivePage({}, 0, 10).empty());
}

// --- files that cannot be used ---

TEST_F(MessageStoreTest, AnUnreadableFileIsSetAsideEachTimeAndAFreshStoreStarts)
{
    const QByteArray garbage = QByteArray("not a database, and never was\n").repeated(100);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(m_path).path()));
    for (const QString &backup :
         {m_path + QStringLiteral(".bak"), m_path + QStringLiteral(".bak1")}) {
        SCOPED_TRACE(backup.toStdString());
        WriteFileBytes(m_path, garbage);
        const MessageStore::OpenResult result = store.open(m_path);
        ASSERT_TRUE(result.opened) << result.problem.toStdString();
        const QString problem = DecodeWindows1250(result.problem);
        EXPECT_TRUE(problem.startsWith(QStringLiteral("Soubor se zprávami ") + m_path))
                << problem.toStdString();
        EXPECT_TRUE(problem.contains(QStringLiteral("byl uložen stranou jako ") + backup))
                << problem.toStdString();
        EXPECT_EQ(FileBytes(backup), garbage);
        add(Message(HistoryKind::Received, 1));
        EXPECT_EQ(store.messageCount(), 1);
        store.close();
    }
    EXPECT_EQ(FileBytes(m_path + QStringLiteral(".bak")), garbage);
}

TEST_F(MessageStoreTest, FilesOfANewerVersionOrAnotherProgramAreSetAside)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(m_path).path()));
    const std::vector<QStringList> makers = {
            {QStringLiteral("CREATE TABLE messages (seq INTEGER PRIMARY KEY, later TEXT)"),
             QStringLiteral("PRAGMA user_version = 2")},
            {QStringLiteral("CREATE TABLE recipes (name TEXT)")},
            {QStringLiteral("CREATE TABLE messages (a, b)"),
             QStringLiteral("PRAGMA user_version = 1")},
    };
    for (const QStringList &statements : makers) {
        SCOPED_TRACE(statements.join(u';').toStdString());
        QFile::remove(m_path);
        QFile::remove(m_path + QStringLiteral(".bak"));
        {
            QSqlDatabase other
                    = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
            other.setDatabaseName(m_path);
            ASSERT_TRUE(other.open());
            for (const QString &statement : statements)
                ASSERT_TRUE(QSqlQuery(other).exec(statement));
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
        const QByteArray before = FileBytes(m_path);

        const MessageStore::OpenResult result = store.open(m_path);
        ASSERT_TRUE(result.opened) << result.problem.toStdString();
        EXPECT_TRUE(DecodeWindows1250(result.problem).contains(QStringLiteral("stranou")))
                << result.problem.toStdString();
        EXPECT_EQ(FileBytes(m_path + QStringLiteral(".bak")), before);
        add(Message(HistoryKind::Received, 1));
        store.close();
    }
}

TEST_F(MessageStoreTest, WithoutAPlaceForTheFileTheStoreStaysClosed)
{
    const QString parent = m_dir.filePath(QStringLiteral("data"));
    WriteFileBytes(parent, "a regular file");
    const MessageStore::OpenResult result = store.open(parent + QStringLiteral("/messages.db"));
    EXPECT_FALSE(result.opened);
    EXPECT_FALSE(store.isOpen());
    const QString problem = DecodeWindows1250(result.problem);
    EXPECT_TRUE(problem.startsWith(QStringLiteral("Zprávy nelze ukládat do ") + parent))
            << problem.toStdString();
    EXPECT_TRUE(problem.endsWith(QStringLiteral("stanice je drží jen v paměti.")))
            << problem.toStdString();
    EXPECT_EQ(FileBytes(parent), "a regular file");

    QSignalSpy failed(&store, &MessageStore::writeFailed);
    EXPECT_FALSE(store.add(Message(HistoryKind::Received, 1)));
    // The start has told the user already.
    EXPECT_EQ(failed.count(), 0);
}

TEST_F(MessageStoreTest, AFullDiskIsAnnouncedOnceAndItsEndOnce)
{
    open();
    QSignalSpy failed(&store, &MessageStore::writeFailed);
    QSignalSpy resumed(&store, &MessageStore::writeResumed);
    {
        QSqlQuery(ConnectionTo(m_path)).exec(QStringLiteral("PRAGMA max_page_count = 1"));
    }
    StoredMessage message = Message(HistoryKind::Received, 1);
    message.row.MSG = QByteArray(400, 'x');
    qint32 id = 1;
    while (id < 100 && store.add(message))
        message.row.ID = ++id;
    ASSERT_LT(id, 100) << "the limit never stopped a write";
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(store.add(message));
    ASSERT_EQ(failed.count(), 1);
    const QString text = DecodeWindows1250(failed.at(0).at(0).toByteArray());
    EXPECT_EQ(text, QStringLiteral("Zprávy nelze uložit: disk je plný"));
    EXPECT_EQ(resumed.count(), 0);
    EXPECT_EQ(store.messageCount(), id - 1);

    {
        QSqlQuery(ConnectionTo(m_path)).exec(QStringLiteral("PRAGMA max_page_count = 100000"));
    }
    EXPECT_TRUE(store.add(message));
    message.row.ID = ++id;
    EXPECT_TRUE(store.add(message));
    EXPECT_EQ(resumed.count(), 1);
    EXPECT_EQ(failed.count(), 1);
    EXPECT_EQ(store.messageCount(), id);
}

// --- the limits ---

TEST_F(MessageStoreTest, TrimDropsReadAndFinishedBeforeUnreadAndWaiting)
{
    open({6, 0});
    add(Message(HistoryKind::Received, 1));                    // unread, the oldest
    add(Message(HistoryKind::Received, 2, HistoryFlag::Read)); // read
    add(Message(HistoryKind::Sent, 1));                        // waiting
    add(Message(HistoryKind::Sent, 2, HistoryFlag::Sent));     // confirmed
    add(Message(HistoryKind::Sent, 3, HistoryFlag::Failed));   // given up
    add(Message(HistoryKind::Received, 3, HistoryFlag::Read));
    add(Message(HistoryKind::Received, 4));
    add(Message(HistoryKind::Received, 5));

    store.trim();
    EXPECT_EQ(store.messageCount(), 6);
    EXPECT_EQ(Ids(store.newest(HistoryKind::Received, 10)), (std::vector<qint32>{5, 4, 3, 1}));
    EXPECT_EQ(Ids(store.newest(HistoryKind::Sent, 10)), (std::vector<qint32>{3, 1}));

    // With only unread and waiting ones left over the limit, the oldest of them go.
    store.setLimits({2, 0});
    store.trim();
    EXPECT_EQ(Ids(store.archivePage({}, 0, 10)), (std::vector<qint32>{5, 4}));
}

TEST_F(MessageStoreTest, MessagesOlderThanTheDaysKeptGoByDateOrByStoring)
{
    open({100, 30});
    const QDateTime now = QDateTime::currentDateTime();
    StoredMessage oldDate = Message(HistoryKind::Received, 1);
    oldDate.row.DATUM = now.addDays(-31);
    StoredMessage oldStoring = Message(HistoryKind::Sent, 1, HistoryFlag::Sent);
    oldStoring.storedAtMs = now.addDays(-31).toMSecsSinceEpoch();
    StoredMessage recent = Message(HistoryKind::Received, 2);
    recent.row.DATUM = now.addDays(-29);
    recent.storedAtMs = now.addDays(-29).toMSecsSinceEpoch();
    add(oldDate);
    add(oldStoring);
    add(recent);

    store.trim();
    EXPECT_EQ(Ids(store.archivePage({}, 0, 10)), std::vector<qint32>{2});
}

TEST_F(MessageStoreTest, WritesAreTrimmedByThemselvesAndAFloodDoesNotGrowTheFile)
{
    constexpr int kKeep = 200;
    open({kKeep, 0});
    const auto fileBytes = [this] {
        return QFileInfo(m_path).size() + QFileInfo(m_path + QStringLiteral("-wal")).size();
    };
    qint32 id = 0;
    const auto flood = [&](int count) {
        for (int i = 0; i < count; ++i) {
            StoredMessage message = Message(HistoryKind::Received, ++id);
            message.row.MSG = "flood " + QByteArray::number(id) + QByteArray(300, 'x');
            ASSERT_TRUE(store.add(message));
            // Each burst is trimmed before the next, as the event loop would between datagrams.
            if (id % 100 == 0) {
                ASSERT_TRUE(WaitFor([&] { return store.messageCount() <= kKeep; }));
            }
        }
    };
    flood(2000);
    EXPECT_LE(store.messageCount(), kKeep);
    EXPECT_EQ(store.newest(HistoryKind::Received, 1).at(0).row.ID, id);
    const qint64 after = fileBytes();
    const qint64 database = QFileInfo(m_path).size();
    flood(4000);
    EXPECT_LE(store.messageCount(), kKeep);
    // Deleted pages are used again, and the WAL is kept short by the checkpoints: what grows
    // is the search index's structure, by a few pages, where 4000 messages more would have
    // doubled the file.
    EXPECT_LE(QFileInfo(m_path).size(), database + database / 4);
    EXPECT_LE(fileBytes(), after + after / 4);
}

// --- the archive ---

TEST_F(MessageStoreTest, SearchFindsWordBeginningsWithAndWithoutDiacritics)
{
    open();
    StoredMessage accepted = Message(HistoryKind::Received, 1);
    accepted.row.MSG = "Zpr\xE1va byla " + kPrijata
                       + ", d\xEC"
                         "kuji";
    StoredMessage other = Message(HistoryKind::Received, 2);
    other.row.MSG = "Obed v poledne";
    StoredMessage toEva = Message(HistoryKind::Sent, 1);
    toEva.row.FROM = "Eva \x8Akodov\xE1 <PC2>";
    toEva.row.MSG = "Prijata \"AND\" -ne";
    add(accepted);
    add(other);
    add(toEva);

    const auto found = [this](const QString &search) {
        std::vector<qint32> ids;
        for (const StoredMessage &message : store.archivePage(search, 0, 10))
            ids.push_back(message.box == HistoryKind::Sent ? -message.row.ID : message.row.ID);
        return ids;
    };
    // Newest first; sent messages are negative here.
    EXPECT_EQ(found(QStringLiteral("prijata")), (std::vector<qint32>{-1, 1}));
    EXPECT_EQ(found(QStringLiteral("PŘIJ")), (std::vector<qint32>{-1, 1}));
    EXPECT_EQ(found(QStringLiteral("přij děk")), std::vector<qint32>{1});
    EXPECT_EQ(found(QStringLiteral("škod")), std::vector<qint32>{-1});
    EXPECT_EQ(found(QStringLiteral("pc2")), std::vector<qint32>{-1});
    EXPECT_TRUE(found(QStringLiteral("jata")).empty());
    // The user's quotes and operators are searched for as text, never obeyed.
    EXPECT_EQ(found(QStringLiteral("přij\"")), (std::vector<qint32>{-1, 1}));
    EXPECT_EQ(found(QStringLiteral("\"and\"")), std::vector<qint32>{-1});
    EXPECT_EQ(found(QStringLiteral("-ne")), std::vector<qint32>{-1});
    EXPECT_EQ(found(QStringLiteral("obed OR prijata")), std::vector<qint32>{});
    EXPECT_EQ(found(QStringLiteral("\" * ( NEAR")), std::vector<qint32>{});
    EXPECT_EQ(found(QStringLiteral("\"")).size(), 3u);
    EXPECT_EQ(found(QString()), (std::vector<qint32>{-1, 2, 1}));

    // Removed, a message leaves the search with it, also when a new one takes its place at
    // the end of the store.
    EXPECT_TRUE(store.remove(HistoryKind::Received, 1));
    EXPECT_TRUE(store.remove(HistoryKind::Sent, 1));
    StoredMessage news = Message(HistoryKind::Sent, 2);
    news.row.MSG = "Novinka";
    add(news);
    EXPECT_TRUE(found(QStringLiteral("prijata")).empty());
    EXPECT_EQ(found(QStringLiteral("novink")), std::vector<qint32>{-2});
}

TEST_F(MessageStoreTest, ArchiveModelFetchesPageByPage)
{
    open();
    constexpr int kMessages = 2 * ArchiveModel::kPageRows + 50;
    for (qint32 id = 1; id <= kMessages; ++id) {
        StoredMessage message = Message(id % 2 ? HistoryKind::Received : HistoryKind::Sent, id);
        message.row.MSG = id == 3 ? kPrijata : "text " + QByteArray::number(id);
        add(message);
    }
    StoredMessage last = Message(HistoryKind::Sent, kMessages + 1, HistoryFlag::Sent);
    last.row.DATUM = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5));
    last.row.FROM = "Eva \x8Akodov\xE1 <PC2>";
    last.row.lFLAG = kSent;
    add(last);

    ArchiveModel model(store);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_TRUE(model.canFetchMore({}));
    model.fetchMore({});
    EXPECT_EQ(model.rowCount(), ArchiveModel::kPageRows);
    model.fetchMore({});
    EXPECT_EQ(model.rowCount(), 2 * ArchiveModel::kPageRows);
    EXPECT_TRUE(model.canFetchMore({}));
    model.fetchMore({});
    EXPECT_EQ(model.rowCount(), kMessages + 1);
    EXPECT_FALSE(model.canFetchMore({}));
    EXPECT_EQ(inserted.count(), 3);
    EXPECT_EQ(model.message(0).row.ID, kMessages + 1);
    EXPECT_EQ(model.message(kMessages).row.ID, 1);

    const auto cell = [&model](int row, int column) {
        return model.data(model.index(row, column)).toString();
    };
    EXPECT_EQ(cell(0, ArchiveModel::ColumnDatum), QStringLiteral("02.01.2024 03:04:05"));
    EXPECT_EQ(cell(0, ArchiveModel::ColumnDirection), QStringLiteral("odchozí"));
    EXPECT_EQ(cell(2, ArchiveModel::ColumnDirection), QStringLiteral("příchozí"));
    EXPECT_EQ(cell(0, ArchiveModel::ColumnPartner), QStringLiteral("Eva Škodová <PC2>"));
    EXPECT_EQ(cell(0, ArchiveModel::ColumnState), QStringLiteral("Odeslaná"));
    EXPECT_EQ(cell(kMessages - 2, ArchiveModel::ColumnText), QStringLiteral("přijatá"));
    EXPECT_EQ(model.data(model.index(0, ArchiveModel::ColumnPartner), Qt::AccessibleTextRole),
              model.data(model.index(0, ArchiveModel::ColumnPartner)));
    EXPECT_EQ(model.headerData(ArchiveModel::ColumnPartner, Qt::Horizontal, Qt::DisplayRole),
              QStringLiteral("Odesílatel / příjemce"));

    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    model.setSearch(QStringLiteral("prijata"));
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(model.rowCount(), 0);
    model.fetchMore({});
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.message(0).row.ID, 3);
    EXPECT_FALSE(model.canFetchMore({}));
}

TEST_F(MessageStoreTest, ArchiveModelShowsNoRowTwiceWhenMessagesComeWhileItPages)
{
    open();
    for (qint32 id = 1; id <= ArchiveModel::kPageRows + 10; ++id)
        add(Message(HistoryKind::Received, id));
    ArchiveModel model(store);
    model.fetchMore({});
    ASSERT_EQ(model.rowCount(), ArchiveModel::kPageRows);
    for (qint32 id = ArchiveModel::kPageRows + 11; id <= ArchiveModel::kPageRows + 15; ++id)
        add(Message(HistoryKind::Received, id));
    model.fetchMore({});
    ASSERT_EQ(model.rowCount(), ArchiveModel::kPageRows + 10);
    EXPECT_EQ(model.message(model.rowCount() - 1).row.ID, 1);
    EXPECT_EQ(model.message(ArchiveModel::kPageRows).row.ID, 10);

    // More than a page of them: none of the pages after shows a row twice.
    ArchiveModel later(store);
    later.fetchMore({});
    for (qint32 id = ArchiveModel::kPageRows + 16; id <= 2 * ArchiveModel::kPageRows + 65; ++id)
        add(Message(HistoryKind::Received, id));
    while (later.canFetchMore({}))
        later.fetchMore({});
    std::set<qint32> ids;
    for (int row = 0; row < later.rowCount(); ++row)
        EXPECT_TRUE(ids.insert(later.message(row).row.ID).second) << later.message(row).row.ID;
    EXPECT_EQ(ids.count(1), 1u);

    model.reload();
    model.fetchMore({});
    EXPECT_EQ(model.message(0).row.ID, 2 * ArchiveModel::kPageRows + 65);
}

} // namespace
