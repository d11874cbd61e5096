#include "messagestore.h"

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/rescuedcopy.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QStringList>
#include <QTimer>
#include <QVariant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <span>

namespace {

// Each step brings a file from the version of its position to the next one. A later schema
// appends a step and never changes an earlier one, so a file left at any version ends with the
// same tables as a new file, which goes through every step from an empty one.
const char *const kToVersion1[] = {
        // seq is the order the store took the messages in, which the archive shows.
        "CREATE TABLE messages ("
        " seq INTEGER PRIMARY KEY,"
        " box INTEGER NOT NULL,"
        " id INTEGER NOT NULL,"
        " flag INTEGER NOT NULL,"
        " datum INTEGER,"
        " partner TEXT,"
        " text TEXT,"
        " label BLOB,"
        " msg_key BLOB,"
        " host BLOB,"
        " ident BLOB,"
        " attempts INTEGER NOT NULL,"
        " stored_at INTEGER NOT NULL,"
        // The whole text as it travelled when text holds only its first 400 bytes, else null.
        " body BLOB)",
        // Every index costs each add() a page written, about 4 µs, so there are three. By ID,
        // with the flag, so that a trim finds the oldest read and finished messages in the
        // index alone; by key for the received messages only, which a sender may repeat; and
        // the messages still open (unread, waiting), which every start counts and restores: a
        // walk of the index by ID for them took some 15 ms over 100 000 messages.
        "CREATE INDEX messages_by_id ON messages (box, id, flag)",
        "CREATE INDEX messages_by_key ON messages (msg_key) WHERE box = 0",
        "CREATE INDEX messages_open ON messages (box, id) WHERE flag = 0",
        // Filled later, off the receiving path, up to the highest row it holds; see updateIndex.
        // Only which messages hold a word, not where in them: a search asks for words that
        // begin with what was typed, never for a phrase or a column, and the index costs the
        // deferred pass a fraction of a full one. No index of first letters either: it doubled
        // that cost for a one-letter search, which a person types on the way to a word.
        "CREATE VIRTUAL TABLE search USING fts5(partner, text,"
        " tokenize = 'unicode61 remove_diacritics 2', detail = none)",
        // A message not yet indexed has no row there, and then this deletes nothing.
        "CREATE TRIGGER messages_unsearch AFTER DELETE ON messages"
        " BEGIN DELETE FROM search WHERE rowid = old.seq; END",
};
const std::span<const char *const> kSchemaSteps[] = {kToVersion1};
constexpr int kSchemaVersion = static_cast<int>(std::size(kSchemaSteps));

// What the file must hold after the steps for the store to take it as its own.
const QStringList kMessageColumns = {QStringLiteral("seq"),
                                     QStringLiteral("box"),
                                     QStringLiteral("id"),
                                     QStringLiteral("flag"),
                                     QStringLiteral("datum"),
                                     QStringLiteral("partner"),
                                     QStringLiteral("text"),
                                     QStringLiteral("label"),
                                     QStringLiteral("msg_key"),
                                     QStringLiteral("host"),
                                     QStringLiteral("ident"),
                                     QStringLiteral("attempts"),
                                     QStringLiteral("stored_at"),
                                     QStringLiteral("body")};

// The columns every read selects, in the order ReadMessage takes them.
#define MESSAGE_COLUMNS                                                                            \
    "box, id, flag, datum, partner, text, label, msg_key, host, ident, attempts, stored_at, body"

constexpr int kReceivedBox = 0;
constexpr int kSentBox = 1;

// A second station of the same user may hold the file for a moment; the receiving path must not
// wait long behind it.
const QString kConnectOptions = QStringLiteral("QSQLITE_BUSY_TIMEOUT=250");
// Long enough for a burst of messages to be stored first, short enough for a search to find
// little to index.
constexpr int kMaintenanceDelayMs = 5;
// The first deferred pass after the store opens, when the station's start is over.
constexpr int kFirstPassDelayMs = 1000;
// Rows indexed in one transaction of the deferred pass, which holds up the thread meanwhile.
constexpr int kIndexBatch = 200;
// About what the automatic checkpoint would wait for, in writes rather than pages.
constexpr int kCheckpointWrites = 500;
// A trim over the limit goes down to this fraction of it below.
constexpr qint64 kTrimMargin = 1000;
// The age limit is checked again after this long, whether or not the count needs a trim.
constexpr qint64 kAgeTrimIntervalMs = 3600 * 1000;
constexpr qint64 kFirstAgeTrimDelayMs = 60 * 1000;
constexpr qint64 kDayMs = 24 * 3600 * 1000;

// SQLite's primary result codes that decide what the store does.
constexpr int kSqliteBusy = 5;
constexpr int kSqliteLocked = 6;
constexpr int kSqliteReadOnly = 8;
constexpr int kSqliteIoError = 10;
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteFull = 13;
constexpr int kSqliteCantOpen = 14;
constexpr int kSqliteNotADatabase = 26;

int SqliteCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xFF;
}

// A file that gives these cannot be used; any other failure may pass.
bool IsUnusableFile(const QSqlError &error)
{
    const int code = SqliteCode(error);
    return code == kSqliteCorrupt || code == kSqliteNotADatabase;
}

QByteArray ReasonOf(const QSqlError &error)
{
    switch (SqliteCode(error)) {
    case kSqliteBusy:
    case kSqliteLocked:
        return EncodeWindows1250(u"soubor právě drží jiný program");
    case kSqliteReadOnly:
        return EncodeWindows1250(u"soubor je jen pro čtení");
    case kSqliteIoError:
        return EncodeWindows1250(u"chyba čtení nebo zápisu na disk");
    case kSqliteCorrupt:
        return EncodeWindows1250(u"soubor je poškozený");
    case kSqliteFull:
        return EncodeWindows1250(u"disk je plný");
    case kSqliteCantOpen:
        return EncodeWindows1250(u"soubor nelze otevřít");
    case kSqliteNotADatabase:
        return EncodeWindows1250(u"není to databáze");
    default:
        break;
    }
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return EncodeWindows1250(text);
}

QByteArray ReasonOfErrno(int code)
{
    switch (code) {
    case ENOTDIR:
    case EEXIST:
        return EncodeWindows1250(u"v cestě je soubor místo adresáře");
    case EACCES:
    case EPERM:
        return EncodeWindows1250(u"přístup odepřen");
    case EROFS:
        return EncodeWindows1250(u"disk je jen pro čtení");
    case ENOSPC:
    case EDQUOT:
        return EncodeWindows1250(u"disk je plný");
    default:
        return EncodeWindows1250(QString::fromLocal8Bit(std::strerror(code)));
    }
}

// The directory and any missing parents, each readable by the user alone, as the messages are.
void MakePrivateDirectory(const QString &directory)
{
    if (QFileInfo(directory).isDir())
        return;
    const QString parent = QFileInfo(directory).path();
    if (parent != directory)
        MakePrivateDirectory(parent);
    if (::mkdir(QFile::encodeName(directory).constData(), 0700) != 0 && errno != EEXIST) {
        const int code = errno;
        throw Error(EncodeWindows1250(u"nelze vytvořit adresář ") + PathToWindows1250(directory)
                    + " (" + ReasonOfErrno(code) + ')');
    }
    if (!QFileInfo(directory).isDir())
        throw Error(EncodeWindows1250(u"nelze vytvořit adresář ") + PathToWindows1250(directory)
                    + " (" + ReasonOfErrno(ENOTDIR) + ')');
}

// SQLite gives its journal files the permissions of the database, so a file made for the user
// alone keeps the WAL and its index private too.
void CreatePrivateFile(const QString &path)
{
    const int fd = ::open(
            QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int code = errno;
        if (code == EEXIST)
            return;
        throw Error(EncodeWindows1250(u"nelze vytvořit soubor (") + ReasonOfErrno(code) + ')');
    }
    ::close(fd);
}

// A rescued copy must be whole: a WAL beside the database may hold its latest commits. Left at
// the old name, it would be replayed into the new store.
void MoveCompanionsAside(const QString &path, const QString &backup)
{
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-journal")}) {
        if (QFileInfo::exists(path + suffix) && !QFile::rename(path + suffix, backup + suffix))
            QFile::remove(path + suffix);
    }
    // Only an index into the WAL, made again from it.
    QFile::remove(path + QStringLiteral("-shm"));
}

QString UniqueConnectionName()
{
    static std::atomic<quint64> counter{0};
    return QStringLiteral("veltrin-messages-%1").arg(++counter);
}

int BoxNumber(HistoryKind box)
{
    return box == HistoryKind::Sent ? kSentBox : kReceivedBox;
}

// The box is written into the statement, never bound: against the key index's "box = 0" a
// bound box would make SQLite prepare the statement again at every call, which cost a flag's
// change more than the change itself.
QString BoxCondition(HistoryKind box)
{
    return QStringLiteral("box = %1").arg(BoxNumber(box));
}

QVariant NullableMs(const QDateTime &datum)
{
    if (!datum.isValid())
        return QVariant(QMetaType::fromType<qint64>());
    return datum.toMSecsSinceEpoch();
}

StoredMessage ReadMessage(const QSqlQuery &query)
{
    StoredMessage message;
    message.box = query.value(0).toInt() == kSentBox ? HistoryKind::Sent : HistoryKind::Received;
    message.row.ID = query.value(1).toInt();
    message.row.FLAG = query.value(2).toInt();
    const QVariant datum = query.value(3);
    if (!datum.isNull())
        message.row.DATUM = QDateTime::fromMSecsSinceEpoch(datum.toLongLong());
    message.row.FROM = EncodeWindows1250(query.value(4).toString());
    message.row.MSG = EncodeWindows1250(query.value(5).toString());
    message.row.lFLAG = query.value(6).toByteArray();
    message.key = query.value(7).toByteArray();
    message.host = query.value(8).toByteArray();
    message.ident = query.value(9).toByteArray();
    message.attempts = query.value(10).toInt();
    message.storedAtMs = query.value(11).toLongLong();
    const QVariant body = query.value(12);
    message.body = body.isNull() ? message.row.MSG : body.toByteArray();
    return message;
}

// Every word typed becomes a prefix token of its own. Quoted, the user's text is never FTS5
// syntax: "AND", "-" or a lone quote are searched for, not obeyed. A word of nothing but
// separators would never match, as the tokenizer keeps no token of it; it is left out.
QString MatchExpression(const QString &search)
{
    QStringList terms;
    for (const QString &word : search.simplified().split(u' ', Qt::SkipEmptyParts)) {
        if (std::none_of(word.begin(), word.end(), [](QChar c) { return c.isLetterOrNumber(); }))
            continue;
        QString quoted = word;
        quoted.replace(u'"', QStringLiteral("\"\""));
        terms.append(u'"' + quoted + QStringLiteral("\"*"));
    }
    return terms.join(u' ');
}

} // namespace

class MessageStore::Private
{
public:
    explicit Private(MessageStore &store);

    // The file as it is at path, made ready; the reason when the file cannot be used and must
    // go aside. Throws Error when no store can be had there at all.
    std::optional<QByteArray> connect(const QString &path);
    void disconnect();
    // Brings the schema from version up to the current one; false when the file is not ours.
    bool migrate(int version);
    bool isOurSchema();
    void prepareWrites();
    QSqlQuery prepared(const QString &sql) const;
    // A failed statement as an Error with the reason; its SQLite error stays in lastFailure.
    void run(QSqlQuery &query) const;
    void run(const QString &sql) const;
    [[noreturn]] void fail(const QSqlError &error) const;
    void rollBack() const;
    std::vector<StoredMessage> select(const QString &sql, const QVariantList &values) const;
    // The first column of the first row; nothing when there is no row.
    std::optional<qint64> number(const QString &sql, const QVariantList &values = {}) const;
    std::optional<qint64> numberOrNothing(const QString &sql,
                                          const QVariantList &values = {}) const;

    // One write of the receiving path, with the rows it changed; a failure is announced once.
    bool write(QSqlQuery &query, int *changed = nullptr);
    void scheduleMaintenance();
    void maintain();
    // The age limit reads every message, so the deferred pass keeps it to once in a while.
    void trim(bool byAge);
    // One batch; whether the index has caught up.
    bool indexBatch();
    void checkpoint();

    MessageStore &q;
    const QString connectionName;
    QString path;
    StoreLimits limits;
    QSqlDatabase db;
    mutable QSqlError lastFailure;
    bool open = false;
    std::optional<QSqlQuery> insert;
    // One for each box, by its index: see BoxCondition.
    std::array<std::optional<QSqlQuery>, 2> updateFlag;
    std::optional<QSqlQuery> updateDelivery;
    std::array<std::optional<QSqlQuery>, 2> removeOne;
    std::optional<QSqlQuery> byKey;
    // The messages in the file as this connection last counted, kept up by its own writes.
    qint64 count = 0;
    int writesSinceCheckpoint = 0;
    qint64 nextAgeTrimMs = 0;
    bool failing = false;
    QTimer maintenance;
};

MessageStore::Private::Private(MessageStore &store)
    : q(store)
    , connectionName(UniqueConnectionName())
{
    // Its child, so that it goes wherever the store is moved before it opens its connection.
    maintenance.setParent(&q);
    maintenance.setSingleShot(true);
    maintenance.setInterval(kMaintenanceDelayMs);
    QObject::connect(&maintenance, &QTimer::timeout, &q, [this] { maintain(); });
}

std::optional<QByteArray> MessageStore::Private::connect(const QString &file)
{
    MakePrivateDirectory(QFileInfo(file).path());
    const QFileInfo info(file);
    if (info.exists() && !info.isFile())
        return EncodeWindows1250(u"není to soubor");
    if (!info.exists())
        CreatePrivateFile(file);

    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (!db.isValid())
        throw Error(EncodeWindows1250(u"chybí ovladač SQLite (balík libqt6sql6-sqlite)"));
    db.setDatabaseName(file);
    db.setConnectOptions(kConnectOptions);
    if (!db.open())
        throw Error(ReasonOf(db.lastError()));

    try {
        // The first read of the file is where SQLite finds out what it is.
        const int version
                = static_cast<int>(number(QStringLiteral("PRAGMA user_version")).value_or(0));
        if (version > kSchemaVersion)
            return EncodeWindows1250(u"je z novější verze programu");
        // Checked before anything is written, so that a file set aside is as it was found.
        const bool foreign
                = version == 0 ? number(QStringLiteral("SELECT count(*) FROM sqlite_master")) != 0
                               : version == kSchemaVersion && !isOurSchema();
        if (foreign)
            return EncodeWindows1250(u"neobsahuje zprávy stanice");
        // The station holds the file for as long as it runs: a commit then takes and gives back
        // no file locks (an eighth of its cost), the journal's index lives in memory, and no
        // other program can keep a snapshot open that would let the journal grow without end. A
        // second station of the user finds the file held and keeps its messages in memory.
        run(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE"));
        run(QStringLiteral("PRAGMA journal_mode = WAL"));
        run(QStringLiteral("PRAGMA synchronous = NORMAL"));
        // Debian's SQLite overwrites every deleted message at once, pages of its own too; this
        // overwrites it only where the page is written anyway, so a trim costs no more writes.
        run(QStringLiteral("PRAGMA secure_delete = FAST"));
        // The pages a station needs are the ends of its indexes and the newest messages; the
        // default cache of 2 MiB would fill with whatever a count or a search once read.
        run(QStringLiteral("PRAGMA cache_size = -512"));
        // Checkpoints would cost the receiving path a write of their own; the deferred pass
        // runs them.
        run(QStringLiteral("PRAGMA wal_autocheckpoint = 0"));
        run(QStringLiteral("PRAGMA journal_size_limit = 8388608"));
        if (!migrate(version) || (version < kSchemaVersion && !isOurSchema()))
            return EncodeWindows1250(u"neobsahuje zprávy stanice");
        // A file that takes no writes (a read-only disk) is no store: the start says so rather
        // than the first message. Asked of the system, not tried: a write would start a new
        // journal, three waits for the disk at every start.
        for (const QString &place : {file, QFileInfo(file).path()}) {
            if (::access(QFile::encodeName(place).constData(), W_OK) != 0)
                throw Error(ReasonOfErrno(errno));
        }
        // The hold begins now, not with the first message: a second station that read the
        // file meanwhile would keep this one from ever writing it.
        run(QStringLiteral("BEGIN IMMEDIATE"));
        run(QStringLiteral("COMMIT"));
    } catch (const Error &) {
        if (IsUnusableFile(lastFailure))
            return ReasonOf(lastFailure);
        throw;
    }
    prepareWrites();
    // Counted in the first deferred pass: over a large store the count is a walk of an index,
    // which the start need not wait for.
    count = -1;
    return std::nullopt;
}

void MessageStore::Private::disconnect()
{
    maintenance.stop();
    insert.reset();
    for (std::optional<QSqlQuery> &query : updateFlag)
        query.reset();
    updateDelivery.reset();
    for (std::optional<QSqlQuery> &query : removeOne)
        query.reset();
    byKey.reset();
    if (db.isValid())
        db.close();
    db = QSqlDatabase();
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
    open = false;
    count = 0;
    writesSinceCheckpoint = 0;
    failing = false;
}

bool MessageStore::Private::migrate(int version)
{
    if (version == kSchemaVersion)
        return true;
    // Another station of the user may be bringing the same file up to date this very moment.
    run(QStringLiteral("BEGIN IMMEDIATE"));
    try {
        version = static_cast<int>(number(QStringLiteral("PRAGMA user_version")).value_or(0));
        if (version >= kSchemaVersion) {
            run(QStringLiteral("ROLLBACK"));
            return version == kSchemaVersion;
        }
        // A database of another program has tables of its own; it is not to be added to.
        if (version == 0 && number(QStringLiteral("SELECT count(*) FROM sqlite_master")) != 0) {
            run(QStringLiteral("ROLLBACK"));
            return false;
        }
        for (int step = version; step < kSchemaVersion; ++step) {
            for (const char *statement : kSchemaSteps[step])
                run(QString::fromLatin1(statement));
        }
        run(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion));
        run(QStringLiteral("COMMIT"));
    } catch (const Error &) {
        rollBack();
        throw;
    }
    return true;
}

bool MessageStore::Private::isOurSchema()
{
    QSqlQuery columns = prepared(QStringLiteral("SELECT name FROM pragma_table_info('messages')"));
    run(columns);
    QStringList names;
    while (columns.next())
        names.append(columns.value(0).toString());
    columns.finish();
    return names == kMessageColumns
           && number(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = 'search'"))
                      == 1;
}

void MessageStore::Private::prepareWrites()
{
    insert = prepared(QStringLiteral("INSERT INTO messages (" MESSAGE_COLUMNS
                                     ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    // Two stations of a user sharing the file may both have given an ID; a running station
    // means the message it stored last.
    for (const HistoryKind box : {HistoryKind::Received, HistoryKind::Sent}) {
        const QString message = QStringLiteral("seq = (SELECT max(seq) FROM messages WHERE %1"
                                               " AND id = ?)")
                                        .arg(BoxCondition(box));
        updateFlag[BoxNumber(box)] = prepared(
                QStringLiteral("UPDATE messages SET flag = ?, label = ? WHERE ") + message);
        removeOne[BoxNumber(box)]
                = prepared(QStringLiteral("DELETE FROM messages WHERE ") + message);
    }
    updateDelivery = prepared(QStringLiteral(
            "UPDATE messages SET attempts = ?, host = ?"
            " WHERE seq = (SELECT max(seq) FROM messages WHERE box = 1 AND id = ?)"));
    byKey = prepared(QStringLiteral("SELECT " MESSAGE_COLUMNS " FROM messages"
                                    " WHERE box = 0 AND msg_key = ? AND stored_at >= ?"
                                    " ORDER BY seq DESC LIMIT 1"));
}

QSqlQuery MessageStore::Private::prepared(const QString &sql) const
{
    QSqlQuery query(db);
    // Without it, Qt keeps a copy of every row read so far.
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        fail(query.lastError());
    return query;
}

void MessageStore::Private::run(QSqlQuery &query) const
{
    if (!query.exec())
        fail(query.lastError());
}

void MessageStore::Private::run(const QString &sql) const
{
    QSqlQuery query = prepared(sql);
    run(query);
    query.finish();
}

void MessageStore::Private::fail(const QSqlError &error) const
{
    lastFailure = error;
    throw Error(ReasonOf(error));
}

void MessageStore::Private::rollBack() const
{
    QSqlQuery query(db);
    query.exec(QStringLiteral("ROLLBACK"));
}

std::vector<StoredMessage> MessageStore::Private::select(const QString &sql,
                                                         const QVariantList &values) const
{
    std::vector<StoredMessage> messages;
    if (!open)
        return messages;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return messages;
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!query.exec())
        return messages;
    while (query.next())
        messages.push_back(ReadMessage(query));
    if (query.lastError().isValid())
        messages.clear();
    return messages;
}

std::optional<qint64> MessageStore::Private::number(const QString &sql,
                                                    const QVariantList &values) const
{
    QSqlQuery query = prepared(sql);
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    run(query);
    if (!query.next()) {
        if (query.lastError().isValid())
            fail(query.lastError());
        return std::nullopt;
    }
    const qint64 value = query.value(0).toLongLong();
    query.finish();
    return value;
}

// The reads the station asks for give nothing rather than throw.
std::optional<qint64> MessageStore::Private::numberOrNothing(const QString &sql,
                                                             const QVariantList &values) const
{
    if (!open)
        return std::nullopt;
    try {
        return number(sql, values);
    } catch (const Error &) {
        return std::nullopt;
    }
}

bool MessageStore::Private::write(QSqlQuery &query, int *changed)
{
    const bool committed = query.exec();
    const QSqlError error = query.lastError();
    if (changed)
        *changed = committed ? query.numRowsAffected() : 0;
    query.finish();
    if (!committed) {
        if (!failing) {
            failing = true;
            Q_EMIT q.writeFailed(EncodeWindows1250(u"Zprávy nelze uložit: ") + ReasonOf(error));
        }
        return false;
    }
    ++writesSinceCheckpoint;
    scheduleMaintenance();
    if (failing) {
        failing = false;
        Q_EMIT q.writeResumed();
    }
    return true;
}

void MessageStore::Private::scheduleMaintenance()
{
    if (!maintenance.isActive())
        maintenance.start();
}

void MessageStore::Private::maintain()
{
    maintenance.setInterval(kMaintenanceDelayMs);
    if (!open)
        return;
    if (count < 0)
        count = number(QStringLiteral("SELECT count(*) FROM messages")).value_or(0);
    const bool ageDue = QDateTime::currentMSecsSinceEpoch() >= nextAgeTrimMs;
    if (count > limits.keepMax || ageDue)
        trim(ageDue);
    const bool caughtUp = indexBatch();
    if (writesSinceCheckpoint >= kCheckpointWrites)
        checkpoint();
    // A failed batch waits for the next write rather than trying again at once.
    if (!caughtUp && open)
        scheduleMaintenance();
}

void MessageStore::Private::trim(bool byAge)
{
    if (!open)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (byAge)
        nextAgeTrimMs = now + kAgeTrimIntervalMs;
    const auto deleteRows = [this](const QString &sql, const QVariantList &values) {
        QSqlQuery query = prepared(sql);
        for (int i = 0; i < values.size(); ++i)
            query.bindValue(i, values.at(i));
        run(query);
        return static_cast<qint64>(query.numRowsAffected());
    };
    try {
        run(QStringLiteral("BEGIN IMMEDIATE"));
        qint64 deleted = 0;
        if (byAge && limits.keepDays > 0) {
            const qint64 cutoff = now - limits.keepDays * kDayMs;
            deleted += deleteRows(QStringLiteral("DELETE FROM messages"
                                                 " WHERE datum < ? OR stored_at < ?"),
                                  {cutoff, cutoff});
        }
        // Counted again: another station of the user may write to the file too.
        qint64 remaining = number(QStringLiteral("SELECT count(*) FROM messages")).value_or(0);
        const qint64 keepMax = std::max<qint64>(limits.keepMax, 0);
        if (remaining > keepMax) {
            // Somewhat below the limit, so that a flood is trimmed once in a number of messages
            // rather than once in every one; not so far that a trim holds up the receiving
            // path for long, as each message it drops costs the search index tens of µs.
            const qint64 excess = remaining - (keepMax - keepMax / kTrimMargin);
            // Oldest first in each box by ID, which the index by ID gives without a look at
            // the table; a plain "ORDER BY seq" with the flags made SQLite sort all of them.
            qint64 gone = deleteRows(QStringLiteral("DELETE FROM messages WHERE seq IN"
                                                    " (SELECT seq FROM"
                                                    " (SELECT seq FROM (SELECT seq FROM messages"
                                                    " WHERE box = 0 AND flag = 8"
                                                    " ORDER BY id LIMIT ?)"
                                                    " UNION ALL"
                                                    " SELECT seq FROM (SELECT seq FROM messages"
                                                    " WHERE box = 1 AND flag <> 0"
                                                    " ORDER BY id LIMIT ?))"
                                                    " ORDER BY seq LIMIT ?)"),
                                     {excess, excess, excess});
            if (gone < excess)
                gone += deleteRows(QStringLiteral("DELETE FROM messages WHERE seq IN"
                                                  " (SELECT seq FROM messages"
                                                  " ORDER BY seq LIMIT ?)"),
                                   {excess - gone});
            remaining -= gone;
            deleted += gone;
        }
        run(QStringLiteral("COMMIT"));
        count = remaining;
        // A deleted message leaves a mark in the search index until its segments are merged;
        // a flood that is trimmed without end would otherwise grow the index, and the file.
        if (deleted > 0)
            run(QStringLiteral("INSERT INTO search (search, rank) VALUES ('merge', 500)"));
        writesSinceCheckpoint += static_cast<int>(std::min<qint64>(deleted, kCheckpointWrites));
    } catch (const Error &) {
        rollBack();
    }
}

bool MessageStore::Private::indexBatch()
{
    // The index's own highest row is the watermark: rows are indexed in order, a deleted row
    // leaves both tables together, and SQLite gives a new row one above the highest there is,
    // so every row above it, and no other, still waits.
    QSqlQuery query(db);
    const bool indexed
            = query.exec(QStringLiteral("INSERT INTO search (rowid, partner, text)"
                                        " SELECT seq, partner, text FROM messages"
                                        " WHERE seq > (SELECT coalesce(max(rowid), 0) FROM search)"
                                        " ORDER BY seq LIMIT %1")
                                 .arg(kIndexBatch));
    if (!indexed)
        return true;
    const int rows = query.numRowsAffected();
    writesSinceCheckpoint += rows;
    return rows < kIndexBatch;
}

void MessageStore::Private::checkpoint()
{
    // Passive: a reader of the other station is never waited for; what it holds is copied at
    // the next one.
    QSqlQuery query(db);
    query.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
    query.finish();
    writesSinceCheckpoint = 0;
}

MessageStore::MessageStore(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>(*this))
{}

MessageStore::~MessageStore()
{
    close();
}

QString MessageStore::DefaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/veltrin/messages.db");
}

qint32 MessageStore::HighestIdIn(const QString &path, HistoryKind box)
{
    if (!QFileInfo(path).isFile())
        return 0;
    qint32 highest = 0;
    const QString name = UniqueConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;") + kConnectOptions);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.prepare(QStringLiteral(
                        "SELECT coalesce(max(id), 0) FROM messages WHERE box = ?"))) {
                query.bindValue(0, BoxNumber(box));
                if (query.exec() && query.next())
                    highest = query.value(0).toInt();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return highest;
}

MessageStore::OpenResult MessageStore::open(const QString &path, const StoreLimits &limits)
{
    close();
    d->path = QFileInfo(path).absoluteFilePath();
    d->limits = limits;
    OpenResult result;
    try {
        std::optional<QByteArray> unusable = d->connect(d->path);
        if (unusable) {
            d->disconnect();
            const QString backup = MoveAsideAsRescuedCopy(d->path);
            if (!backup.isEmpty())
                MoveCompanionsAside(d->path, backup);
            result.problem = EncodeWindows1250(u"Soubor se zprávami ") + PathToWindows1250(d->path)
                             + EncodeWindows1250(u" nelze číst (") + *unusable
                             + EncodeWindows1250(u"); byl uložen stranou jako ")
                             + PathToWindows1250(backup)
                             + EncodeWindows1250(u" a zprávy se ukládají do nového.");
            // The fresh file is this program's own; should even that fail, nothing more is moved.
            unusable = d->connect(d->path);
            if (unusable)
                throw Error(*unusable);
        }
    } catch (const std::exception &error) {
        d->disconnect();
        result.problem = EncodeWindows1250(u"Zprávy nelze ukládat do ") + PathToWindows1250(d->path)
                         + ": " + ErrorTextOf(error)
                         + EncodeWindows1250(u"; stanice je drží jen v paměti.");
        return result;
    }
    d->open = true;
    result.opened = true;
    // What an earlier run left unindexed or over the limit is seen to once the start is over,
    // and the count of messages with it. The age limit reads every message, some 40 ms over
    // 100 000, so it waits longer still.
    d->nextAgeTrimMs = QDateTime::currentMSecsSinceEpoch() + kFirstAgeTrimDelayMs;
    d->maintenance.start(kFirstPassDelayMs);
    return result;
}

bool MessageStore::isOpen() const
{
    return d->open;
}

QString MessageStore::fileName() const
{
    return d->path;
}

void MessageStore::setLimits(const StoreLimits &limits)
{
    d->limits = limits;
    d->nextAgeTrimMs = 0;
    if (d->open)
        d->scheduleMaintenance();
}

void MessageStore::close()
{
    d->disconnect();
}

std::vector<StoredMessage> MessageStore::newest(HistoryKind box, int count) const
{
    return d->select(QStringLiteral("SELECT " MESSAGE_COLUMNS " FROM messages WHERE %1"
                                    " ORDER BY id DESC LIMIT ?")
                             .arg(BoxCondition(box)),
                     {std::max(count, 0)});
}

std::vector<StoredMessage> MessageStore::newestUnread(int count) const
{
    return d->select(QStringLiteral("SELECT " MESSAGE_COLUMNS " FROM messages"
                                    " WHERE box = 0 AND flag = 0 ORDER BY id DESC LIMIT ?"),
                     {std::max(count, 0)});
}

qint64 MessageStore::unreadCount() const
{
    return d->numberOrNothing(
                    QStringLiteral("SELECT count(*) FROM messages INDEXED BY messages_open"
                                   " WHERE box = 0 AND flag = 0"))
            .value_or(0);
}

qint64 MessageStore::messageCount() const
{
    return d->numberOrNothing(QStringLiteral("SELECT count(*) FROM messages")).value_or(0);
}

qint32 MessageStore::highestId(HistoryKind box) const
{
    const std::optional<qint64> id = d->numberOrNothing(
            QStringLiteral("SELECT coalesce(max(id), 0) FROM messages WHERE %1")
                    .arg(BoxCondition(box)));
    return static_cast<qint32>(id.value_or(0));
}

std::vector<StoredMessage> MessageStore::waitingSent() const
{
    return d->select(QStringLiteral("SELECT " MESSAGE_COLUMNS " FROM messages"
                                    " WHERE box = 1 AND flag = 0 ORDER BY id"),
                     {});
}

std::vector<StoredMessage> MessageStore::rememberedReceived(int atLeast, qint64 sinceMs) const
{
    std::vector<StoredMessage> messages;
    if (!d->open)
        return messages;
    // Newest first, in the order the store took them, which is the order of their times: the
    // walk stops at the first message that is neither among the newest atLeast nor recent,
    // instead of reading every message for its time. "+box" keeps SQLite on the table's own
    // order: by the index of boxes it would sort them all first.
    QSqlQuery query(d->db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT " MESSAGE_COLUMNS
                                      " FROM messages WHERE +box = 0 ORDER BY seq DESC"))
        || !query.exec())
        return messages;
    while (query.next()) {
        StoredMessage message = ReadMessage(query);
        if (int(messages.size()) >= atLeast && message.storedAtMs < sinceMs)
            break;
        messages.push_back(std::move(message));
    }
    query.finish();
    std::reverse(messages.begin(), messages.end());
    return messages;
}

std::optional<StoredMessage> MessageStore::receivedByKey(const QByteArray &key,
                                                         qint64 sinceMs) const
{
    if (!d->open)
        return std::nullopt;
    QSqlQuery &query = *d->byKey;
    query.bindValue(0, key);
    query.bindValue(1, sinceMs);
    std::optional<StoredMessage> message;
    if (query.exec() && query.next())
        message = ReadMessage(query);
    query.finish();
    return message;
}

bool MessageStore::add(const StoredMessage &message)
{
    if (!d->open)
        return false;
    QSqlQuery &query = *d->insert;
    query.bindValue(0, BoxNumber(message.box));
    query.bindValue(1, message.row.ID);
    query.bindValue(2, message.row.FLAG);
    query.bindValue(3, NullableMs(message.row.DATUM));
    query.bindValue(4, DecodeWindows1250(message.row.FROM));
    query.bindValue(5, DecodeWindows1250(message.row.MSG));
    query.bindValue(6, message.row.lFLAG);
    query.bindValue(7, message.key);
    query.bindValue(8, message.host);
    query.bindValue(9, message.ident);
    query.bindValue(10, message.attempts);
    query.bindValue(11, message.storedAtMs);
    query.bindValue(12,
                    message.body.isNull() || message.body == message.row.MSG
                            ? QVariant(QMetaType::fromType<QByteArray>())
                            : QVariant(message.body));
    if (!d->write(query))
        return false;
    if (d->count >= 0)
        ++d->count;
    return true;
}

bool MessageStore::setFlag(HistoryKind box, qint32 id, qint32 flag, const QByteArray &label)
{
    if (!d->open)
        return false;
    QSqlQuery &query = *d->updateFlag[BoxNumber(box)];
    query.bindValue(0, flag);
    query.bindValue(1, label);
    query.bindValue(2, id);
    return d->write(query);
}

bool MessageStore::setDelivery(qint32 id, qint32 attempts, const QByteArray &host)
{
    if (!d->open)
        return false;
    QSqlQuery &query = *d->updateDelivery;
    query.bindValue(0, attempts);
    query.bindValue(1, host);
    query.bindValue(2, id);
    return d->write(query);
}

bool MessageStore::setDeliveries(const std::vector<Delivery> &deliveries)
{
    if (!d->open || deliveries.empty())
        return d->open;
    // One commit for a tick's attempts: each of its own cost a tick over a thousand waiting
    // messages some 50 ms.
    QSqlQuery begin(d->db);
    if (!begin.exec(QStringLiteral("BEGIN")))
        return d->write(begin);
    for (const Delivery &delivery : deliveries) {
        QSqlQuery &query = *d->updateDelivery;
        query.bindValue(0, delivery.attempts);
        query.bindValue(1, delivery.host);
        query.bindValue(2, delivery.id);
        query.exec();
        query.finish();
    }
    QSqlQuery commit(d->db);
    commit.prepare(QStringLiteral("COMMIT"));
    const bool committed = d->write(commit);
    if (!committed)
        d->rollBack();
    return committed;
}

bool MessageStore::remove(HistoryKind box, qint32 id)
{
    if (!d->open)
        return false;
    QSqlQuery &query = *d->removeOne[BoxNumber(box)];
    query.bindValue(0, id);
    int removed = 0;
    if (!d->write(query, &removed))
        return false;
    if (d->count >= 0)
        d->count -= removed;
    return true;
}

void MessageStore::trim()
{
    d->trim(true);
}

void MessageStore::updateIndex()
{
    if (!d->open)
        return;
    bool caughtUp = false;
    while (!caughtUp)
        caughtUp = d->indexBatch();
}

std::vector<StoredMessage> MessageStore::archivePage(const QString &search, int offset, int count)
{
    // SQLite takes a negative limit for none at all.
    if (count <= 0)
        return {};
    offset = std::max(offset, 0);
    updateIndex();
    const QString match = MatchExpression(search);
    if (match.isEmpty())
        return d->select(QStringLiteral("SELECT " MESSAGE_COLUMNS " FROM messages"
                                        " ORDER BY seq DESC LIMIT ? OFFSET ?"),
                         {count, offset});
    return d->select(QStringLiteral("SELECT " MESSAGE_COLUMNS " FROM messages WHERE seq IN"
                                    " (SELECT rowid FROM search WHERE search MATCH ?"
                                    " ORDER BY rowid DESC LIMIT ? OFFSET ?)"
                                    " ORDER BY seq DESC"),
                     {match, count, offset});
}
