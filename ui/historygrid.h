#pragma once

#include <QTableView>
#include <QTimer>

class HistoryGridRows;
class HistoryTable;

// A history shown as a grid: the state, date, partner and text columns, newest first, with the
// table's current row and the grid's current row kept as one in both directions. The vertical
// header marks the current row.
class HistoryGrid : public QTableView
{
    Q_OBJECT

public:
    explicit HistoryGrid(HistoryTable &table, QWidget *parent = nullptr);

    HistoryTable &table() { return m_table; }
    // The grid takes the table's changes and its current row once a frame, before the window
    // paints; this takes them now when some are still waiting.
    void followPendingCursor();

protected:
    void changeEvent(QEvent *event) override;

private:
    void catchUp();
    void followCursor(int tableRow);
    void fitStateColumn();

    HistoryTable &m_table;
    HistoryGridRows *m_rows;
    bool m_following = false;
    QTimer m_followFrame;
};
