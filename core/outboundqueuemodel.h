#pragma once

#include "messagequeueitem.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDateTime>

#include <memory>
#include <vector>

// The messages in flight as the user follows them: one row per entry of the outbound queue whose
// queuing has been announced, in the queue's order, showing when it was announced, to whom and
// what. A row takes its texts when it is added (the host the address book gave, not the address
// it resolves to later) and leaves together with its entry, so views see rows appear and go at
// the moments the notifications are handled. Views only read it; the core changes it.
class OutboundQueueModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { ColumnTime, ColumnRecipient, ColumnMessage, ColumnCount };

    struct Row
    {
        std::weak_ptr<const TMessageQueueItem> entry; // the queue owns it
        QDateTime shown;                              // when the row was added
        QByteArray host;
        QByteArray body;
    };

    explicit OutboundQueueModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    // Texts for display: the time in the system's short date and H:mm:ss, the host and the body
    // decoded from Windows-1250.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant
    headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const std::vector<Row> &rows() const { return m_rows; }

    // Adds the entry's row at the end.
    void appendEntry(const std::shared_ptr<const TMessageQueueItem> &entry);
    // Removes the entry's row; hint is where it is expected (its position in the queue). An
    // entry without a row changes nothing.
    void removeEntry(const std::shared_ptr<const TMessageQueueItem> &entry, int hint = -1);
    void clear();

private:
    int rowOf(const std::shared_ptr<const TMessageQueueItem> &entry, int hint) const;

    std::vector<Row> m_rows;
};
