#include "platform/ui/textguard.h"

#include "platform/ui/offscreenapplication.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>

namespace {

// A field's filter of its own, as the address book's fields have one.
QChar SlashesAndHyphens(QChar typed)
{
    if (typed == QLatin1Char('<') || typed == QLatin1Char('>'))
        return QLatin1Char('/');
    if (typed == QLatin1Char('~'))
        return QLatin1Char('-');
    return typed;
}

const QString kEmoji = QStringLiteral("\U0001F600"); // a surrogate pair, one character typed

// One key a character, as a keyboard of any layout delivers it.
void TypeText(QWidget *field, const QString &text, Qt::KeyboardModifiers modifiers = {})
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length = text[i].isHighSurrogate() ? 2 : 1;
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, text.mid(i, length), modifiers);
        i += length - 1;
    }
}

QString TextOf(QWidget *field)
{
    if (auto *edit = qobject_cast<QLineEdit *>(field))
        return edit->text();
    return static_cast<QPlainTextEdit *>(field)->toPlainText();
}

void Paste(QWidget *field, const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
}

class TextGuardTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureOffscreenApplication("platform_ui_tests"); }

    // Both kinds of field the station has, each guarded with the filter.
    std::vector<QWidget *> fields(TextGuard::CharFilter filter)
    {
        new TextGuard(&m_line, filter);
        new TextGuard(&m_plain, filter);
        return {&m_line, &m_plain};
    }

    QLineEdit m_line;
    QPlainTextEdit m_plain;
};

} // namespace

TEST_F(TextGuardTest, TypedCharactersPassThroughTheFieldsFilter)
{
    for (QWidget *field : fields(SlashesAndHyphens)) {
        TypeText(field, QStringLiteral("a<b>c~d"));
        // With Alt held a key still types; the filter must not be bypassed by a modifier.
        TypeText(field, QStringLiteral("~<"), Qt::AltModifier);
        EXPECT_EQ(TextOf(field), QStringLiteral("a/b/c-d-/")) << field->metaObject()->className();
    }
}

TEST_F(TextGuardTest, WithoutAFilterEveryCharacterOfTheCodePageIsTakenAsTyped)
{
    for (QWidget *field : fields(nullptr)) {
        TypeText(field, QStringLiteral("a<b>|c~dčŽ"));
        EXPECT_EQ(TextOf(field), QStringLiteral("a<b>|c~dčŽ"));
    }
}

TEST_F(TextGuardTest, TypedCharacterOutsideTheCodePageIsRefusedWithASignal)
{
    for (QWidget *field : fields(SlashesAndHyphens)) {
        auto *guard = field->findChild<TextGuard *>();
        QSignalSpy refused(guard, &TextGuard::characterRefused);
        TypeText(field, QStringLiteral("Ža\u4E2D\u0100") + kEmoji + QStringLiteral("b"));
        EXPECT_EQ(TextOf(field), QStringLiteral("Žab"));
        EXPECT_EQ(refused.count(), 3);
    }
}

TEST_F(TextGuardTest, ShortcutsAreNotTypingButAltAndAltGrAre)
{
    const auto types = [](const QString &text, Qt::KeyboardModifiers modifiers) {
        return TextGuard::TypesText(QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, modifiers, text));
    };
    EXPECT_TRUE(types(QStringLiteral("a"), Qt::NoModifier));
    EXPECT_TRUE(types(QStringLiteral("|"), Qt::ShiftModifier | Qt::KeypadModifier));
    EXPECT_TRUE(types(QStringLiteral("|"), Qt::AltModifier));
    EXPECT_TRUE(types(QStringLiteral("|"), Qt::ControlModifier | Qt::AltModifier));
    EXPECT_TRUE(types(kEmoji, Qt::NoModifier));
    EXPECT_TRUE(types(QStringLiteral("\u200D"), Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_FALSE(types(QStringLiteral("a"), Qt::ControlModifier));
    EXPECT_FALSE(types(QStringLiteral("A"), Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_FALSE(types(QStringLiteral("\x01"), Qt::ControlModifier));
    EXPECT_FALSE(types(QStringLiteral("\r"), Qt::NoModifier));
    EXPECT_FALSE(types(QString(), Qt::NoModifier));
}

TEST_F(TextGuardTest, SubstituteIsTypedOverTheSelectionAndRefusedWhenTheFieldIsFull)
{
    new TextGuard(&m_line, SlashesAndHyphens);
    m_line.setText(QStringLiteral("Karel"));
    m_line.setSelection(1, 3);
    QTest::keyClick(&m_line, '~');
    EXPECT_EQ(m_line.text(), QStringLiteral("K-l"));
    m_line.setMaxLength(3);
    m_line.end(false);
    QTest::keyClick(&m_line, '<');
    EXPECT_EQ(m_line.text(), QStringLiteral("K-l"));
}

TEST_F(TextGuardTest, InputMethodCommitIsTyping)
{
    for (QWidget *field : fields(SlashesAndHyphens)) {
        QSignalSpy refused(field->findChild<TextGuard *>(), &TextGuard::characterRefused);
        QInputMethodEvent commit;
        commit.setCommitString(QStringLiteral("č<\u4E2D~") + kEmoji);
        QApplication::sendEvent(field, &commit);
        EXPECT_EQ(TextOf(field), QStringLiteral("č/-"));
        EXPECT_EQ(refused.count(), 1);
    }
}

TEST_F(TextGuardTest, PastedTextIsNotFilteredButShowsAsItWillBeKept)
{
    auto *guard = new TextGuard(&m_line, SlashesAndHyphens);
    QSignalSpy replaced(guard, &TextGuard::pastedTextReplaced);
    QSignalSpy refused(guard, &TextGuard::characterRefused);
    Paste(&m_line, QStringLiteral("a<~b"));
    EXPECT_EQ(m_line.text(), QStringLiteral("a<~b"));
    EXPECT_EQ(replaced.count(), 0);

    m_line.setCursorPosition(1);
    Paste(&m_line, QStringLiteral("\u4E2D") + kEmoji + QStringLiteral("č"));
    EXPECT_EQ(m_line.text(), QStringLiteral("a??č<~b"));
    EXPECT_EQ(m_line.cursorPosition(), 4); // after what was pasted, the pair now one "?"
    EXPECT_EQ(replaced.count(), 1);
    EXPECT_EQ(refused.count(), 0);

    // A multi-line edit hands its pasted text over itself; the rule is the same.
    auto *plainGuard = new TextGuard(&m_plain, SlashesAndHyphens);
    QSignalSpy plainReplaced(plainGuard, &TextGuard::pastedTextReplaced);
    EXPECT_EQ(plainGuard->pasted(QStringLiteral("~<\u0100\n")), QStringLiteral("~<?\n"));
    EXPECT_EQ(plainGuard->pasted(QStringLiteral("~<č\n")), QStringLiteral("~<č\n"));
    EXPECT_EQ(plainReplaced.count(), 1);
}
