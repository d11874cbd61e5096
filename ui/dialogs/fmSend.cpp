#include "fmSend.h"

#include "addressbook/addressbook.h"
#include "core/protocol.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/textguard.h"
#include "platform/ui/widgetlook.h"
#include "resources/stationimages.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kClientWidth = 413;
constexpr int kClientHeight = 387;
constexpr int kBorder = 4;
constexpr int kListHeight = 88;
constexpr int kNameColumnWidth = 225;
constexpr int kHostColumnWidth = 188;
constexpr int kButtonStripHeight = 35;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kCrLfLength = 2;

bool IsLineBreak(QChar c)
{
    return c == QLatin1Char('\n') || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

bool IsEnter(const QKeyEvent &key)
{
    return (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter)
           && !(key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

// Texts from elsewhere break their lines as CR LF or CR as often as LF; the edit knows "\n".
QString WithPlainLineBreaks(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// The longest start of the text that takes at most room characters once sent.
QString CutToTravellingLength(const QString &text, qsizetype room)
{
    qsizetype used = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        used += IsLineBreak(text[i]) ? kCrLfLength : 1;
        if (used > room)
            return text.left(i);
    }
    return text;
}

} // namespace

TMessageMemo::TMessageMemo(QWidget *parent)
    : QPlainTextEdit(parent)
    , m_guard(new TextGuard(this, FilterReservedChar))
{}

QString TMessageMemo::shownText() const
{
    // Block by block rather than toPlainText(), which turns a no-break space into a blank: the
    // code page holds the no-break space, and the partner should get it.
    QStringList lines;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        lines << block.text();
    QString text = lines.join(QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return text;
}

QByteArray TMessageMemo::messageText() const
{
    QString text = shownText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return EncodeWindows1250(text);
}

void TMessageMemo::setMessageText(const QByteArray &text)
{
    setPlainText(WithPlainLineBreaks(DecodeWindows1250(text)));
}

qsizetype TMessageMemo::TravellingLength(QStringView text)
{
    return text.size() + std::count_if(text.begin(), text.end(), IsLineBreak) * (kCrLfLength - 1);
}

qsizetype TMessageMemo::room() const
{
    return m_maxLength
           - (TravellingLength(shownText()) - TravellingLength(textCursor().selectedText()));
}

void TMessageMemo::keyPressEvent(QKeyEvent *event)
{
    if (m_maxLength > 0) {
        qsizetype typed = 0;
        if (IsEnter(*event))
            typed = kCrLfLength;
        else if (TextGuard::TypesText(*event))
            typed = TravellingLength(event->text());
        if (typed > room()) {
            event->accept();
            return;
        }
    }
    QPlainTextEdit::keyPressEvent(event);
}

void TMessageMemo::insertFromMimeData(const QMimeData *source)
{
    if (!source || !source->hasText())
        return;
    QString text = m_guard->pasted(WithPlainLineBreaks(source->text()));
    if (m_maxLength > 0)
        text = CutToTravellingLength(text, std::max<qsizetype>(0, room()));
    if (text.isEmpty())
        return;
    QMimeData held;
    held.setText(text);
    QPlainTextEdit::insertFromMimeData(&held);
}

TfSend::TfSend(Tdm &dm, std::vector<std::shared_ptr<TRecipient>> recipients, QWidget *parent)
    : QDialog(parent,
              Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                      | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_dm(dm)
    , m_recipients(std::move(recipients))
{
    std::erase(m_recipients, nullptr); // every row must stand for an entry
    setObjectName(QStringLiteral("fSend"));
    setWindowTitle(QStringLiteral("Napsat zprávu"));
    setFixedSize(kClientWidth, kClientHeight);

    auto *caption = new QLabel(QStringLiteral("Příjemci"));
    QFont bold = caption->font();
    bold.setBold(true);
    caption->setFont(bold);

    m_rcp = new QTableWidget(0, 2);
    m_rcp->setObjectName(QStringLiteral("rcp"));
    m_rcp->setHorizontalHeaderLabels({QStringLiteral("Jméno"), QStringLiteral("Adresa")});
    m_rcp->setColumnWidth(0, kNameColumnWidth);
    m_rcp->setColumnWidth(1, kHostColumnWidth);
    m_rcp->verticalHeader()->hide();
    m_rcp->horizontalHeader()->setHighlightSections(false);
    m_rcp->setShowGrid(true);
    m_rcp->setFrameShape(QFrame::NoFrame);
    m_rcp->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_rcp->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_rcp->setSelectionMode(QAbstractItemView::SingleSelection);
    m_rcp->setWordWrap(false);
    // The two columns fill the dialog's width; a scroll bar would take a third of the list's
    // height for the few pixels that the border takes off the last column.
    m_rcp->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_rcp->setFocusPolicy(Qt::ClickFocus);
    m_rcp->setFixedHeight(kListHeight);
    // Rows as low as the text and the tick box allow, so that the list shows four recipients as
    // it did in its original font; the style's default row is far taller than the text.
    const int rowHeight
            = std::max(m_rcp->fontMetrics().height(),
                       m_rcp->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, m_rcp))
              + 2;
    m_rcp->verticalHeader()->setMinimumSectionSize(rowHeight);
    m_rcp->verticalHeader()->setDefaultSectionSize(rowHeight);
    m_rcp->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    UseButtonFaceBackground(m_rcp);
    m_rcp->installEventFilter(this);

    m_body = new TMessageMemo;
    m_body->setObjectName(QStringLiteral("body"));
    m_body->setFrameShape(QFrame::NoFrame);
    m_body->setMaxLength(kMaxBodyLength);
    m_body->setTabChangesFocus(true);
    m_body->installEventFilter(this);

    m_send = new QPushButton(StationImage(StationImages::NewMessage), QStringLiteral("Poslat"));
    m_send->setObjectName(QStringLiteral("BitBtn1"));
    m_send->setFixedSize(kButtonWidth, kButtonHeight);
    m_cancel = new QPushButton(QStringLiteral("Storno"));
    m_cancel->setObjectName(QStringLiteral("BitBtn2"));
    m_cancel->setFixedSize(kButtonWidth, kButtonHeight);
    connect(m_send, &QPushButton::clicked, this, [this] { sendAndClose(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] { reject(); });

    auto *strip = new QWidget;
    strip->setFixedHeight(kButtonStripHeight);
    auto *stripLayout = new QHBoxLayout(strip);
    stripLayout->setContentsMargins(0, 0, 0, 0);
    stripLayout->addStretch(1);
    stripLayout->addWidget(m_send);
    stripLayout->addWidget(m_cancel);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(kBorder, kBorder, kBorder, kBorder);
    layout->setSpacing(0);
    layout->addWidget(caption);
    layout->addWidget(m_rcp);
    layout->addWidget(m_body, 1);
    layout->addWidget(strip);

    setTabOrder(m_body, m_send);
    setTabOrder(m_send, m_cancel);
    m_body->setFocus();

    setHelpTopic();
    fillRecipients();
}

void TfSend::setHelpTopic()
{
    setProperty(kHelpContextProperty, kHelpTopic);
}

void TfSend::fillRecipients()
{
    m_rcp->setRowCount(0);
    for (const std::shared_ptr<TRecipient> &recipient : m_recipients) {
        const int row = m_rcp->rowCount();
        m_rcp->insertRow(row);
        auto *name = new QTableWidgetItem(DecodeWindows1250(recipient->Name));
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        name->setCheckState(Qt::Checked);
        auto *host = new QTableWidgetItem(DecodeWindows1250(recipient->Host));
        host->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        m_rcp->setItem(row, 0, name);
        m_rcp->setItem(row, 1, host);
    }
}

bool TfSend::sendToChecked()
{
    const QString shown = m_body->shownText();
    if (shown.isEmpty())
        return false;
    std::vector<const TRecipient *> ticked;
    for (int row = 0; row < m_rcp->rowCount(); ++row) {
        if (m_rcp->item(row, 0)->checkState() == Qt::Checked)
            ticked.push_back(m_recipients[std::size_t(row)].get());
    }
    if (ticked.empty())
        return false;
    if (!IsWindows1250Text(shown)) {
        // The body's guard keeps such characters out as they come; should one get in all the
        // same, rather than send a "?" the user never saw, say so and let the text be corrected.
        WidgetMessageBoxes(this).warning(
                EncodeWindows1250(u"Zpráva obsahuje znaky, které nelze odeslat."));
        return false;
    }
    // The rows' own bytes, not their shown texts: a name is sent exactly as the book holds it.
    const QByteArray text = m_body->messageText();
    for (const TRecipient *recipient : ticked)
        m_dm.QueueMessage(recipient->Name, recipient->Host, text);
    return true;
}

void TfSend::sendAndClose()
{
    bool sent = false;
    try {
        sent = sendToChecked();
    } catch (const std::exception &error) {
        WidgetMessageBoxes(this).error(ErrorTextOf(error));
        return;
    }
    if (sent)
        accept();
}

bool TfSend::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto &key = static_cast<const QKeyEvent &>(*event);
        if (watched == m_body)
            return bodyKeyPress(key);
        if (watched == m_rcp)
            return rcpKeyPress(key);
    }
    return QDialog::eventFilter(watched, event);
}

bool TfSend::bodyKeyPress(const QKeyEvent &key)
{
    if (key.key() == Qt::Key_Escape || key.text() == QString(QChar(0x1B))) {
        // The body keeps Escape from closing the dialog: it leads to "Poslat" instead, where a
        // second Escape cancels and Enter sends.
        m_send->setFocus(Qt::OtherFocusReason);
        return true;
    }
    return false;
}

bool TfSend::rcpKeyPress(const QKeyEvent &key)
{
    switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // The list would pass Enter on to the dialog's default button: a message must not go
        // out because Enter was pressed in the list of recipients.
        return true;
    case Qt::Key_Space: {
        // The box belongs to the whole row, whichever of its cells is current.
        const int row = m_rcp->currentRow();
        if (row >= 0) {
            QTableWidgetItem *box = m_rcp->item(row, 0);
            box->setCheckState(box->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        }
        return true;
    }
    default:
        return false;
    }
}

bool ComposeMessage(Tdm &dm,
                    const std::vector<std::shared_ptr<TRecipient>> &recipients,
                    const QByteArray &initialText,
                    QWidget *parent)
{
    // Called from the window's commands: nothing may leave here into the event loop.
    try {
        if (std::none_of(recipients.begin(), recipients.end(), [](const auto &recipient) {
                return recipient != nullptr;
            })) {
            ShowMessageBox(parent,
                           QMessageBox::Information,
                           QStringLiteral("Musíte vybrat alespoň jednoho příjemce."),
                           QMessageBox::Cancel);
            return false;
        }
        TfSend fSend(dm, recipients, parent);
        fSend.body()->setMessageText(initialText);
        return fSend.exec() == QDialog::Accepted;
    } catch (const std::exception &error) {
        WidgetMessageBoxes(parent).error(ErrorTextOf(error));
        return false;
    }
}
