#include "history.h"

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/integertext.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <exception>
#include <limits>

namespace {

// The sizes of the text fields as the history files of the older stations declare them; longer
// values are cut rather than refused so that no message is lost for a few bytes.
constexpr qsizetype kFromSize = 64;
constexpr qsizetype kMsgSize = 400;
constexpr qsizetype kLFlagSize = 8;

// Czech short date and long time, as the station has always shown a message's time. Seconds are
// enough for a person; the milliseconds stay in the row for the order.
QString DatumText(const QDateTime &datum)
{
    return datum.toString(QStringLiteral("d.M.yyyy H:mm:ss"));
}

QByteArray Number(qint32 value)
{
    return QByteArray::number(value);
}

// Every control byte counts as a blank, not only what isspace() knows: partner texts come from
// other stations' datagrams and may carry any of them.
QByteArray TrimBlanks(const QByteArray &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return text.sliced(begin, end - begin);
}

template<typename Operation>
void Guarded(MessageBoxes &boxes, Operation &&operation)
{
    try {
        operation();
    } catch (const Error &e) {
        boxes.error(e.text());
    } catch (const std::exception &e) {
        boxes.error(QByteArray(e.what()));
    }
}

} // namespace

std::optional<QByteArray> HistoryFlagLabel(qint32 code)
{
    switch (code) {
    case HistoryFlag::New:
        return QByteArray("Nov\xE1");
    case HistoryFlag::Sent:
        return QByteArray("Odeslan\xE1");
    case HistoryFlag::Ok:
        return QByteArray("OK");
    case HistoryFlag::Failed:
        return QByteArray("Chyba!");
    case HistoryFlag::Read:
        return QByteArray("P\xF8"
                          "e\xE8ten\xE1");
    default:
        return std::nullopt;
    }
}

std::optional<qint32> RowIdOfKey(const QByteArray &key)
{
    const qsizetype tilde = key.indexOf('~');
    // Read as every typed number of the station is read, so a key is never refused here that
    // another part of the station would accept.
    return ParseIntegerText(tilde < 0 ? key : key.mid(tilde + 1),
                            IntegerSyntax{.leadingBlanks = true, .bareX = true});
}

HistoryTable::HistoryTable(QByteArray componentName, HistoryKind kind, QObject *parent)
    : QAbstractTableModel(parent)
    , m_componentName(std::move(componentName))
    , m_kind(kind)
{}

bool HistoryTable::isOpen() const
{
    return m_open;
}

void HistoryTable::open()
{
    // Opening an open table keeps its rows, as a dataset does; only a closed one starts afresh.
    if (m_open)
        return;
    beginResetModel();
    m_open = true;
    m_rows.clear();
    m_lastId = 0;
    m_order = Order::DatumDescending;
    m_cursor = -1;
    endResetModel();
}

void HistoryTable::startIdsAt(qint32 firstId)
{
    requireOpen();
    m_lastId = firstId - 1;
}

void HistoryTable::close()
{
    if (!m_open)
        return;
    beginResetModel();
    m_open = false;
    m_rows.clear();
    const bool moved = m_cursor != -1;
    m_cursor = -1;
    endResetModel();
    if (moved)
        Q_EMIT cursorMoved(m_cursor);
}

HistoryTable::Order HistoryTable::order() const
{
    return m_order;
}

void HistoryTable::setOrder(Order order)
{
    requireOpen();
    // Every message appended asks for its order again; only a real change may reset the views.
    if (order == m_order)
        return;
    const std::optional<qint32> currentId
            = m_cursor >= 0 ? std::optional(m_rows[m_cursor].ID) : std::nullopt;
    beginResetModel();
    m_order = order;
    std::sort(m_rows.begin(), m_rows.end(), [this](const HistoryRow &a, const HistoryRow &b) {
        return precedes(a, b);
    });
    int row = -1;
    if (currentId) {
        const auto it = std::find_if(m_rows.cbegin(), m_rows.cend(), [&](const HistoryRow &r) {
            return r.ID == *currentId;
        });
        row = static_cast<int>(it - m_rows.cbegin());
    }
    const bool moved = row != m_cursor;
    m_cursor = row;
    endResetModel();
    if (moved)
        Q_EMIT cursorMoved(m_cursor);
}

int HistoryTable::count() const
{
    requireOpen();
    return static_cast<int>(m_rows.size());
}

int HistoryTable::cursor() const
{
    return m_cursor;
}

void HistoryTable::moveCursor(int row)
{
    requireOpen();
    if (!(m_rows.empty() && row == -1))
        requireRow(row);
    setCursor(row);
}

const HistoryRow &HistoryTable::row(int index) const
{
    requireOpen();
    requireRow(index);
    return m_rows[index];
}

const HistoryRow &HistoryTable::currentRow() const
{
    requireOpen();
    if (m_cursor < 0)
        throw Error("No current row.");
    return m_rows[m_cursor];
}

qint32 HistoryTable::append(const QByteArray &from, const QByteArray &msg, const QDateTime &datum)
{
    requireOpen();
    if (m_lastId == std::numeric_limits<qint32>::max())
        throw Error("No ID is left for a new row.");
    HistoryRow newRow;
    newRow.ID = m_lastId + 1;
    newRow.FLAG = HistoryFlag::New;
    newRow.DATUM = datum.toLocalTime();
    newRow.FROM = from.left(kFromSize);
    newRow.MSG = msg.left(kMsgSize);
    newRow.lFLAG = HistoryFlagLabel(HistoryFlag::New)->left(kLFlagSize);

    const auto position
            = std::partition_point(m_rows.cbegin(), m_rows.cend(), [&](const HistoryRow &r) {
                  return precedes(r, newRow);
              });
    const int index = static_cast<int>(position - m_rows.cbegin());
    // The cursor changes inside the insertion so that a view reacting to it finds it on a row.
    beginInsertRows({}, index, index);
    m_lastId = newRow.ID;
    m_lastAppended = newRow;
    m_rows.insert(position, std::move(newRow));
    m_cursor = index;
    endInsertRows();
    // Like a dataset's append the new row becomes current, even when its number is the old one.
    Q_EMIT cursorMoved(m_cursor);
    return m_lastId;
}

void HistoryTable::restore(std::vector<HistoryRow> rows)
{
    requireOpen();
    beginResetModel();
    for (HistoryRow &r : rows) {
        m_lastId = std::max(m_lastId, r.ID);
        m_rows.push_back(std::move(r));
    }
    std::sort(m_rows.begin(), m_rows.end(), [this](const HistoryRow &a, const HistoryRow &b) {
        return precedes(a, b);
    });
    m_cursor = m_rows.empty() ? -1 : 0;
    endResetModel();
    Q_EMIT cursorMoved(m_cursor);
}

void HistoryTable::setFlag(int index, qint32 code, const std::optional<QByteArray> &label)
{
    requireOpen();
    requireRow(index);
    HistoryRow &r = m_rows[index];
    r.FLAG = code;
    if (label)
        r.lFLAG = label->left(kLFlagSize);
    Q_EMIT dataChanged(this->index(index, ColumnFLAG), this->index(index, ColumnLFLAG));
}

void HistoryTable::deleteRow(int index)
{
    requireOpen();
    requireRow(index);
    beginRemoveRows({}, index, index);
    m_rows.erase(m_rows.begin() + index);
    // The cursor stays on its row, or takes the one that follows the deleted current row.
    int row = m_cursor > index ? m_cursor - 1 : m_cursor;
    row = std::min(row, static_cast<int>(m_rows.size()) - 1);
    const bool moved = row != m_cursor || index == m_cursor;
    m_cursor = row;
    endRemoveRows();
    if (moved)
        Q_EMIT cursorMoved(m_cursor);
}

QByteArray HistoryTable::field(QByteArrayView name) const
{
    const HistoryRow &r = currentRow();
    const auto is = [&](const char *fieldName) {
        return name.compare(fieldName, Qt::CaseInsensitive) == 0;
    };
    if (is("ID"))
        return Number(r.ID);
    if (is("FLAG"))
        return Number(r.FLAG);
    if (is("DATUM"))
        return EncodeWindows1250(DatumText(r.DATUM));
    if (is("FROM"))
        return r.FROM;
    if (is("MSG"))
        return r.MSG;
    if (is("lFLAG"))
        return r.lFLAG;
    throw Error("Field '" + name.toByteArray() + "' not found.");
}

int HistoryTable::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() || !m_open)
        return 0;
    return static_cast<int>(m_rows.size());
}

int HistoryTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryTable::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
        return {};
    return cellText(m_rows[index.row()], index.column());
}

QVariant HistoryTable::cellText(const HistoryRow &r, int column)
{
    switch (column) {
    case ColumnID:
        return r.ID;
    case ColumnFLAG:
        return r.FLAG;
    case ColumnDATUM:
        // Text rather than a QDateTime: the views need no delegate to show the station's format.
        return DatumText(r.DATUM);
    case ColumnFROM:
        return DecodeWindows1250(r.FROM);
    case ColumnMSG:
        return DecodeWindows1250(r.MSG);
    case ColumnLFLAG:
        return DecodeWindows1250(r.lFLAG);
    default:
        return {};
    }
}

QVariant HistoryTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case ColumnID:
        return QStringLiteral("ID");
    case ColumnFLAG:
        return QStringLiteral("Flag");
    case ColumnDATUM:
        return QStringLiteral("Datum");
    case ColumnFROM:
        return m_kind == HistoryKind::Received ? QStringLiteral("Odesílatel")
                                               : QStringLiteral("Příjemce");
    case ColumnMSG:
        return QStringLiteral("Zpráva");
    case ColumnLFLAG:
        return QStringLiteral("Stav");
    default:
        return {};
    }
}

void HistoryTable::requireOpen() const
{
    if (!m_open)
        throw Error("Table is not open.");
}

void HistoryTable::requireRow(int index) const
{
    if (index < 0 || index >= static_cast<int>(m_rows.size()))
        throw Error("Row " + Number(index) + " does not exist.");
}

bool HistoryTable::precedes(const HistoryRow &a, const HistoryRow &b) const
{
    // IDs are unique, so they also settle messages of the same millisecond.
    if (m_order == Order::DatumDescending && a.DATUM != b.DATUM)
        return a.DATUM > b.DATUM;
    return a.ID > b.ID;
}

void HistoryTable::setCursor(int row)
{
    if (row == m_cursor)
        return;
    m_cursor = row;
    Q_EMIT cursorMoved(m_cursor);
}

void OpenHistory(HistoryTable &table, MessageBoxes &boxes)
{
    Guarded(boxes, [&] {
        if (!table.isOpen())
            table.open();
        table.setOrder(HistoryTable::Order::DatumDescending);
    });
}

void CloseHistory(HistoryTable &table, MessageBoxes &boxes)
{
    Guarded(boxes, [&] {
        if (table.isOpen())
            table.close();
    });
}

namespace {

// The row the bound drops next, in a table ordered by ID descending: the lowest ID, except that
// in the received history unread rows wait until no read row is left and more than
// kUnreadKeptInView of them are unread. -1 when the bound keeps every row.
int RowToDrop(const HistoryTable &table)
{
    const int count = table.count();
    if (count == 0)
        return -1;
    if (table.kind() != HistoryKind::Received)
        return count - 1;
    int unread = 0;
    int oldestUnread = -1;
    for (int i = count - 1; i >= 0; --i) {
        if (table.row(i).FLAG != HistoryFlag::New)
            return i;
        ++unread;
        if (oldestUnread < 0)
            oldestUnread = i;
    }
    return unread > kUnreadKeptInView ? oldestUnread : -1;
}

// Drops rows while more than limit remain and the bound lets one go.
void DropRowsAbove(HistoryTable &table, int limit, int *unreadDropped)
{
    while (table.count() > limit) {
        const int row = RowToDrop(table);
        if (row < 0)
            return;
        if (unreadDropped && table.row(row).FLAG == HistoryFlag::New
            && table.kind() == HistoryKind::Received)
            ++*unreadDropped;
        table.deleteRow(row);
    }
}

} // namespace

qint32 AppendMessage(HistoryTable &table,
                     const QByteArray &partner,
                     const QByteArray &text,
                     qint32 maxRecs,
                     MessageBoxes &boxes,
                     int *unreadDropped)
{
    qint32 id = 0;
    Guarded(boxes, [&] {
        table.setOrder(HistoryTable::Order::IdDescending);
        // Room is made before the new row arrives, so a view never holds more rows than the bound
        // allows. The new row has the highest ID, so the rows dropped are the ones that trimming
        // after the append would drop.
        DropRowsAbove(table, std::max(maxRecs, 1) - 1, unreadDropped);
        id = table.append(partner, text, QDateTime::currentDateTime());
        DropRowsAbove(table, std::max(maxRecs, 0), unreadDropped);
        if (table.count() > 0)
            table.moveCursor(0);
    });
    RefreshHistory(table);
    return id;
}

void TrimHistory(HistoryTable &table, qint32 maxRecs, int *unreadDropped)
{
    if (!table.isOpen())
        return;
    table.setOrder(HistoryTable::Order::IdDescending);
    DropRowsAbove(table, std::max(maxRecs, 0), unreadDropped);
    if (table.count() > 0)
        table.moveCursor(0);
}

void SetFlagByKey(const QByteArray &key, HistoryTable &table, qint32 code, MessageBoxes &boxes)
{
    Guarded(boxes, [&] {
        const std::optional<qint32> id = RowIdOfKey(key);
        if (!id) {
            const qsizetype tilde = key.indexOf('~');
            throw Error("'" + (tilde < 0 ? key : key.mid(tilde + 1))
                        + "' is not a valid integer value");
        }
        const int count = table.count();
        for (int i = 0; i < count; ++i) {
            if (table.row(i).ID == *id) {
                table.moveCursor(i);
                table.setFlag(i, code, HistoryFlagLabel(code));
                return;
            }
        }
        // A walk that finds nothing stops past the end, which leaves the last row current.
        table.moveCursor(count - 1);
    });
}

void MarkRead(HistoryTable &table, MessageBoxes &boxes)
{
    Guarded(boxes, [&] {
        if (table.count() == 0 || table.currentRow().FLAG != HistoryFlag::New)
            return;
        table.setFlag(table.cursor(), HistoryFlag::Read, HistoryFlagLabel(HistoryFlag::Read));
    });
}

void DeleteCurrent(HistoryTable &table, MessageBoxes &boxes)
{
    Guarded(boxes, [&] {
        // An empty table has no current row, and its error says so better than a row number.
        table.currentRow();
        table.deleteRow(table.cursor());
    });
}

QByteArray ReadField(HistoryTable &table, QByteArrayView name, MessageBoxes &boxes)
{
    QByteArray value;
    Guarded(boxes, [&] {
        if (table.count() > 0)
            value = table.field(name);
    });
    return value;
}

std::pair<QByteArray, QByteArray> SplitAddress(const QByteArray &partner)
{
    const qsizetype open = partner.indexOf('<');
    // A "<" in front is the address itself, not the end of a name.
    const bool named = open >= 1;
    const QByteArray name = TrimBlanks(named ? partner.left(open) : partner);

    QByteArray address = named ? partner.mid(open + 1) : partner;
    if (const qsizetype close = address.indexOf('>'); close >= 0)
        address.remove(close, 1);
    if (const qsizetype rest = address.indexOf('<'); rest >= 0)
        address.remove(rest, 1);
    return {name, TrimBlanks(address)};
}

QString HistoryFileName(const HistoryTable &table)
{
    // Without an application, as in tools and tests, the working directory stands in for the
    // program's one.
    const QString directory = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                           : QDir::currentPath();
    QString name = directory + u'/' + DecodeWindows1250(table.componentName()).toLower()
                   + QStringLiteral(".dat");
    while (name.contains(QStringLiteral("//")))
        name.replace(QStringLiteral("//"), QStringLiteral("/"));
    return name;
}

void RefreshHistory(HistoryTable &table)
{
    // Closed, there is nothing to show; the caller has already reported why.
    if (!table.isOpen())
        return;
    Q_EMIT table.cursorMoved(table.cursor());
}
