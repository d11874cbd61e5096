#include "historygrid.h"
#include "historygridrows.h"

#include "platform/codepage.h"
#include "platform/ui/columnheader.h"
#include "core/history.h"

#include <QEvent>
#include <QHeaderView>
#include <QScopedValueRollback>

#include <algorithm>

namespace {

// The row indicator's column: its width is the widest marker's, so the header measures its
// sections once for each of its three looks (no rows, rows without a marker, a marked row)
// and again only when its font or style changes. Measured anew, as the header does after
// every change of its rows or their markers, each stored message would measure every row.
class RowIndicatorHeader : public QHeaderView
{
    Q_OBJECT

public:
    RowIndicatorHeader(const HistoryGridRows &rows, QWidget *parent)
        : QHeaderView(Qt::Vertical, parent)
        , m_rows(rows)
    {}

    QSize sizeHint() const override
    {
        const int look = count() == 0 ? 0 : m_rows.markedRow() < 0 ? 1 : 2;
        if (!m_hints[look].isValid())
            m_hints[look] = QHeaderView::sizeHint();
        return m_hints[look];
    }

protected:
    bool event(QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::FontChange:
        case QEvent::StyleChange:
        case QEvent::PaletteChange:
        case QEvent::LanguageChange:
            for (QSize &hint : m_hints)
                hint = QSize();
            break;
        default:
            break;
        }
        return QHeaderView::event(event);
    }

private:
    const HistoryGridRows &m_rows;
    mutable QSize m_hints[3];
};

constexpr int kFollowFrameMilliseconds = 16;
constexpr int kDatumWidth = 64;
constexpr int kFromWidth = 196;
constexpr int kMsgWidth = 64;
constexpr qint32 kFlagCodes[] = {HistoryFlag::New,
                                 HistoryFlag::Sent,
                                 HistoryFlag::Ok,
                                 HistoryFlag::Failed,
                                 HistoryFlag::Read};

} // namespace

HistoryGrid::HistoryGrid(HistoryTable &table, QWidget *parent)
    : QTableView(parent)
    , m_table(table)
    , m_rows(new HistoryGridRows(table, this))
{
    setHorizontalHeader(new ColumnHeader(this));
    setVerticalHeader(new RowIndicatorHeader(*m_rows, this));
    setModel(m_rows);
    setFrameShape(QFrame::NoFrame);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setColumnHidden(HistoryTable::ColumnID, true);
    setColumnHidden(HistoryTable::ColumnFLAG, true);

    QHeaderView *columns = horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->moveSection(columns->visualIndex(HistoryTable::ColumnLFLAG), 0);
    fitStateColumn();
    setColumnWidth(HistoryTable::ColumnDATUM, kDatumWidth);
    setColumnWidth(HistoryTable::ColumnFROM, kFromWidth);
    setColumnWidth(HistoryTable::ColumnMSG, kMsgWidth);

    QHeaderView *indicator = verticalHeader();
    indicator->setSectionResizeMode(QHeaderView::Fixed);
    indicator->setDefaultSectionSize(fontMetrics().height() + 4);
    indicator->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("▶")) + 8);
    indicator->setDefaultAlignment(Qt::AlignCenter);

    // The grid follows the table when an operation changes it, and the table follows the grid
    // when the user moves the current row. Each stored message changes the table more than once,
    // and following each change lays the grid out: the grid catches up once a frame, at the
    // latest just before it is painted (the window calls followPendingCursor then).
    m_followFrame.setSingleShot(true);
    m_followFrame.setInterval(kFollowFrameMilliseconds);
    connect(&m_followFrame, &QTimer::timeout, this, [this] { catchUp(); });
    connect(m_rows, &HistoryGridRows::fellBehind, this, [this] {
        if (!m_followFrame.isActive())
            m_followFrame.start();
    });
    connect(selectionModel(),
            &QItemSelectionModel::currentRowChanged,
            this,
            [this](const QModelIndex &current) {
                if (m_following || !current.isValid())
                    return;
                // The grid's rows may be a frame behind the table: the row is found by its
                // message, and one that has left the table moves nothing.
                const int row = m_rows->tableRowOf(current.row());
                if (row < 0 || row == m_table.cursor())
                    return;
                try {
                    m_table.moveCursor(row);
                } catch (const std::exception &) {
                    // A closed table has no rows to follow; nothing may escape into the loop.
                }
            });
    followCursor(table.cursor());
}

void HistoryGrid::changeEvent(QEvent *event)
{
    QTableView::changeEvent(event);
    // The grid takes its font from the window it is placed in, after it was made.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fitStateColumn();
}

void HistoryGrid::fitStateColumn()
{
    // The state is short and has to be read whole: the column fits the longest label in the
    // font in use, with the margins the style leaves beside a cell's text and the grid line.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    int width = horizontalHeader()->sectionSizeHint(HistoryTable::ColumnLFLAG);
    for (const qint32 code : kFlagCodes) {
        const QString label = DecodeWindows1250(*HistoryFlagLabel(code));
        width = std::max(width, fontMetrics().horizontalAdvance(label) + 2 * margin + 1);
    }
    setColumnWidth(HistoryTable::ColumnLFLAG, width);
}

void HistoryGrid::followPendingCursor()
{
    if (!m_followFrame.isActive())
        return;
    m_followFrame.stop();
    catchUp();
}

void HistoryGrid::catchUp()
{
    // Rows leaving under the grid's current row move it; that is not the user's move.
    const QScopedValueRollback following(m_following, true);
    m_rows->catchUp();
    followCursor(m_table.isOpen() ? m_table.cursor() : -1);
}

void HistoryGrid::followCursor(int tableRow)
{
    const QScopedValueRollback following(m_following, true);
    const int row = m_rows->rowOfTableRow(tableRow);
    if (row < 0) {
        selectionModel()->clearCurrentIndex();
        clearSelection();
        return;
    }
    const QModelIndex index = m_rows->index(row, HistoryTable::ColumnLFLAG);
    selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index);
}

#include "historygrid.moc"
