#pragma once

#include "core/history.h"

#include <QAbstractTableModel>

#include <vector>

// The rows a history grid shows: a copy of the table's rows that takes the table's changes only
// when it is told to catch up, which the grid does once a frame. Storing one message changes the
// table several times (a row dropped, a row added, the cursor moved) while the datagram that
// brought it still waits for its confirmation; a view following each change would lay itself out
// for each. Caught up, the copy passes a frame's changes on as the fewest removals, insertions
// and changes of data, so that a view keeps its selection and scroll position through them.
// The vertical header marks the table's current row.
class HistoryGridRows : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit HistoryGridRows(HistoryTable &table, QObject *parent = nullptr);

    void catchUp();
    // The table's row shown in row, or -1 when that row's message has left the table.
    int tableRowOf(int row) const;
    // The row that shows the table's row tableRow, or -1 when it is not shown yet.
    int rowOfTableRow(int tableRow) const;
    // The row the vertical header marks, -1 for none.
    int markedRow() const { return m_markedRow; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

Q_SIGNALS:
    // The table has changed after a catch-up; given once until the next one.
    void fellBehind();

private:
    void markBehind();
    int rowOfId(qint32 id) const;
    void catchUpRows(const std::vector<HistoryRow> &now);
    void setMarkedRow(int row);

    HistoryTable &m_table;
    std::vector<HistoryRow> m_rows;
    int m_markedRow = -1;
    bool m_behind = false; // the table has changed since the last catch-up
};
