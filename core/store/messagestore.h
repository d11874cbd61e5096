#pragma once

#include "core/history.h"

#include <QByteArray>
#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// One message as the store keeps it: the fields of its history row, its key, and what the
// queue needs to carry a sent message on after a restart. Texts are Windows-1250 bytes, as
// everywhere in the station; the file holds them as UTF-8 so that they can be searched.
struct StoredMessage
{
    HistoryKind box = HistoryKind::Received;
    HistoryRow row; // ID, FLAG, DATUM (to the millisecond), FROM, MSG, lFLAG
    // The whole text as it travelled: MSG holds its first 400 bytes, a datagram may carry
    // more, and a repeat is known by its whole text.
    QByteArray body;
    QByteArray key;        // the message key
    QByteArray host;       // received: the sender's address; sent: the recipient's host
    QByteArray ident;      // received: the sender's ident; sent: the ident it went under
    qint32 attempts = 0;   // sent: attempts left
    qint64 storedAtMs = 0; // when the store took it, milliseconds since the epoch, UTC
};

// How much the store keeps: at most keepMax messages, none older than keepDays days (0 or less:
// any age).
struct StoreLimits
{
    qint64 keepMax = 100000;
    qint32 keepDays = 365;
};

// The station's messages on disk: one SQLite file (Qt SQL's QSQLITE driver), WAL journal with
// synchronous=NORMAL, so that a commit survives the process dying without waiting for the disk.
// Received and sent messages share one table; their IDs count separately, as the histories'.
//
// Every write is committed when the call returns. A write that fails (disk full, file gone
// read-only) throws nothing: it returns false and the store announces writeFailed once; the
// next write that succeeds announces writeResumed. The station goes on from memory meanwhile.
class MessageStore : public QObject
{
    Q_OBJECT

public:
    explicit MessageStore(QObject *parent = nullptr);
    ~MessageStore() override;

    // $XDG_DATA_HOME/veltrin/messages.db ($HOME/.local/share when XDG_DATA_HOME is not set).
    static QString DefaultPath();
    // The highest ID of a box in the store at path, read without writing anything (a standalone
    // sender numbers its keys above it); 0 when there is no store or it cannot be read.
    static qint32 HighestIdIn(const QString &path, HistoryKind box);

    // What open() met: the store is open or not, and when something was wrong, the text that
    // tells the user (the file set aside, the store unavailable), in Windows-1250.
    struct OpenResult
    {
        bool opened = false;
        QByteArray problem;
    };
    // Opens the store at path, creating the directory (0700) and the file (0600) as needed,
    // and brings an older schema up to date. A file that cannot be used (not a database,
    // damaged, a newer schema than this program knows) is moved aside unchanged as path.bak
    // (.bak1, .bak2, ... when that exists) and a fresh store is started; where not even that
    // is possible (an unwritable directory, a read-only disk), the store stays closed.
    OpenResult open(const QString &path, const StoreLimits &limits = {});
    bool isOpen() const;
    QString fileName() const;
    void setLimits(const StoreLimits &limits);
    void close();

    // Reading, for the start. Each gives nothing on a closed store or a failed read.
    // The newest count rows of a box, newest (highest ID) first.
    std::vector<StoredMessage> newest(HistoryKind box, int count) const;
    // The newest count unread received rows (FLAG 0), newest first.
    std::vector<StoredMessage> newestUnread(int count) const;
    qint64 unreadCount() const;
    qint64 messageCount() const;
    // The highest ID the store holds in a box; 0 when it holds none.
    qint32 highestId(HistoryKind box) const;
    // Sent messages still waiting for their confirmation (FLAG 0), oldest first.
    std::vector<StoredMessage> waitingSent() const;
    // Received messages whose keys a sender may still repeat: the newest atLeast, and every
    // one stored at or after sinceMs; oldest first.
    std::vector<StoredMessage> rememberedReceived(int atLeast, qint64 sinceMs) const;
    // The newest received message with this key stored at or after sinceMs.
    std::optional<StoredMessage> receivedByKey(const QByteArray &key, qint64 sinceMs) const;

    // Writing. Each returns whether the change is committed.
    bool add(const StoredMessage &message);
    bool setFlag(HistoryKind box, qint32 id, qint32 flag, const QByteArray &label);
    // A sent message's attempts left and its host (the address once resolved).
    bool setDelivery(qint32 id, qint32 attempts, const QByteArray &host);
    struct Delivery
    {
        qint32 id = 0;
        qint32 attempts = 0;
        QByteArray host;
    };
    // Several at once, in one commit.
    bool setDeliveries(const std::vector<Delivery> &deliveries);
    bool remove(HistoryKind box, qint32 id);

    // Keeps the limits: over keepMax, drops the oldest messages down to a thousandth below
    // it, so that a flood is trimmed once in a number of messages, read received and finished
    // sent ones (any FLAG but 0) before unread and waiting ones; and every message whose DATUM
    // or storedAtMs is older than keepDays. It runs by itself after writes, off the way of a
    // confirmation, and may be called directly.
    void trim();
    // Brings the search index up to date with every committed message. It runs by itself
    // shortly after writes; a search calls it first.
    void updateIndex();

    // The archive: every message of both boxes, newest first (in the order the store took
    // them), filtered by a search text, in pages. The search text matches messages that
    // contain, in the text or in the partner text, a word beginning with each of the words
    // typed, with and without Czech diacritics ("prijata" finds "přijatá"). Quotes and
    // operators are text, not syntax; a word of nothing but them is left out, and a text
    // without words matches every message.
    std::vector<StoredMessage> archivePage(const QString &search, int offset, int count);

Q_SIGNALS:
    // The first failed write since the last one that succeeded, with the reason.
    void writeFailed(const QByteArray &text);
    void writeResumed();

private:
    class Private;
    std::unique_ptr<Private> d;
};
