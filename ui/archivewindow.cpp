#include "archivewindow.h"

#include "platform/codepage.h"
#include "platform/ui/messagebox.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// A search runs when the typing pauses this long, not at every key of a word.
constexpr int kSearchPauseMs = 150;

} // namespace

ArchiveWindow::ArchiveWindow(MessageStore &store, QWidget *parent)
    : QDialog(parent)
    , m_model(store)
{
    setWindowTitle(QStringLiteral("Hledat ve zprávách"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(720, 420);

    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(QStringLiteral("&Hledat:"), this);
    m_search = new QLineEdit(this);
    m_search->setClearButtonEnabled(true);
    m_search->setPlaceholderText(
            QStringLiteral("slova z textu nebo jméno odesílatele či příjemce"));
    m_search->setAccessibleName(QStringLiteral("Hledat"));
    label->setBuddy(m_search);
    layout->addWidget(label);
    layout->addWidget(m_search);

    m_view = new QTableView(this);
    m_view->setModel(&m_model);
    m_view->setAccessibleName(QStringLiteral("Zprávy"));
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setWordWrap(false);
    m_view->verticalHeader()->hide();
    m_view->horizontalHeader()->setStretchLastSection(true);
    m_view->setColumnWidth(ArchiveModel::ColumnDatum, 140);
    m_view->setColumnWidth(ArchiveModel::ColumnDirection, 70);
    m_view->setColumnWidth(ArchiveModel::ColumnPartner, 170);
    m_view->setColumnWidth(ArchiveModel::ColumnState, 70);
    m_view->installEventFilter(this);
    layout->addWidget(m_view);

    m_searchPause = new QTimer(this);
    m_searchPause->setSingleShot(true);
    m_searchPause->setInterval(kSearchPauseMs);
    connect(m_search, &QLineEdit::textChanged, m_searchPause, qOverload<>(&QTimer::start));
    connect(m_searchPause, &QTimer::timeout, this, [this] {
        m_model.setSearch(m_search->text());
        if (m_model.rowCount() > 0)
            m_view->setCurrentIndex(m_model.index(0, 0));
    });
    // Enter in the field goes to the first message found, as in a desktop's file search.
    connect(m_search, &QLineEdit::returnPressed, this, [this] {
        if (m_searchPause->isActive()) {
            m_searchPause->stop();
            m_model.setSearch(m_search->text());
        }
        if (m_model.rowCount() > 0) {
            m_view->setFocus();
            m_view->setCurrentIndex(m_model.index(0, 0));
        }
    });
    connect(m_view, &QAbstractItemView::activated, this, [this](const QModelIndex &index) {
        showMessage(index.row());
    });
    m_search->setFocus();
}

void ArchiveWindow::showMessage(int row)
{
    if (row < 0 || row >= m_model.rowCount())
        return;
    const StoredMessage &message = m_model.message(row);
    const QString partnerLabel = message.box == HistoryKind::Received ? QStringLiteral("Od: ")
                                                                      : QStringLiteral("Pro: ");
    const QString text = partnerLabel + DecodeWindows1250(message.row.FROM) + u'\n'
                         + QStringLiteral("Datum: ")
                         + message.row.DATUM.toString(QStringLiteral("d.M.yyyy H:mm:ss")) + u'\n'
                         + QStringLiteral("Stav: ") + DecodeWindows1250(message.row.lFLAG)
                         + QStringLiteral("\n\n") + DecodeWindows1250(message.body);
    ShowMessageBox(this, QMessageBox::Information, text, QMessageBox::Close);
}

bool ArchiveWindow::eventFilter(QObject *watched, QEvent *event)
{
    // A table view moves to the next row on Enter; here Enter opens the message.
    if (watched == m_view && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && m_view->currentIndex().isValid()) {
            showMessage(m_view->currentIndex().row());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
