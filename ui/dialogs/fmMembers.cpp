#include "fmMembers.h"

#include "addressbook/addressbook.h"

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/messagebox.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

Q_DECLARE_METATYPE(std::shared_ptr<TRecipient>)

namespace {

constexpr int kGroupFontPixels = 15;
constexpr int kListWidth = 160;
constexpr int kListHeight = 200;

QListWidget *MemberList(const QString &objectName)
{
    auto *list = new QListWidget;
    list->setObjectName(objectName);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setMinimumSize(kListWidth, kListHeight);
    return list;
}

QPushButton *MoveButton(const QString &text, const QString &objectName)
{
    auto *button = new QPushButton(text);
    button->setObjectName(objectName);
    // The moves act on the lists' selections, so the focus stays in the lists.
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoDefault(false);
    button->setFixedWidth(32);
    return button;
}

} // namespace

TfMembers::TfMembers(AddressBook &book, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
    , m_book(book)
    , m_sortOrder(QLocale(QLocale::Czech, QLocale::CzechRepublic))
{
    setObjectName(QStringLiteral("fMembers"));
    setWindowTitle(QStringLiteral("Členství ve skupinách"));
    setProperty(kHelpContextProperty, kHelpTopic);
    m_sortOrder.setCaseSensitivity(Qt::CaseInsensitive);

    m_label1 = new QLabel(QStringLiteral("Skupina"));
    m_eSkp = new QLabel;
    m_eSkp->setObjectName(QStringLiteral("eSkp"));
    m_eSkp->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_eSkp->setMargin(2);
    QFont groupFont;
    groupFont.setFamilies({QStringLiteral("Arial"),
                           QStringLiteral("Liberation Sans"),
                           QStringLiteral("DejaVu Sans")});
    groupFont.setStyleHint(QFont::SansSerif);
    groupFont.setBold(true);
    groupFont.setPixelSize(kGroupFontPixels);
    m_eSkp->setFont(groupFont);

    m_srcLabel = new QLabel(QStringLiteral("Všichni příjemci"));
    m_srcList = MemberList(QStringLiteral("SrcList"));
    m_dstLabel = new QLabel(QStringLiteral("Členové skupiny"));
    m_dstList = MemberList(QStringLiteral("DstList"));
    m_srcLabel->setBuddy(m_srcList);
    m_dstLabel->setBuddy(m_dstList);

    m_includeBtn = MoveButton(QStringLiteral(">"), QStringLiteral("IncludeBtn"));
    m_incAllBtn = MoveButton(QStringLiteral(">>"), QStringLiteral("IncAllBtn"));
    m_excludeBtn = MoveButton(QStringLiteral("<"), QStringLiteral("ExcludeBtn"));
    m_exAllBtn = MoveButton(QStringLiteral("<<"), QStringLiteral("ExAllBtn"));

    m_okBtn = new QPushButton(QStringLiteral("OK"));
    m_okBtn->setObjectName(QStringLiteral("OKBtn"));
    m_okBtn->setDefault(true);
    m_cancelBtn = new QPushButton(QStringLiteral("Cancel"));
    m_cancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    m_helpBtn = new QPushButton(QStringLiteral("Help"));
    m_helpBtn->setObjectName(QStringLiteral("HelpBtn"));

    auto *group = new QHBoxLayout;
    group->addWidget(m_label1);
    group->addWidget(m_eSkp, 1);

    auto *moves = new QVBoxLayout;
    moves->addStretch();
    moves->addWidget(m_includeBtn);
    moves->addWidget(m_incAllBtn);
    moves->addSpacing(8);
    moves->addWidget(m_excludeBtn);
    moves->addWidget(m_exAllBtn);
    moves->addStretch();

    auto *lists = new QGridLayout;
    lists->addWidget(m_srcLabel, 0, 0);
    lists->addWidget(m_dstLabel, 0, 2);
    lists->addWidget(m_srcList, 1, 0);
    lists->addLayout(moves, 1, 1);
    lists->addWidget(m_dstList, 1, 2);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_okBtn);
    buttons->addWidget(m_cancelBtn);
    buttons->addWidget(m_helpBtn);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(group);
    layout->addLayout(lists);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(m_srcList, m_dstList);
    setTabOrder(m_dstList, m_okBtn);
    setTabOrder(m_okBtn, m_cancelBtn);
    setTabOrder(m_cancelBtn, m_helpBtn);

    connect(m_includeBtn, &QPushButton::clicked, this, [this] { includeSelected(); });
    connect(m_incAllBtn, &QPushButton::clicked, this, [this] { includeAll(); });
    connect(m_excludeBtn, &QPushButton::clicked, this, [this] { excludeSelected(); });
    connect(m_exAllBtn, &QPushButton::clicked, this, [this] { excludeAll(); });
    connect(m_okBtn, &QPushButton::clicked, this, [this] { applyAndClose(); });
    connect(m_cancelBtn, &QPushButton::clicked, this, [this] { reject(); });
    UpdateButtons();
}

TfMembers::~TfMembers() = default;

void TfMembers::FillMembers(int firstGroup, int group)
{
    m_group = QPersistentModelIndex(m_book.groupIndex(group));
    m_eSkp->setText(DecodeWindows1250(m_book.groupText(group)));
    // The first group holds every recipient by definition; its members are not chosen.
    m_okBtn->setEnabled(group != 0);

    m_srcList->clear();
    m_dstList->clear();
    for (int member = 0; member < m_book.memberCount(firstGroup); ++member) {
        addItem(m_srcList,
                m_book.memberText(firstGroup, member),
                m_book.memberEntry(firstGroup, member));
    }
    for (int member = 0; member < m_book.memberCount(group); ++member) {
        const QString text = DecodeWindows1250(m_book.memberText(group, member));
        for (int row = 0; row < m_srcList->count(); ++row) {
            QListWidgetItem *item = m_srcList->item(row);
            if (item->text().compare(text, Qt::CaseInsensitive) == 0) {
                item->setSelected(true);
                break;
            }
        }
    }
    MoveSelected(m_srcList, m_dstList);
    UpdateButtons();
}

void TfMembers::MoveSelected(QListWidget *list, QListWidget *target)
{
    for (int row = list->count() - 1; row >= 0; --row) {
        QListWidgetItem *item = list->item(row);
        if (!item->isSelected())
            continue;
        addItem(target,
                item->data(TextRole).toByteArray(),
                item->data(EntryRole).value<std::shared_ptr<TRecipient>>());
        delete list->takeItem(row);
    }
}

int TfMembers::FirstSelected(const QListWidget *list)
{
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->isSelected())
            return row;
    }
    return -1;
}

void TfMembers::SelectAfterMove(QListWidget *list, int index)
{
    list->setFocus();
    if (index == -1)
        index = 0;
    else if (index >= list->count())
        index = list->count() - 1;
    if (index >= 0 && index < list->count())
        list->setCurrentRow(index, QItemSelectionModel::Select);
    UpdateButtons();
}

void TfMembers::UpdateButtons()
{
    const bool sources = m_srcList->count() > 0;
    const bool members = m_dstList->count() > 0;
    m_includeBtn->setEnabled(sources);
    m_incAllBtn->setEnabled(sources);
    m_excludeBtn->setEnabled(members);
    m_exAllBtn->setEnabled(members);
}

void TfMembers::includeSelected()
{
    const int index = FirstSelected(m_srcList);
    MoveSelected(m_srcList, m_dstList);
    SelectAfterMove(m_srcList, index);
}

void TfMembers::excludeSelected()
{
    const int index = FirstSelected(m_dstList);
    MoveSelected(m_dstList, m_srcList);
    SelectAfterMove(m_dstList, index);
}

void TfMembers::includeAll()
{
    moveAll(m_srcList, m_dstList);
    SelectAfterMove(m_srcList, 0);
}

void TfMembers::excludeAll()
{
    moveAll(m_dstList, m_srcList);
    SelectAfterMove(m_dstList, 0);
}

void TfMembers::applyAndClose()
{
    const auto [group, member] = m_book.position(m_group);
    // The first group's members are not chosen here, and a group that is gone has none.
    if (group <= 0 || member != -1) {
        reject();
        return;
    }
    AddressBook::MemberList members;
    for (int row = 0; row < m_dstList->count(); ++row)
        members.emplace_back(m_dstList->item(row)->data(TextRole).toByteArray(),
                             entryOf(m_dstList, row));
    try {
        m_book.SetMembers(group, members);
    } catch (const std::exception &error) {
        // The button runs inside the dialog's event loop, which nothing may leave by a throw.
        WidgetMessageBoxes(this).error(ErrorTextOf(error));
        return;
    }
    accept();
}

std::shared_ptr<TRecipient> TfMembers::entryOf(const QListWidget *list, int row)
{
    const QListWidgetItem *item = list->item(row);
    if (!item)
        return {};
    return item->data(EntryRole).value<std::shared_ptr<TRecipient>>();
}

void TfMembers::addItem(QListWidget *target,
                        const QByteArray &text,
                        std::shared_ptr<TRecipient> entry)
{
    auto *item = new QListWidgetItem(DecodeWindows1250(text));
    // The book's own bytes go back into the tree, whatever the list shows of them.
    item->setData(TextRole, text);
    item->setData(EntryRole, QVariant::fromValue(std::move(entry)));
    int row = target->count();
    if (target == m_srcList) {
        // After the items that sort equal, so that equal names keep the order they came in.
        row = 0;
        while (row < target->count()
               && m_sortOrder.compare(target->item(row)->text(), item->text()) <= 0)
            ++row;
    }
    target->insertItem(row, item);
}

void TfMembers::moveAll(QListWidget *list, QListWidget *target)
{
    for (int row = 0; row < list->count(); ++row) {
        QListWidgetItem *item = list->item(row);
        addItem(target,
                item->data(TextRole).toByteArray(),
                item->data(EntryRole).value<std::shared_ptr<TRecipient>>());
    }
    list->clear();
}
