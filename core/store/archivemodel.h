#pragma once

#include "messagestore.h"

#include <QAbstractTableModel>
#include <QSet>
#include <QString>

#include <utility>
#include <vector>

// The whole store as one list for the archive window: received and sent messages together,
// newest first, with date and time, direction, partner, state and text. Rows are fetched from
// the store in pages as a view scrolls to them, never all at once, so that the window opens at
// once over any number of messages.
class ArchiveModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        ColumnDatum,
        ColumnDirection,
        ColumnPartner,
        ColumnState,
        ColumnText,
        ColumnCount
    };
    static constexpr int kPageRows = 200;

    explicit ArchiveModel(MessageStore &store, QObject *parent = nullptr);

    // Shows only the messages the search text finds (see MessageStore::archivePage); the rows
    // start again from the newest.
    void setSearch(const QString &search);
    const QString &search() const { return m_search; }
    // Reads the store again from the newest row (new messages have come, say).
    void reload();
    const StoredMessage &message(int row) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

private:
    MessageStore &m_store;
    QString m_search;
    std::vector<StoredMessage> m_rows;
    QSet<std::pair<int, qint32>> m_shown; // box and ID of every row, as the store numbers them
    int m_nextOffset = 0;                 // where the next page starts in the store's order
    bool m_atEnd = false;
};
