#include "archivemodel.h"

#include "platform/codepage.h"

#include <QSet>

#include <algorithm>
#include <utility>

namespace {

std::pair<int, qint32> ShownKey(const StoredMessage &message)
{
    return {static_cast<int>(message.box), message.row.ID};
}

} // namespace

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
    m_shown.clear();
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
    // Messages stored since the last page push the older ones down, so a page may begin with
    // rows shown already, or be made of them after a burst; those are left out. The new ones
    // themselves come with reload().
    while (!m_atEnd) {
        std::vector<StoredMessage> page = m_store.archivePage(m_search, m_nextOffset, kPageRows);
        m_nextOffset += static_cast<int>(page.size());
        m_atEnd = static_cast<int>(page.size()) < kPageRows;
        std::erase_if(page,
                      [this](const StoredMessage &row) { return m_shown.contains(ShownKey(row)); });
        if (page.empty())
            continue;
        const int first = static_cast<int>(m_rows.size());
        beginInsertRows({}, first, first + static_cast<int>(page.size()) - 1);
        for (StoredMessage &row : page) {
            m_shown.insert(ShownKey(row));
            m_rows.push_back(std::move(row));
        }
        endInsertRows();
        return;
    }
}
