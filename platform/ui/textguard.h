#pragma once

#include <QObject>
#include <QString>

class QEvent;
class QInputMethodEvent;
class QKeyEvent;
class QLineEdit;
class QPlainTextEdit;
class QWidget;

// Keeps what the user puts into a text field within Windows-1250, which is all the station's
// files and datagrams carry, by one rule for typing and one for pasting, the same in every field:
// - Typed text (keys, and what an input method commits) passes character by character through
//   the field's filter, when it has one; a character that Windows-1250 cannot hold is refused
//   with a beep, so the field never shows what could not be kept.
// - Pasted or dropped text is taken as it is, the filter not applied; a character that
//   Windows-1250 cannot hold shows at once, with a beep, as the "?" it will be kept as, so that
//   nothing is lost unseen and what the field shows is what is stored and sent.
class TextGuard : public QObject
{
    Q_OBJECT

public:
    // The substitution a field makes on each typed character; it must leave its own results
    // alone. Null for a field that takes every character as typed.
    using CharFilter = QChar (*)(QChar);

    // Guards the edit for as long as it lives; the edit owns the guard.
    explicit TextGuard(QLineEdit *edit, CharFilter filter = nullptr);
    // A multi-line edit takes what is pasted or dropped through its insertFromMimeData, which a
    // filter cannot see: the edit passes that text through pasted() itself.
    explicit TextGuard(QPlainTextEdit *edit, CharFilter filter = nullptr);

    // The typing rule: what the field takes of a typed text. refused, when given, is set to the
    // number of characters that were dropped.
    static QString TypedText(QStringView typed, CharFilter filter, qsizetype *refused = nullptr);
    // The pasting rule: what the field takes of a pasted text.
    static QString PastedText(QStringView pasted);
    // Whether the key types text, as the toolkit's own edits decide it: a printable character,
    // a formatting one or a surrogate pair, with any modifiers but Ctrl alone or Ctrl+Shift.
    static bool TypesText(const QKeyEvent &key);

    // The pasting rule for this field, with its beep and signal.
    QString pasted(const QString &text);

    CharFilter filter() const { return m_filter; }

Q_SIGNALS:
    // Once for each key or input-method commit of which a character was refused.
    void characterRefused();
    // Once for each paste of which a character was turned into "?".
    void pastedTextReplaced();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    TextGuard(QWidget *field, CharFilter filter);

    bool filterKey(QKeyEvent *key);
    bool filterInputMethod(QInputMethodEvent *input);
    void holdEditedText(QLineEdit *edit, const QString &text);

    QWidget *m_field;
    CharFilter m_filter;
    // Set while the guard hands the field its own substitute, which passes unlooked-at.
    bool m_substituting = false;
};
