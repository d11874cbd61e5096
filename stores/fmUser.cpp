#include "fmUser.h"

#include "core/protocol.h"
#include "platform/codepage.h"
#include "resources/stationimages.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kPictureSize = 32;

// What the key would put into the edit, as QLineEdit itself decides it: a printable text.
bool InsertsText(const QString &text)
{
    return !text.isEmpty() && text.at(0).isPrint();
}

QString Filtered(const QString &typed)
{
    QString filtered;
    filtered.reserve(typed.size());
    for (const QChar typedChar : typed)
        filtered.append(FilterReservedChar(typedChar));
    return filtered;
}

// The text a field may start from: a name read from the file may be longer than the user may
// type, and the field must not cut it behind the user's back.
void SetFieldText(QLineEdit *field, int maxLength, const QByteArray &bytes)
{
    const QString text = DecodeWindows1250(bytes);
    field->setMaxLength(std::max(maxLength, static_cast<int>(text.size())));
    field->setText(text);
}

} // namespace

TypedCharFilter::TypedCharFilter(QLineEdit *edit)
    : QObject(edit)
{
    edit->installEventFilter(this);
}

bool TypedCharFilter::eventFilter(QObject *watched, QEvent *event)
{
    auto *edit = qobject_cast<QLineEdit *>(watched);
    if (!edit)
        return false;
    switch (event->type()) {
    case QEvent::KeyPress:
        return filterKey(edit, event);
    case QEvent::InputMethod:
        return filterInputMethod(edit, event);
    default:
        return false;
    }
}

bool TypedCharFilter::filterKey(QLineEdit *edit, QEvent *event)
{
    auto *key = static_cast<QKeyEvent *>(event);
    const QString typed = key->text();
    if (!InsertsText(typed))
        return false;
    const QString filtered = Filtered(typed);
    if (!IsWindows1250Text(filtered)) {
        QApplication::beep();
        Q_EMIT characterRefused();
        return true;
    }
    if (filtered == typed)
        return false;
    // The edit gets the substitute as a key of its own, so that it treats it as typed: over a
    // selection, at the cursor, and refused when the field is full. The substitute passes this
    // filter unchanged, since the filter leaves its own results alone.
    QKeyEvent substitute(QEvent::KeyPress,
                         key->key(),
                         key->modifiers(),
                         filtered,
                         key->isAutoRepeat(),
                         static_cast<quint16>(key->count()));
    QCoreApplication::sendEvent(edit, &substitute);
    key->setAccepted(substitute.isAccepted());
    return true;
}

bool TypedCharFilter::filterInputMethod(QLineEdit *edit, QEvent *event)
{
    // An input method commits what the user composed; that is typing too.
    auto *input = static_cast<QInputMethodEvent *>(event);
    const QString typed = input->commitString();
    if (typed.isEmpty())
        return false;
    QString kept;
    bool refused = false;
    for (const QChar typedChar : Filtered(typed)) {
        if (IsWindows1250Text(QStringView(&typedChar, 1)))
            kept.append(typedChar);
        else
            refused = true;
    }
    if (refused) {
        QApplication::beep();
        Q_EMIT characterRefused();
    }
    if (kept == typed)
        return false;
    QInputMethodEvent substitute(input->preeditString(), input->attributes());
    substitute.setCommitString(kept, input->replacementStart(), input->replacementLength());
    QCoreApplication::sendEvent(edit, &substitute);
    return true;
}

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

void ShowRefusal(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), text, QMessageBox::Ok, parent);
    box.exec();
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
    setProperty("helpContext", kHelpTopic);

    m_label1 = new QLabel(QStringLiteral("Název/jméno partnera"));
    m_eName = new QLineEdit;
    m_eName->setObjectName(QStringLiteral("eName"));
    m_eName->setMaxLength(kNameLength);
    new TypedCharFilter(m_eName);
    m_label2 = new QLabel(QStringLiteral("Adresa (jméno počítače, nebo IP adresa)"));
    m_eHost = new QLineEdit;
    m_eHost->setObjectName(QStringLiteral("eHost"));
    m_eHost->setMaxLength(kHostLength);
    new TypedCharFilter(m_eHost);
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
    connect(m_bitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
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

void TfUser::BitBtn1Click()
{
    const auto [field, text] = refusal();
    if (!field) {
        accept();
        return;
    }
    ShowRefusal(this, text);
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
