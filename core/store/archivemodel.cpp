#include "archivemodel.h"

#include "platform/codepage.h"

#include <QSet>

#include <algorithm>
#include <utility>

ArchiveModel::ArchiveModel(MessageStore &store, QObject *parent)
    : QAbstractTableModel(parent)
    , m_store(store)
{}

void ArchiveModel::setSearch(const QString &search)
{
    m_search = search;
    reload();
}

void ArchiveModel::reload()
{
    beginResetModel();
    m_rows.clear();
    m_nextOffset = 0;
    m_atEnd = false;
    endResetModel();
}

const StoredMessage &ArchiveModel::message(int row) const
{
    return m_rows.at(static_cast<std::size_t>(row));
}

int ArchiveModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ArchiveModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ArchiveModel::data(const QModelIndex &index, int role) const
{
    if ((role != Qt::DisplayRole && role != Qt::AccessibleTextRole) || !index.isValid()
        || index.row() >= rowCount())
        return {};
    const StoredMessage &stored = m_rows[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case ColumnDatum:
        return stored.row.DATUM.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
    case ColumnDirection:
        return stored.box == HistoryKind::Received ? QStringLiteral("příchozí")
                                                   : QStringLiteral("odchozí");
    case ColumnPartner:
        return DecodeWindows1250(stored.row.FROM);
    case ColumnState:
        return DecodeWindows1250(stored.row.lFLAG);
    case ColumnText:
        return DecodeWindows1250(stored.row.MSG);
    default:
        return {};
    }
}

QVariant ArchiveModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case ColumnDatum:
        return QStringLiteral("Datum");
    case ColumnDirection:
        return QStringLiteral("Směr");
    case ColumnPartner:
        return QStringLiteral("Odesílatel / příjemce");
    case ColumnState:
        return QStringLiteral("Stav");
    case ColumnText:
        return QStringLiteral("Zpráva");
    default:
        return {};
    }
}

bool ArchiveModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_atEnd;
}

void ArchiveModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    std::vector<StoredMessage> page = m_store.archivePage(m_search, m_nextOffset, kPageRows);
    m_nextOffset += static_cast<int>(page.size());
    m_atEnd = static_cast<int>(page.size()) < kPageRows;
    // Messages stored since the last page push the older ones down: the first rows of this one
    // may be shown already.
    QSet<std::pair<int, qint32>> shown;
    const std::size_t tail = std::min<std::size_t>(m_rows.size(), kPageRows);
    for (auto it = m_rows.end() - static_cast<std::ptrdiff_t>(tail); it != m_rows.end(); ++it)
        shown.insert({static_cast<int>(it->box), it->row.ID});
    const auto fresh = std::find_if(page.begin(), page.end(), [&](const StoredMessage &stored) {
        return !shown.contains({static_cast<int>(stored.box), stored.row.ID});
    });
    if (fresh == page.end())
        return;
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + static_cast<int>(page.end() - fresh) - 1);
    m_rows.insert(
            m_rows.end(), std::make_move_iterator(fresh), std::make_move_iterator(page.end()));
    endInsertRows();
}
