#include "fmUser.h"

#include "core/protocol.h"
#include "platform/codepage.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/textguard.h"
#include "resources/stationimages.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kPictureSize = 32;

// The text a field may start from: a name read from the file may be longer than the user may
// type, and the field must not cut it behind the user's back.
void SetFieldText(QLineEdit *field, int maxLength, const QByteArray &bytes)
{
    const QString text = DecodeWindows1250(bytes);
    field->setMaxLength(std::max(maxLength, static_cast<int>(text.size())));
    field->setText(text);
}

} // namespace

bool IsStorableText(const QString &text)
{
    // A line break would split the record; other control characters are no part of a name
    // anyone could type.
    for (const QChar character : text) {
        if (character.unicode() < 0x20 || character.unicode() == 0x7F)
            return false;
    }
    return IsWindows1250Text(text);
}

NameDialogFrame BuildNameDialogFrame(QDialog *dialog, int image, QLayout *fields, QWidget *last)
{
    auto *ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("BitBtn1"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Storno"));
    cancel->setObjectName(QStringLiteral("BitBtn2"));
    cancel->setAutoDefault(false);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);

    auto *picture = new QLabel;
    picture->setPixmap(StationImage(image).pixmap(kPictureSize, kPictureSize));
    picture->setFixedSize(kPictureSize, kPictureSize);

    auto *top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addSpacing(8);
    top->addLayout(fields, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto *layout = new QVBoxLayout(dialog);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    // A fixed border: the dialog keeps the size its contents give it.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    QWidget::setTabOrder(last, ok);
    QWidget::setTabOrder(ok, cancel);
    return {picture, ok, cancel};
}

TfUser::TfUser(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("fUser"));
    setWindowTitle(QStringLiteral("Příjemce"));
    setProperty(kHelpContextProperty, kHelpTopic);

    m_label1 = new QLabel(QStringLiteral("Název/jméno partnera"));
    m_eName = new QLineEdit;
    m_eName->setObjectName(QStringLiteral("eName"));
    m_eName->setMaxLength(kNameLength);
    new TextGuard(m_eName, FilterReservedChar);
    m_label2 = new QLabel(QStringLiteral("Adresa (jméno počítače, nebo IP adresa)"));
    m_eHost = new QLineEdit;
    m_eHost->setObjectName(QStringLiteral("eHost"));
    m_eHost->setMaxLength(kHostLength);
    new TextGuard(m_eHost, FilterReservedChar);
    m_label1->setBuddy(m_eName);
    m_label2->setBuddy(m_eHost);

    m_eName->setMinimumWidth(240);

    auto *fields = new QVBoxLayout;
    fields->addWidget(m_label1);
    fields->addWidget(m_eName);
    fields->addSpacing(6);
    fields->addWidget(m_label2);
    fields->addWidget(m_eHost);

    const NameDialogFrame frame
            = BuildNameDialogFrame(this, StationImages::Recipient, fields, m_eHost);
    // Only now do the fields belong to the dialog; Qt refuses an order between orphans.
    setTabOrder(m_eName, m_eHost);
    m_image2 = frame.picture;
    m_bitBtn1 = frame.ok;
    m_bitBtn2 = frame.cancel;
    connect(m_bitBtn1, &QPushButton::clicked, this, [this] { acceptWhenValid(); });
}

void TfUser::setRecipient(const QByteArray &name, const QByteArray &host)
{
    SetFieldText(m_eName, kNameLength, name);
    SetFieldText(m_eHost, kHostLength, host);
}

void TfUser::setNameCheck(NameCheck check)
{
    m_nameCheck = std::move(check);
}

QByteArray TfUser::name() const
{
    return EncodeWindows1250(m_eName->text());
}

QByteArray TfUser::host() const
{
    return EncodeWindows1250(m_eHost->text());
}

void TfUser::acceptWhenValid()
{
    const auto [field, text] = refusal();
    if (!field) {
        accept();
        return;
    }
    ShowMessageBox(this, QMessageBox::Warning, text, QMessageBox::Ok);
    field->setFocus();
    field->selectAll();
}

std::pair<QLineEdit *, QString> TfUser::refusal() const
{
    // The fields are checked only here, so that what was pasted is looked at too.
    if (m_eName->text().isEmpty())
        return {m_eName, QStringLiteral("Zadejte název/jméno partnera.")};
    if (!IsStorableText(m_eName->text()))
        return {m_eName, QStringLiteral("Jméno obsahuje znak, který nelze do adresáře uložit.")};
    if (!IsStorableText(m_eHost->text()))
        return {m_eHost, QStringLiteral("Adresa obsahuje znak, který nelze do adresáře uložit.")};
    if (m_nameCheck) {
        QString refusal = m_nameCheck(name());
        if (!refusal.isEmpty())
            return {m_eName, refusal};
    }
    return {nullptr, QString()};
}
