#include "historygrid.h"

#include "platform/codepage.h"
#include "stores/history.h"

#include <QEvent>
#include <QHeaderView>
#include <QScopedValueRollback>

#include <algorithm>

namespace {

// Adds the row indicator: a marker in the vertical header beside the current row.
class RowIndicatorModel : public QIdentityProxyModel
{
    Q_OBJECT

public:
    RowIndicatorModel(HistoryTable &table, QObject *parent)
        : QIdentityProxyModel(parent)
        , m_table(table)
    {
        setSourceModel(&table);
        connect(&table, &HistoryTable::cursorMoved, this, [this] {
            if (rowCount() > 0)
                Q_EMIT headerDataChanged(Qt::Vertical, 0, rowCount() - 1);
        });
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Vertical && role == Qt::DisplayRole)
            return section == m_table.cursor() ? QStringLiteral("▶") : QString();
        return QIdentityProxyModel::headerData(section, orientation, role);
    }

private:
    HistoryTable &m_table;
};

// The row indicator's column: its width is the widest marker's, so the header measures its
// sections once for each of its three looks (no rows, rows without a marker, a marked row)
// and again only when its font or style changes. Measured anew, as the header does after
// every change of its rows or their markers, each stored message would measure every row.
class RowIndicatorHeader : public QHeaderView
{
    Q_OBJECT

public:
    RowIndicatorHeader(HistoryTable &table, QWidget *parent)
        : QHeaderView(Qt::Vertical, parent)
        , m_table(table)
    {}

    QSize sizeHint() const override
    {
        const int look = count() == 0 ? 0 : m_table.cursor() < 0 ? 1 : 2;
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
    HistoryTable &m_table;
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
    , m_rows(new RowIndicatorModel(table, this))
{
    setVerticalHeader(new RowIndicatorHeader(table, this));
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
    columns->setHighlightSections(false);
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

    // The grid follows the table when an operation moves the cursor, and the table follows the
    // grid when the user moves the current row. Each stored message moves the cursor more than
    // once, and following it lays the grid out: the grid follows once a frame, at the latest
    // just before it is painted (the window calls followPendingCursor then).
    m_followFrame.setSingleShot(true);
    m_followFrame.setInterval(kFollowFrameMilliseconds);
    connect(&m_followFrame, &QTimer::timeout, this, [this] { followCursor(m_table.cursor()); });
    connect(&table, &HistoryTable::cursorMoved, this, [this] {
        if (m_followFrame.isActive())
            return;
        m_followFrame.start();
        // Until then the grid keeps no current row of its own: one left behind would slide
        // down with every message stored and, once its row is dropped, be moved on by the view
        // at the cost of a layout per message.
        const QScopedValueRollback following(m_following, true);
        selectionModel()->clearCurrentIndex();
    });
    connect(selectionModel(),
            &QItemSelectionModel::currentRowChanged,
            this,
            [this](const QModelIndex &current) {
                // While a move of the table's cursor waits for the frame, the grid's current
                // row is the one from before it, shifted by the rows that came and went since;
                // the table's cursor is the one to keep, and the frame shows it.
                if (m_following || m_followFrame.isActive() || !current.isValid()
                    || current.row() == m_table.cursor())
                    return;
                try {
                    m_table.moveCursor(current.row());
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
    followCursor(m_table.cursor());
}

void HistoryGrid::followCursor(int row)
{
    const QScopedValueRollback following(m_following, true);
    if (row < 0 || row >= m_rows->rowCount()) {
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
