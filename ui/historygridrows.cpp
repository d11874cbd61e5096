#include "historygridrows.h"

#include <algorithm>
#include <unordered_set>

namespace {

bool SameContent(const HistoryRow &a, const HistoryRow &b)
{
    return a.FLAG == b.FLAG && a.lFLAG == b.lFLAG && a.DATUM == b.DATUM && a.FROM == b.FROM
           && a.MSG == b.MSG;
}

} // namespace

HistoryGridRows::HistoryGridRows(HistoryTable &table, QObject *parent)
    : QAbstractTableModel(parent)
    , m_table(table)
{
    connect(&table, &QAbstractItemModel::rowsInserted, this, [this] { markBehind(); });
    connect(&table, &QAbstractItemModel::rowsRemoved, this, [this] { markBehind(); });
    connect(&table, &QAbstractItemModel::rowsMoved, this, [this] { markBehind(); });
    connect(&table, &QAbstractItemModel::dataChanged, this, [this] { markBehind(); });
    connect(&table, &QAbstractItemModel::layoutChanged, this, [this] { markBehind(); });
    connect(&table, &QAbstractItemModel::modelReset, this, [this] { markBehind(); });
    connect(&table, &HistoryTable::cursorMoved, this, [this] { markBehind(); });
    catchUp();
}

void HistoryGridRows::markBehind()
{
    if (m_behind)
        return;
    m_behind = true;
    Q_EMIT fellBehind();
}

void HistoryGridRows::catchUp()
{
    m_behind = false;
    std::vector<HistoryRow> now;
    if (m_table.isOpen()) {
        const int count = m_table.count();
        now.reserve(std::size_t(count));
        for (int i = 0; i < count; ++i)
            now.push_back(m_table.row(i));
    }
    catchUpRows(now);
    setMarkedRow(m_table.isOpen() ? rowOfTableRow(m_table.cursor()) : -1);
}

void HistoryGridRows::catchUpRows(const std::vector<HistoryRow> &now)
{
    std::unordered_set<qint32> nowIds;
    for (const HistoryRow &row : now)
        nowIds.insert(row.ID);

    // Gone rows first, a run at a time from the bottom, so the rows above keep their numbers.
    for (int last = int(m_rows.size()) - 1; last >= 0;) {
        if (nowIds.count(m_rows[std::size_t(last)].ID)) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !nowIds.count(m_rows[std::size_t(first - 1)].ID))
            --first;
        beginRemoveRows({}, first, last);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        endRemoveRows();
        last = first - 1;
    }

    std::unordered_set<qint32> keptIds;
    for (const HistoryRow &row : m_rows)
        keptIds.insert(row.ID);
    // The rows kept must come in the table's order; a new order is shown afresh.
    std::size_t kept = 0;
    for (const HistoryRow &row : now) {
        if (!keptIds.count(row.ID))
            continue;
        if (m_rows[kept].ID != row.ID) {
            beginResetModel();
            m_rows = now;
            m_markedRow = -1;
            endResetModel();
            return;
        }
        ++kept;
    }

    int firstChanged = -1;
    int lastChanged = -1;
    for (std::size_t i = 0; i < now.size();) {
        if (i < m_rows.size() && m_rows[i].ID == now[i].ID) {
            if (!SameContent(m_rows[i], now[i])) {
                m_rows[i] = now[i];
                firstChanged = firstChanged < 0 ? int(i) : firstChanged;
                lastChanged = int(i);
            }
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < now.size() && !keptIds.count(now[end].ID))
            ++end;
        beginInsertRows({}, int(i), int(end) - 1);
        m_rows.insert(m_rows.begin() + std::ptrdiff_t(i),
                      now.begin() + std::ptrdiff_t(i),
                      now.begin() + std::ptrdiff_t(end));
        endInsertRows();
        i = end;
    }
    if (firstChanged >= 0)
        Q_EMIT dataChanged(index(firstChanged, 0), index(lastChanged, columnCount() - 1));
}

void HistoryGridRows::setMarkedRow(int row)
{
    if (row == m_markedRow)
        return;
    const int previous = m_markedRow;
    m_markedRow = row;
    const int count = rowCount();
    for (const int section : {previous, row}) {
        if (section >= 0 && section < count)
            Q_EMIT headerDataChanged(Qt::Vertical, section, section);
    }
}

int HistoryGridRows::rowOfId(qint32 id) const
{
    const auto found = std::find_if(m_rows.cbegin(), m_rows.cend(), [id](const HistoryRow &row) {
        return row.ID == id;
    });
    return found == m_rows.cend() ? -1 : int(found - m_rows.cbegin());
}

int HistoryGridRows::tableRowOf(int row) const
{
    if (row < 0 || row >= rowCount() || !m_table.isOpen())
        return -1;
    const qint32 id = m_rows[std::size_t(row)].ID;
    for (int i = 0, count = m_table.count(); i < count; ++i) {
        if (m_table.row(i).ID == id)
            return i;
    }
    return -1;
}

int HistoryGridRows::rowOfTableRow(int tableRow) const
{
    if (!m_table.isOpen() || tableRow < 0 || tableRow >= m_table.count())
        return -1;
    return rowOfId(m_table.row(tableRow).ID);
}

int HistoryGridRows::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int HistoryGridRows::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : HistoryTable::ColumnCount;
}

QVariant HistoryGridRows::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
        return {};
    return HistoryTable::cellText(m_rows[std::size_t(index.row())], index.column());
}

QVariant HistoryGridRows::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal)
        return m_table.headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return section == m_markedRow ? QStringLiteral("▶") : QString();
    return {};
}
