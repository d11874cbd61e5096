#include "fmGroup.h"
#include "fmUser.h"

#include "core/protocol.h"
#include "platform/codepage.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/textguard.h"
#include "resources/stationimages.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

TfGroup::TfGroup(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("fGroup"));
    setWindowTitle(QStringLiteral("Skupina příjemců"));
    setProperty(kHelpContextProperty, kHelpTopic);

    m_label1 = new QLabel(QStringLiteral("Název skupiny"));
    m_eSkup = new QLineEdit;
    m_eSkup->setObjectName(QStringLiteral("eSkup"));
    m_eSkup->setMaxLength(kNameLength);
    m_eSkup->setMinimumWidth(200);
    new TextGuard(m_eSkup, FilterReservedChar);
    m_label1->setBuddy(m_eSkup);

    auto *field = new QVBoxLayout;
    field->addWidget(m_label1);
    field->addWidget(m_eSkup);

    const NameDialogFrame frame = BuildNameDialogFrame(this, StationImages::Group, field, m_eSkup);
    m_image2 = frame.picture;
    m_bitBtn1 = frame.ok;
    m_bitBtn2 = frame.cancel;
    connect(m_bitBtn1, &QPushButton::clicked, this, [this] { acceptWhenValid(); });
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

void TfGroup::acceptWhenValid()
{
    const QString text = refusal();
    if (text.isEmpty()) {
        accept();
        return;
    }
    ShowMessageBox(this, QMessageBox::Warning, text, QMessageBox::Ok);
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
