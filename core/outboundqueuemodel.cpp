#include "outboundqueuemodel.h"

#include "platform/codepage.h"

#include <QLocale>

namespace {

bool SameEntry(const std::weak_ptr<const TMessageQueueItem> &held,
               const std::shared_ptr<const TMessageQueueItem> &entry)
{
    // By ownership, so that a row whose entry is already gone never matches a new one.
    return !held.owner_before(entry) && !entry.owner_before(held);
}

QString TimeText(const QDateTime &time)
{
    return QLocale::system().toString(time.date(), QLocale::ShortFormat) + QLatin1Char(' ')
           + time.time().toString(u"H:mm:ss");
}

} // namespace

OutboundQueueModel::OutboundQueueModel(QObject *parent)
    : QAbstractTableModel(parent)
{}

int OutboundQueueModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int OutboundQueueModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant OutboundQueueModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const Row &row = m_rows[std::size_t(index.row())];
    switch (index.column()) {
    case ColumnTime:
        return TimeText(row.shown);
    case ColumnRecipient:
        return DecodeWindows1250(row.host);
    case ColumnMessage:
        return DecodeWindows1250(row.body);
    default:
        return {};
    }
}

QVariant OutboundQueueModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case ColumnTime:
        return QStringLiteral("Čas");
    case ColumnRecipient:
        return QStringLiteral("Příjemce");
    case ColumnMessage:
        return QStringLiteral("Zpráva");
    default:
        return {};
    }
}

void OutboundQueueModel::appendEntry(const std::shared_ptr<const TMessageQueueItem> &entry)
{
    const int row = int(m_rows.size());
    beginInsertRows({}, row, row);
    m_rows.push_back({entry, QDateTime::currentDateTime(), entry->Host, entry->Body});
    endInsertRows();
}

void OutboundQueueModel::removeEntry(const std::shared_ptr<const TMessageQueueItem> &entry,
                                     int hint)
{
    const int row = rowOf(entry, hint);
    if (row < 0)
        return;
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

void OutboundQueueModel::clear()
{
    if (m_rows.empty())
        return;
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

int OutboundQueueModel::rowOf(const std::shared_ptr<const TMessageQueueItem> &entry, int hint) const
{
    // Rows stand position for position with the queue's entries, so the hint is nearly always
    // right; only an entry queued while no receiver listened has no row and shifts those after.
    if (hint >= 0 && hint < int(m_rows.size()) && SameEntry(m_rows[std::size_t(hint)].entry, entry))
        return hint;
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (SameEntry(m_rows[row].entry, entry))
            return int(row);
    }
    return -1;
}
