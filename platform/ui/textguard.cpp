#include "textguard.h"

#include "platform/codepage.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScopedValueRollback>

namespace {

// How many code units the character at i takes: two for a surrogate pair, which is one
// character to the user and is kept or refused whole.
qsizetype CharacterLength(QStringView text, qsizetype i)
{
    return text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2 : 1;
}

} // namespace

TextGuard::TextGuard(QWidget *field, CharFilter filter)
    : QObject(field)
    , m_field(field)
    , m_filter(filter)
{
    field->installEventFilter(this);
}

TextGuard::TextGuard(QLineEdit *edit, CharFilter filter)
    : TextGuard(static_cast<QWidget *>(edit), filter)
{
    // Every change the user makes comes by here, pastes and drops among them; what was typed is
    // already within the code page by then and passes unchanged.
    connect(edit, &QLineEdit::textEdited, this, [this, edit](const QString &text) {
        holdEditedText(edit, text);
    });
}

TextGuard::TextGuard(QPlainTextEdit *edit, CharFilter filter)
    : TextGuard(static_cast<QWidget *>(edit), filter)
{}

QString TextGuard::TypedText(QStringView typed, CharFilter filter, qsizetype *refused)
{
    QString kept;
    kept.reserve(typed.size());
    qsizetype dropped = 0;
    for (qsizetype i = 0; i < typed.size();) {
        const qsizetype length = CharacterLength(typed, i);
        QString character = typed.mid(i, length).toString();
        if (filter && length == 1)
            character[0] = filter(character[0]);
        if (IsWindows1250Text(character))
            kept.append(character);
        else
            ++dropped;
        i += length;
    }
    if (refused)
        *refused = dropped;
    return kept;
}

QString TextGuard::PastedText(QStringView pasted)
{
    if (IsWindows1250Text(pasted))
        return pasted.toString();
    return DecodeWindows1250(EncodeWindows1250(pasted));
}

bool TextGuard::TypesText(const QKeyEvent &key)
{
    const QString text = key.text();
    if (text.isEmpty())
        return false;
    const QChar first = text.front();
    if (first.category() == QChar::Other_Format)
        return true;
    // Ctrl with a key is a shortcut; AltGr (Ctrl+Alt on some desktops) and Alt still type.
    const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::ControlModifier || modifiers == (Qt::ControlModifier | Qt::ShiftModifier))
        return false;
    return first.isPrint() || first.category() == QChar::Other_PrivateUse
           || CharacterLength(text, 0) == 2;
}

QString TextGuard::pasted(const QString &text)
{
    const QString held = PastedText(text);
    if (held != text) {
        QApplication::beep();
        Q_EMIT pastedTextReplaced();
    }
    return held;
}

bool TextGuard::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_field || m_substituting)
        return false;
    switch (event->type()) {
    case QEvent::KeyPress:
        return filterKey(static_cast<QKeyEvent *>(event));
    case QEvent::InputMethod:
        return filterInputMethod(static_cast<QInputMethodEvent *>(event));
    default:
        return false;
    }
}

bool TextGuard::filterKey(QKeyEvent *key)
{
    if (!TypesText(*key))
        return false;
    qsizetype refused = 0;
    const QString kept = TypedText(key->text(), m_filter, &refused);
    if (refused > 0) {
        QApplication::beep();
        Q_EMIT characterRefused();
    }
    if (kept == key->text())
        return false;
    if (kept.isEmpty()) {
        key->accept();
        return true;
    }
    // The field gets the substitute as a key of its own, so that it treats it as typed: over a
    // selection, at the cursor, and refused when the field is full.
    QKeyEvent substitute(QEvent::KeyPress,
                         key->key(),
                         key->modifiers(),
                         kept,
                         key->isAutoRepeat(),
                         static_cast<quint16>(key->count()));
    {
        const QScopedValueRollback substituting(m_substituting, true);
        QCoreApplication::sendEvent(m_field, &substitute);
    }
    key->setAccepted(substitute.isAccepted());
    return true;
}

bool TextGuard::filterInputMethod(QInputMethodEvent *input)
{
    // An input method commits what the user composed; that is typing too.
    const QString typed = input->commitString();
    if (typed.isEmpty())
        return false;
    qsizetype refused = 0;
    const QString kept = TypedText(typed, m_filter, &refused);
    if (refused > 0) {
        QApplication::beep();
        Q_EMIT characterRefused();
    }
    if (kept == typed)
        return false;
    QInputMethodEvent substitute(input->preeditString(), input->attributes());
    substitute.setCommitString(kept, input->replacementStart(), input->replacementLength());
    {
        const QScopedValueRollback substituting(m_substituting, true);
        QCoreApplication::sendEvent(m_field, &substitute);
    }
    return true;
}

void TextGuard::holdEditedText(QLineEdit *edit, const QString &text)
{
    if (IsWindows1250Text(text))
        return;
    const int cursor = edit->cursorPosition();
    const QString held = pasted(text);
    edit->setText(held);
    // A surrogate pair before the cursor became one "?".
    edit->setCursorPosition(int(PastedText(QStringView(text).left(cursor)).size()));
}
