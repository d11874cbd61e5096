#include "fmGroup.h"
#include "fmUser.h"

#include "platform/codepage.h"
#include "resources/stationimages.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kPictureSize = 32;

} // namespace

TfGroup::TfGroup(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("fGroup"));
    setWindowTitle(QStringLiteral("Skupina příjemců"));
    setProperty("helpContext", kHelpTopic);

    m_label1 = new QLabel(QStringLiteral("Název skupiny"));
    m_eSkup = new QLineEdit;
    m_eSkup->setObjectName(QStringLiteral("eSkup"));
    m_eSkup->setMaxLength(kNameLength);
    m_eSkup->setMinimumWidth(200);
    new TypedCharFilter(m_eSkup);
    m_label1->setBuddy(m_eSkup);

    m_bitBtn1 = new QPushButton(QStringLiteral("OK"));
    m_bitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    m_bitBtn1->setDefault(true);
    m_bitBtn2 = new QPushButton(QStringLiteral("Storno"));
    m_bitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    m_bitBtn2->setAutoDefault(false);

    m_image2 = new QLabel;
    m_image2->setPixmap(StationImage(StationImages::Group).pixmap(kPictureSize, kPictureSize));
    m_image2->setFixedSize(kPictureSize, kPictureSize);

    auto *field = new QVBoxLayout;
    field->addWidget(m_label1);
    field->addWidget(m_eSkup);

    auto *top = new QHBoxLayout;
    top->addWidget(m_image2, 0, Qt::AlignTop);
    top->addSpacing(8);
    top->addLayout(field, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_bitBtn1);
    buttons->addWidget(m_bitBtn2);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(m_eSkup, m_bitBtn1);
    setTabOrder(m_bitBtn1, m_bitBtn2);

    connect(m_bitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(m_bitBtn2, &QPushButton::clicked, this, [this] { reject(); });
}

void TfGroup::setGroupName(const QByteArray &name)
{
    const QString text = DecodeWindows1250(name);
    // A name from the file may be longer than the user may type; it must not be cut unseen.
    m_eSkup->setMaxLength(std::max(kNameLength, static_cast<int>(text.size())));
    m_eSkup->setText(text);
}

void TfGroup::setNameCheck(NameCheck check)
{
    m_nameCheck = std::move(check);
}

QByteArray TfGroup::groupName() const
{
    return EncodeWindows1250(m_eSkup->text());
}

void TfGroup::BitBtn1Click()
{
    const QString text = refusal();
    if (text.isEmpty()) {
        accept();
        return;
    }
    ShowRefusal(this, text);
    m_eSkup->setFocus();
    m_eSkup->selectAll();
}

QString TfGroup::refusal() const
{
    if (m_eSkup->text().isEmpty())
        return QStringLiteral("Zadejte název skupiny.");
    if (!IsStorableText(m_eSkup->text()))
        return QStringLiteral("Název obsahuje znak, který nelze do adresáře uložit.");
    if (m_nameCheck)
        return m_nameCheck(groupName());
    return {};
}
