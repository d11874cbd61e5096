#pragma once

#include "platform/messageboxes.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDateTime>

#include <optional>
#include <utility>
#include <vector>

// One message of a history, fields named as the table's columns.
struct HistoryRow
{
    qint32 ID = 0;
    qint32 FLAG = 0;
    QDateTime DATUM;
    QByteArray FROM;  // partner text: name <address>, at most 64 bytes
    QByteArray MSG;   // at most 400 bytes
    QByteArray lFLAG; // label of FLAG, at most 8 bytes
};

// Row states and their labels (Windows-1250 bytes).
namespace HistoryFlag {
inline constexpr qint32 New = 0;    // "Nová"
inline constexpr qint32 Sent = 1;   // "Odeslaná"
inline constexpr qint32 Ok = 2;     // "OK"
inline constexpr qint32 Failed = 4; // "Chyba!"
inline constexpr qint32 Read = 8;   // "Přečtená"
} // namespace HistoryFlag

// The label of a code, or nothing for a code without one.
std::optional<QByteArray> HistoryFlagLabel(qint32 code);

// The bound of a history never drops an unread received message from view while no more than
// this many are unread: read ones go first. Beyond it the oldest unread go too (the store
// still holds them), so that a flood cannot fill the window.
inline constexpr int kUnreadKeptInView = 1000;

// The row ID a message key ends with, after its first "~" (a key without one is all ID).
std::optional<qint32> RowIdOfKey(const QByteArray &key);

enum class HistoryKind { Received, Sent };

// A bounded in-memory history of messages with a current order (newest first) and one current
// row, the cursor, shared with whatever view shows it. As a table model it shows its rows in the
// current order, one column per field (ID, FLAG, DATUM, FROM, MSG, lFLAG) with the fields'
// headings, and announces every change: rows inserted and removed, data changed, and the cursor
// through cursorMoved.
class HistoryTable : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        ColumnID,
        ColumnFLAG,
        ColumnDATUM,
        ColumnFROM,
        ColumnMSG,
        ColumnLFLAG,
        ColumnCount
    };
    enum class Order { DatumDescending, IdDescending };

    // componentName is "tIn" or "tOut": it names the table in its history file name.
    HistoryTable(QByteArray componentName, HistoryKind kind, QObject *parent = nullptr);

    const QByteArray &componentName() const { return m_componentName; }
    HistoryKind kind() const { return m_kind; }

    // The table layer. Operations on a closed table, or on a missing row, throw Error.
    bool isOpen() const;
    void open(); // opens empty; IDs start at 1 again
    // The next appended row gets firstId and the rows after it count on from there.
    void startIdsAt(qint32 firstId);
    // The ID of the latest appended row; before any, one below the ID the first row will get.
    qint32 lastId() const { return m_lastId; }
    void close(); // discards every row
    Order order() const;
    void setOrder(Order order);
    int count() const;
    // The cursor: the number of the current row in the current order, -1 when the table is empty.
    int cursor() const;
    void moveCursor(int row);
    const HistoryRow &row(int index) const;
    const HistoryRow &currentRow() const;
    // The row the latest append made, as it was made, even when the bound has dropped it since.
    const HistoryRow &lastAppended() const { return m_lastAppended; }
    // Puts rows kept from an earlier run back, with their IDs, states and times; the next
    // appended row gets an ID above every row the table has held.
    void restore(std::vector<HistoryRow> rows);
    qint32 append(const QByteArray &from, const QByteArray &msg, const QDateTime &datum);
    void setFlag(int index, qint32 code, const std::optional<QByteArray> &label);
    void deleteRow(int index);
    // The value of a field of the current row as text, by the field's name ("FROM", "MSG", ...).
    QByteArray field(QByteArrayView name) const;

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // What a view shows in column of a row, as data() gives it for the row's index.
    static QVariant cellText(const HistoryRow &row, int column);

Q_SIGNALS:
    void cursorMoved(int row);

private:
    void requireOpen() const;
    void requireRow(int index) const;
    // Whether a comes before b in the current order.
    bool precedes(const HistoryRow &a, const HistoryRow &b) const;
    void setCursor(int row);

    QByteArray m_componentName;
    HistoryKind m_kind;
    bool m_open = false;
    Order m_order = Order::DatumDescending;
    std::vector<HistoryRow> m_rows; // in the current order
    int m_cursor = -1;
    qint32 m_lastId = 0; // the highest ID assigned since open()
    HistoryRow m_lastAppended;
};

// The operations on the histories. Each catches what goes wrong inside it, shows the text
// through boxes and returns normally, leaving the table as it is at that moment.

void OpenHistory(HistoryTable &table, MessageBoxes &boxes);
void CloseHistory(HistoryTable &table, MessageBoxes &boxes);
// Appends a new message in state 0 "Nová" at the current local time, then drops the rows with
// the lowest IDs while more than maxRecs remain; in the received history read rows go before
// unread ones, of which up to kUnreadKeptInView stay (unreadDropped counts those that did
// not). Gives the ID the new row was given, 0 only when the append itself failed. The ID is given
// even when the bound drops the new row at once (maxRecs 0 or less): it becomes part of a message
// key, and a key repeated for every message would make the partners take each new message for a
// repeat of the first.
qint32 AppendMessage(HistoryTable &table,
                     const QByteArray &partner,
                     const QByteArray &text,
                     qint32 maxRecs,
                     MessageBoxes &boxes,
                     int *unreadDropped = nullptr);
// Drops rows as AppendMessage does until no more than maxRecs remain (rows restored at start).
void TrimHistory(HistoryTable &table, qint32 maxRecs, int *unreadDropped = nullptr);
// Sets the state of the row whose ID follows the first "~" of the key.
void SetFlagByKey(const QByteArray &key, HistoryTable &table, qint32 code, MessageBoxes &boxes);
// Marks the current row read when it is new.
void MarkRead(HistoryTable &table, MessageBoxes &boxes);
void DeleteCurrent(HistoryTable &table, MessageBoxes &boxes);
QByteArray ReadField(HistoryTable &table, QByteArrayView name, MessageBoxes &boxes);
// "Jan <PC1>" gives Jan and PC1.
std::pair<QByteArray, QByteArray> SplitAddress(const QByteArray &partner);
// The file name shown in the page's status line when no store keeps the messages: the program's
// directory and the table's name, lower-cased, with ".dat". Nothing is read from or written to
// it.
QString HistoryFileName(const HistoryTable &table);
void RefreshHistory(HistoryTable &table);
