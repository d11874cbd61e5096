#include "addressbook/addressbook.h"
#include "ui/dialogs/addressbookedits.h"
#include "ui/dialogs/fmGroup.h"
#include "ui/dialogs/fmMembers.h"
#include "ui/dialogs/fmUser.h"

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/offscreenapplication.h"
#include "support/filehelpers.h"
#include "support/printers.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QIdentityProxyModel>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

QByteArray Cp(const QString &text)
{
    return EncodeWindows1250(text);
}

QByteArray Records(std::initializer_list<std::initializer_list<QByteArray>> records)
{
    QByteArray bytes;
    for (const auto &record : records) {
        for (const QByteArray &line : record)
            bytes += line + "\r\n";
    }
    return bytes;
}

const QByteArray kAll("V\x9A"
                      "ichni");

// The first group holds Jana, Karel and Petr; the group Obchod holds Petr, then Jana.
const QByteArray kExample = Records({{"G", kAll, kAll},
                                     {"G", "Obchod", "Obchod"},
                                     {"G", "Sklad", "Sklad"},
                                     {"0", "Jana", "PC7"},
                                     {"0", "Karel", "PC2"},
                                     {"0", "Petr", "10.0.0.9"},
                                     {"Obchod", "Petr", "10.0.0.9"},
                                     {"Obchod", "Jana", "PC7"},
                                     {"Sklad", "Petr", "10.0.0.9"}});

std::vector<QByteArray> MemberTexts(const AddressBook &book, int group)
{
    std::vector<QByteArray> texts;
    for (int member = 0; member < book.memberCount(group); ++member)
        texts.push_back(book.memberText(group, member));
    return texts;
}

std::vector<QByteArray> GroupTexts(const AddressBook &book)
{
    std::vector<QByteArray> texts;
    for (int group = 0; group < book.groupCount(); ++group)
        texts.push_back(book.groupText(group));
    return texts;
}

QStringList ItemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int row = 0; row < list->count(); ++row)
        texts.append(list->item(row)->text());
    return texts;
}

void TypeText(QWidget *widget, const QString &text)
{
    for (const QChar character : text) {
        if (character.unicode() < 0x80) {
            QTest::keyClick(widget, character.toLatin1());
            continue;
        }
        // QTest's own typing knows ASCII only; a key event of any text is what a keyboard of
        // another layout delivers.
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QApplication::sendEvent(widget, &press);
        QApplication::sendEvent(widget, &release);
    }
}

// The next widget the Tab key goes to.
QWidget *NextTabStop(QWidget *widget)
{
    for (QWidget *next = widget->nextInFocusChain(); next != widget;
         next = next->nextInFocusChain()) {
        if ((next->focusPolicy() & Qt::TabFocus) && next->isEnabled())
            return next;
    }
    return widget;
}

void Paste(QLineEdit *edit, const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
}

// Plays the user's part in modal dialogs and boxes: each time a different modal window comes
// up, the next step gets it. A step runs from a timer of its own, so the modal windows it opens
// in turn are seen too. A window no step is left for, or one still open after the time allowed,
// is counted as unexpected and closed, so that a wrong turn fails the test rather than hangs it.
class ModalScript
{
public:
    using Step = std::function<void(QWidget *modal)>;

    explicit ModalScript(std::vector<Step> steps = {})
        : m_steps(std::move(steps))
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] { poll(); });
        m_poll.start(5);
        m_clock.start();
    }

    bool finished() const { return m_next == m_steps.size(); }
    int unexpected() const { return m_unexpected; }

private:
    static void closeModal(QWidget *modal)
    {
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    }

    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (m_clock.elapsed() > 10000) {
            ++m_unexpected;
            closeModal(modal);
            return;
        }
        if (modal == m_last)
            return;
        m_last = modal;
        QPointer<QWidget> target(modal);
        if (m_next >= m_steps.size()) {
            ++m_unexpected;
            QTimer::singleShot(0, modal, [target] {
                if (target)
                    closeModal(target);
            });
            return;
        }
        Step step = m_steps[m_next++];
        QTimer::singleShot(0, modal, [step, target] {
            if (target)
                step(target);
        });
    }

    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    int m_unexpected = 0;
    QPointer<QWidget> m_last;
    QTimer m_poll;
    QElapsedTimer m_clock;
};

// The windows on the screen. A call that ran a modal window returns only once the script has
// seen and closed it, so the script's count is complete when the call is back; a window shown
// without a loop of its own would be here.
QStringList ShownWindows()
{
    QStringList shown;
    for (const QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            shown.append(QLatin1String(window->metaObject()->className()) + QLatin1Char(' ')
                         + window->windowTitle());
    }
    return shown;
}

template<typename Dialog>
ModalScript::Step On(std::function<void(Dialog *)> act)
{
    return [act](QWidget *modal) {
        auto *dialog = qobject_cast<Dialog *>(modal);
        if (!dialog) {
            ADD_FAILURE() << "unexpected window " << qPrintable(modal->windowTitle());
            modal->close();
            return;
        }
        act(dialog);
    };
}

ModalScript::Step Answer(QMessageBox::StandardButton button, QString *text = nullptr)
{
    return On<QMessageBox>([button, text](QMessageBox *box) {
        if (text)
            *text = box->text();
        box->button(button)->click();
    });
}

ModalScript::Step FillUser(const QString &name, const QString &host)
{
    return On<TfUser>([name, host](TfUser *dialog) {
        dialog->eName()->clear();
        dialog->eHost()->clear();
        TypeText(dialog->eName(), name);
        TypeText(dialog->eHost(), host);
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
}

ModalScript::Step FillGroup(const QString &name)
{
    return On<TfGroup>([name](TfGroup *dialog) {
        dialog->eSkup()->clear();
        TypeText(dialog->eSkup(), name);
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
}

class DialogTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureOffscreenApplication("addressbook_dialog_tests"); }
};

class AddressBookEditTest : public DialogTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("recpt.dat"));
        WriteFileBytes(m_path, kExample);
        book.LoadAddressBook(m_path);
    }

    QByteArray saved()
    {
        book.SaveAddressBook(m_path);
        return FileBytes(m_path);
    }

    AddressBook book;
    QTemporaryDir m_dir;
    QString m_path;
};

// ---- Typing into the fields ----

std::vector<QLineEdit *> FilteredFields(TfUser &user, TfGroup &group)
{
    return {user.eName(), user.eHost(), group.eSkup()};
}

// The guard's rules are tested with the guard; here only that every field has it, with the
// reserved-character filter.
TEST_F(DialogTest, EveryFieldIsGuardedWithTheReservedCharacterFilter)
{
    TfUser user;
    TfGroup group;
    for (QLineEdit *field : FilteredFields(user, group)) {
        TypeText(field, QStringLiteral("a<b>|c~d"));
        // A character outside the code page, typed as one key, is refused.
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QStringLiteral("\U0001F600"), {});
        Paste(field, QStringLiteral("<\u4E2D"));
        EXPECT_EQ(field->text(), QStringLiteral("a/b/\\c-d<?")) << qPrintable(field->objectName());
    }
}

TEST_F(DialogTest, FieldsRefuseTypingPastTheirLength)
{
    TfUser user;
    TfGroup group;
    const QString seventeen(17, QLatin1Char('n'));
    const QString thirtyThree(33, QLatin1Char('h'));
    TypeText(user.eName(), seventeen);
    TypeText(group.eSkup(), seventeen);
    TypeText(user.eHost(), thirtyThree);
    EXPECT_EQ(user.eName()->text().size(), 16);
    EXPECT_EQ(group.eSkup()->text().size(), 16);
    EXPECT_EQ(user.eHost()->text().size(), 32);
}

TEST_F(DialogTest, StoredNameLongerThanTheLimitIsShownWhole)
{
    TfUser user;
    const QByteArray longName(20, 'x');
    user.setRecipient(longName, QByteArray(40, 'h'));
    EXPECT_EQ(user.name(), longName);
    EXPECT_EQ(user.host(), QByteArray(40, 'h'));
    TfGroup group;
    group.setGroupName(longName);
    EXPECT_EQ(group.groupName(), longName);
}

TEST_F(DialogTest, DialogsCarryTheirCaptionsButtonsAndHelpTopics)
{
    AddressBook book;
    book.LoadAddressBook(QStringLiteral("/nonexistent/recpt.dat"));
    TfUser user;
    TfGroup group;
    TfMembers members(book);
    EXPECT_EQ(user.windowTitle(), QStringLiteral("Příjemce"));
    EXPECT_EQ(group.windowTitle(), QStringLiteral("Skupina příjemců"));
    EXPECT_EQ(members.windowTitle(), QStringLiteral("Členství ve skupinách"));
    EXPECT_EQ(user.property(kHelpContextProperty).toInt(), 103);
    EXPECT_EQ(group.property(kHelpContextProperty).toInt(), 104);
    EXPECT_EQ(members.property(kHelpContextProperty).toInt(), 101);
    EXPECT_EQ(user.okButton()->text(), QStringLiteral("OK"));
    EXPECT_EQ(user.cancelButton()->text(), QStringLiteral("Storno"));
    EXPECT_TRUE(user.okButton()->isDefault());
    EXPECT_TRUE(group.okButton()->isDefault());
    EXPECT_TRUE(members.okBtn()->isDefault());
    EXPECT_EQ(members.cancelBtn()->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(members.helpBtn()->text(), QStringLiteral("Help"));
    EXPECT_EQ(members.eSkp()->font().pixelSize(), 15);
    EXPECT_TRUE(members.eSkp()->font().bold());
}

// Qt's warnings go to standard error at every opening, where a user's session log collects them.
TEST_F(DialogTest, DialogsOpenWithoutAWarningFromQt)
{
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &, const QString &text) {
                // The offscreen platform of the tests says so of every fixed-size window; a
                // desktop's platform does not.
                const bool offscreenOnly
                        = text.startsWith(QLatin1String("This plugin does not support"));
                if (type != QtDebugMsg && type != QtInfoMsg && !offscreenOnly)
                    warnings << text;
            });
    {
        AddressBook book;
        book.LoadAddressBook(QStringLiteral("/nonexistent/recpt.dat"));
        TfUser user;
        user.show();
        TfGroup group;
        group.show();
        TfMembers members(book);
        members.show();
        QApplication::processEvents();
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, QStringList());
}

TEST_F(DialogTest, TabOrderRunsFromTheNameToStorno)
{
    TfUser user;
    EXPECT_EQ(NextTabStop(user.eName()), user.eHost());
    EXPECT_EQ(NextTabStop(user.eHost()), user.okButton());
    EXPECT_EQ(NextTabStop(user.okButton()), user.cancelButton());
    AddressBook book;
    TfMembers members(book);
    EXPECT_EQ(NextTabStop(members.srcList()), members.dstList());
    EXPECT_EQ(NextTabStop(members.dstList()), members.okBtn());
    EXPECT_EQ(NextTabStop(members.okBtn()), members.cancelBtn());
    EXPECT_EQ(NextTabStop(members.cancelBtn()), members.helpBtn());
}

TEST_F(DialogTest, EscapeClosesTheRecipientDialogWithCancel)
{
    TfUser user;
    user.show();
    TypeText(user.eName(), QStringLiteral("Karel"));
    QTest::keyClick(user.eName(), Qt::Key_Escape);
    EXPECT_FALSE(user.isVisible());
    EXPECT_EQ(user.result(), QDialog::Rejected);
}

TEST_F(DialogTest, EnterConfirmsTheGroupDialog)
{
    TfGroup group;
    group.show();
    TypeText(group.eSkup(), QStringLiteral("Obchod"));
    QTest::keyClick(group.eSkup(), Qt::Key_Return);
    EXPECT_FALSE(group.isVisible());
    EXPECT_EQ(group.result(), QDialog::Accepted);
    EXPECT_EQ(group.groupName(), QByteArray("Obchod"));
}

// ---- New and edited recipients and groups ----

TEST_F(AddressBookEditTest, NewRecipientGoesToTheFirstGroupAndIsSelected)
{
    QTreeView tree;
    QIdentityProxyModel proxy;
    proxy.setSourceModel(&book);
    tree.setModel(&proxy);
    ASSERT_FALSE(tree.isExpanded(proxy.index(0, 0)));

    ModalScript script({FillUser(QStringLiteral("Zdeněk"), QStringLiteral("PC<9>"))});
    EXPECT_TRUE(NewRecipient(book, nullptr, &tree));
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(script.unexpected(), 0);

    ASSERT_EQ(book.memberCount(0), 4);
    EXPECT_EQ(book.memberText(0, 3), Cp(QStringLiteral("Zdeněk")));
    EXPECT_EQ(book.memberEntry(0, 3)->Host, QByteArray("PC/9/"));
    EXPECT_TRUE(tree.isExpanded(proxy.index(0, 0)));
    EXPECT_EQ(BookIndexOf(tree.currentIndex()), book.memberIndex(0, 3));
    EXPECT_TRUE(saved().contains(
            Records({{"0", "Petr", "10.0.0.9"}, {"0", Cp(QStringLiteral("Zdeněk")), "PC/9/"}})));
}

TEST_F(AddressBookEditTest, CancelledNewRecipientChangesNothing)
{
    ModalScript script({On<TfUser>([](TfUser *dialog) {
        TypeText(dialog->eName(), QStringLiteral("Zdenek"));
        QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    })});
    EXPECT_FALSE(NewRecipient(book, nullptr));
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(book.memberCount(0), 3);
}

TEST_F(AddressBookEditTest, NewGroupIsAppendedAndSelected)
{
    QTreeView tree;
    tree.setModel(&book);
    ModalScript script({FillGroup(QStringLiteral("Dílna"))});
    EXPECT_TRUE(NewGroup(book, nullptr, &tree));
    EXPECT_TRUE(script.finished());
    ASSERT_EQ(book.groupCount(), 4);
    EXPECT_EQ(book.groupText(3), Cp(QStringLiteral("Dílna")));
    EXPECT_EQ(book.memberCount(3), 0);
    EXPECT_EQ(tree.currentIndex(), book.groupIndex(3));
}

TEST_F(AddressBookEditTest, EditRecipientRenamesEveryNodeAndTheFileCarriesTheNewName)
{
    // Petr is in all three groups; the edit starts from his node in Sklad.
    ModalScript script({On<TfUser>([](TfUser *dialog) {
        EXPECT_EQ(dialog->eName()->text(), QStringLiteral("Petr"));
        EXPECT_EQ(dialog->eHost()->text(), QStringLiteral("10.0.0.9"));
        dialog->eName()->selectAll();
        TypeText(dialog->eName(), QStringLiteral("Pavel"));
        dialog->eHost()->selectAll();
        TypeText(dialog->eHost(), QStringLiteral("PC3"));
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    })});
    EXPECT_TRUE(EditRecipient(book, 2, 0, nullptr));
    EXPECT_TRUE(script.finished());

    EXPECT_EQ(MemberTexts(book, 0), (std::vector<QByteArray>{"Jana", "Karel", "Pavel"}));
    EXPECT_EQ(MemberTexts(book, 1), (std::vector<QByteArray>{"Pavel", "Jana"}));
    EXPECT_EQ(MemberTexts(book, 2), (std::vector<QByteArray>{"Pavel"}));
    const QByteArray bytes = saved();
    EXPECT_FALSE(bytes.contains("Petr")) << bytes.toStdString();
    EXPECT_TRUE(bytes.contains(Records({{"Obchod", "Pavel", "PC3"}, {"Obchod", "Jana", "PC7"}})));

    AddressBook reloaded;
    reloaded.LoadAddressBook(m_path);
    EXPECT_EQ(MemberTexts(reloaded, 1), (std::vector<QByteArray>{"Pavel", "Jana"}));
    EXPECT_EQ(MemberTexts(reloaded, 2), (std::vector<QByteArray>{"Pavel"}));
}

TEST_F(AddressBookEditTest, RenamedMemberStaysInTheMembershipDialog)
{
    ModalScript rename({FillUser(QStringLiteral("Pavel"), QStringLiteral("PC3"))});
    ASSERT_TRUE(EditRecipient(book, 0, 2, nullptr));
    TfMembers dialog(book);
    dialog.FillMembers(0, 1);
    EXPECT_EQ(ItemTexts(dialog.srcList()), QStringList{QStringLiteral("Karel")});
    EXPECT_EQ(ItemTexts(dialog.dstList()),
              (QStringList{QStringLiteral("Pavel"), QStringLiteral("Jana")}));
}

TEST_F(AddressBookEditTest, RecipientMayKeepItsOwnName)
{
    ModalScript script({On<TfUser>(
            [](TfUser *dialog) { QTest::mouseClick(dialog->okButton(), Qt::LeftButton); })});
    EXPECT_TRUE(EditRecipient(book, 0, 1, nullptr));
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(script.unexpected(), 0);
    EXPECT_EQ(book.memberText(0, 1), QByteArray("Karel"));
}

TEST_F(AddressBookEditTest, CancelledEditChangesNothing)
{
    ModalScript script({On<TfUser>([](TfUser *dialog) {
        dialog->eName()->selectAll();
        TypeText(dialog->eName(), QStringLiteral("Pavel"));
        QTest::keyClick(dialog->eName(), Qt::Key_Escape);
    })});
    EXPECT_FALSE(EditRecipient(book, 1, 0, nullptr));
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(book.memberEntry(0, 2)->Name, QByteArray("Petr"));
    EXPECT_EQ(saved(), kExample);
}

TEST_F(AddressBookEditTest, EditGroupRenamesTheGroupAndKeepsItsMembers)
{
    ModalScript script({On<TfGroup>([](TfGroup *dialog) {
        EXPECT_EQ(dialog->eSkup()->text(), QStringLiteral("Obchod"));
        dialog->eSkup()->selectAll();
        TypeText(dialog->eSkup(), QStringLiteral("Prodej"));
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    })});
    EXPECT_TRUE(EditGroup(book, 1, nullptr));
    EXPECT_EQ(book.groupText(1), QByteArray("Prodej"));
    EXPECT_EQ(MemberTexts(book, 1), (std::vector<QByteArray>{"Petr", "Jana"}));
    EXPECT_TRUE(saved().contains(Records({{"Prodej", "Petr", "10.0.0.9"}})));
}

TEST_F(AddressBookEditTest, FirstGroupIsNeitherEditedNorDeletedAndNothingIsShown)
{
    ModalScript script;
    EXPECT_FALSE(EditGroup(book, 0, nullptr));
    EXPECT_FALSE(DeleteGroup(book, 0, nullptr));
    EXPECT_FALSE(EditMembership(book, 0, 1, nullptr));
    EXPECT_FALSE(EditRecipient(book, 5, 0, nullptr));
    EXPECT_FALSE(RemoveFromGroup(book, 0, 0, nullptr));
    EXPECT_EQ(script.unexpected(), 0);
    EXPECT_EQ(ShownWindows(), QStringList());
    EXPECT_EQ(GroupTexts(book), (std::vector<QByteArray>{kAll, "Obchod", "Sklad"}));
    EXPECT_EQ(saved(), kExample);
}

// ---- Names the file could not read back ----

enum class Dialog { NewRecipient, EditPetr, NewGroup, EditObchod };

struct Refusal
{
    const char *label;
    Dialog dialog;
    QString name;
    QString text;
};

void PrintTo(const Refusal &refusal, std::ostream *out)
{
    *out << refusal.label;
}

class RefusedNameTest : public AddressBookEditTest, public testing::WithParamInterface<Refusal>
{
};

TEST_P(RefusedNameTest, RefusalKeepsTheDialogOpenAndChangesNothing)
{
    const Refusal &refusal = GetParam();
    const bool recipient
            = refusal.dialog == Dialog::NewRecipient || refusal.dialog == Dialog::EditPetr;
    QString shown;
    bool stillOpen = false;
    const auto type = [&refusal](QLineEdit *field, QPushButton *ok) {
        field->clear();
        // Pasted, so that characters the typing filter would change reach the check too.
        Paste(field, refusal.name);
        QTest::mouseClick(ok, Qt::LeftButton);
    };
    std::vector<ModalScript::Step> steps;
    if (recipient) {
        steps.push_back(On<TfUser>([type](TfUser *dialog) {
            dialog->eHost()->setText(QStringLiteral("PC1"));
            type(dialog->eName(), dialog->okButton());
        }));
    } else {
        steps.push_back(On<TfGroup>(
                [type](TfGroup *dialog) { type(dialog->eSkup(), dialog->okButton()); }));
    }
    steps.push_back(Answer(QMessageBox::Ok, &shown));
    steps.push_back([&stillOpen](QWidget *modal) {
        stillOpen = modal->isVisible();
        qobject_cast<QDialog *>(modal)->reject();
    });
    ModalScript script(steps);
    bool changed = true;
    switch (refusal.dialog) {
    case Dialog::NewRecipient:
        changed = NewRecipient(book, nullptr);
        break;
    case Dialog::EditPetr:
        changed = EditRecipient(book, 0, 2, nullptr);
        break;
    case Dialog::NewGroup:
        changed = NewGroup(book, nullptr);
        break;
    case Dialog::EditObchod:
        changed = EditGroup(book, 1, nullptr);
        break;
    }
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(script.unexpected(), 0);
    EXPECT_EQ(shown, refusal.text);
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(changed);
    EXPECT_EQ(saved(), kExample);
}

const QString kRecipientExists = QStringLiteral("Příjemce tohoto jména již existuje.");
const QString kGroupExists = QStringLiteral("Skupina tohoto jména již existuje.");
const QString kNamedLikeGroup
        = QStringLiteral("Skupina tohoto jména již existuje, příjemce se musí jmenovat jinak.");
const QString kNamedLikeRecipient
        = QStringLiteral("Příjemce tohoto jména již existuje, skupina se musí jmenovat jinak.");
const QString kMarker = QStringLiteral("Skupina se nesmí jmenovat „G“ ani „0“.");

INSTANTIATE_TEST_SUITE_P(
        Names,
        RefusedNameTest,
        testing::Values(
                Refusal{"EmptyRecipient",
                        Dialog::NewRecipient,
                        QString(),
                        QStringLiteral("Zadejte název/jméno partnera.")},
                Refusal{"EmptyEditedRecipient",
                        Dialog::EditPetr,
                        QString(),
                        QStringLiteral("Zadejte název/jméno partnera.")},
                Refusal{"SecondKarel",
                        Dialog::NewRecipient,
                        QStringLiteral("Karel"),
                        kRecipientExists},
                Refusal{"KarelInOtherCase",
                        Dialog::NewRecipient,
                        QStringLiteral("kAREL"),
                        kRecipientExists},
                Refusal{"PetrRenamedToJana",
                        Dialog::EditPetr,
                        QStringLiteral("Jana"),
                        kRecipientExists},
                Refusal{"RecipientNamedLikeGroup",
                        Dialog::NewRecipient,
                        QStringLiteral("Obchod"),
                        kNamedLikeGroup},
                Refusal{"RecipientNamedLikeFirstGroup",
                        Dialog::EditPetr,
                        QStringLiteral("Všichni"),
                        kNamedLikeGroup},
                Refusal{"PastedLineBreak",
                        Dialog::NewRecipient,
                        QStringLiteral("Pe\ntr"),
                        QStringLiteral("Jméno obsahuje znak, který nelze do adresáře uložit.")},
                Refusal{"EmptyGroup",
                        Dialog::NewGroup,
                        QString(),
                        QStringLiteral("Zadejte název skupiny.")},
                Refusal{"GroupG", Dialog::NewGroup, QStringLiteral("G"), kMarker},
                Refusal{"Group0", Dialog::EditObchod, QStringLiteral("0"), kMarker},
                Refusal{"SecondSklad", Dialog::NewGroup, QStringLiteral("Sklad"), kGroupExists},
                Refusal{"ObchodRenamedToSklad",
                        Dialog::EditObchod,
                        QStringLiteral("Sklad"),
                        kGroupExists},
                Refusal{"SecondFirstGroup",
                        Dialog::NewGroup,
                        QStringLiteral("Všichni"),
                        kGroupExists},
                Refusal{"GroupNamedLikeRecipient",
                        Dialog::NewGroup,
                        QStringLiteral("Jana"),
                        kNamedLikeRecipient}),
        [](const testing::TestParamInfo<Refusal> &info) { return std::string(info.param.label); });

TEST_F(AddressBookEditTest, AfterARefusalACorrectedNameIsTaken)
{
    QString shown;
    ModalScript script({FillUser(QStringLiteral("Karel"), QStringLiteral("PC9")),
                        Answer(QMessageBox::Ok, &shown),
                        On<TfUser>([](TfUser *dialog) {
                            EXPECT_TRUE(dialog->eName()->hasSelectedText());
                            TypeText(dialog->eName(), QStringLiteral("Karla"));
                            QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
                        })});
    EXPECT_TRUE(NewRecipient(book, nullptr));
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(shown, kRecipientExists);
    EXPECT_EQ(MemberTexts(book, 0), (std::vector<QByteArray>{"Jana", "Karel", "Petr", "Karla"}));
}

TEST_F(AddressBookEditTest, GroupNameCheckIsExactButRecipientNamesIgnoreCase)
{
    // The file compares group names exactly; only the membership dialog ignores case, and it
    // looks at recipients only.
    EXPECT_EQ(GroupNameRefusal(book, "obchod"), QString());
    EXPECT_EQ(GroupNameRefusal(book, "jana"), QString());
    EXPECT_EQ(GroupNameRefusal(book, "Obchod", 1), QString());
    EXPECT_EQ(RecipientNameRefusal(book, "JANA"), kRecipientExists);
    EXPECT_EQ(RecipientNameRefusal(book, "Jana", book.memberEntry(0, 0).get()), QString());
    EXPECT_EQ(RecipientNameRefusal(book, "g"), QString());
}

// ---- Deleting ----

TEST_F(AddressBookEditTest, RemoveFromGroupAsksAndRemovesOnlyThatNode)
{
    QString question;
    // The first question is answered with Cancel, the second with OK.
    ModalScript script({Answer(QMessageBox::Cancel, &question), Answer(QMessageBox::Ok)});
    EXPECT_FALSE(RemoveFromGroup(book, 1, 0, nullptr));
    EXPECT_EQ(question, QStringLiteral("Opravdu chcete odstranit příjemce Petr ze skupiny?"));
    EXPECT_EQ(saved(), kExample);

    EXPECT_TRUE(RemoveFromGroup(book, 1, 0, nullptr));
    EXPECT_EQ(MemberTexts(book, 1), (std::vector<QByteArray>{"Jana"}));
    EXPECT_EQ(MemberTexts(book, 0), (std::vector<QByteArray>{"Jana", "Karel", "Petr"}));
    EXPECT_EQ(MemberTexts(book, 2), (std::vector<QByteArray>{"Petr"}));
}

TEST_F(AddressBookEditTest, DeleteRecipientEverywhereAsksAndRemovesEveryNode)
{
    QString question;
    // The first question is answered with Cancel, the second with OK.
    ModalScript script({Answer(QMessageBox::Cancel, &question), Answer(QMessageBox::Ok)});
    EXPECT_FALSE(DeleteRecipientEverywhere(book, 0, 2, nullptr));
    EXPECT_EQ(question,
              QStringLiteral("Opravdu chcete trvale ostranit příjemce Petr ze všech skupin?"));
    EXPECT_EQ(saved(), kExample);

    std::weak_ptr<TRecipient> petr = book.memberEntry(0, 2);
    EXPECT_TRUE(DeleteRecipientEverywhere(book, 0, 2, nullptr));
    EXPECT_EQ(MemberTexts(book, 0), (std::vector<QByteArray>{"Jana", "Karel"}));
    EXPECT_EQ(MemberTexts(book, 1), (std::vector<QByteArray>{"Jana"}));
    EXPECT_EQ(MemberTexts(book, 2), std::vector<QByteArray>{});
    EXPECT_TRUE(petr.expired());
    EXPECT_FALSE(saved().contains("Petr"));
}

TEST_F(AddressBookEditTest, DeleteGroupAsksAndKeepsTheRecipients)
{
    QString question;
    // The first question is answered with Cancel, the second with OK.
    ModalScript script({Answer(QMessageBox::Cancel, &question), Answer(QMessageBox::Ok)});
    EXPECT_FALSE(DeleteGroup(book, 1, nullptr));
    EXPECT_EQ(question, QStringLiteral("Opravdu chcete odstranit skupinu Obchod?"));
    EXPECT_EQ(saved(), kExample);

    EXPECT_TRUE(DeleteGroup(book, 1, nullptr));
    EXPECT_EQ(GroupTexts(book), (std::vector<QByteArray>{kAll, "Sklad"}));
    EXPECT_EQ(MemberTexts(book, 0), (std::vector<QByteArray>{"Jana", "Karel", "Petr"}));
    EXPECT_FALSE(saved().contains("Obchod"));
    EXPECT_TRUE(script.finished());
}

TEST_F(AddressBookEditTest, ConfirmationsAreWarningsWithOkAndCancel)
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption;
    QMessageBox::StandardButtons buttons;
    ModalScript script({On<QMessageBox>([&](QMessageBox *box) {
        icon = box->icon();
        caption = box->windowTitle();
        buttons = box->standardButtons();
        box->button(QMessageBox::Cancel)->click();
    })});
    DeleteGroup(book, 2, nullptr);
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(caption, QStringLiteral("Warning"));
    EXPECT_EQ(buttons, QMessageBox::Ok | QMessageBox::Cancel);
}

// ---- Membership ----

TEST_F(AddressBookEditTest, MembershipListsNonMembersSortedAndMembersInReverse)
{
    TfMembers dialog(book);
    dialog.FillMembers(0, 1);
    EXPECT_EQ(dialog.eSkp()->text(), QStringLiteral("Obchod"));
    EXPECT_EQ(ItemTexts(dialog.srcList()), QStringList{QStringLiteral("Karel")});
    EXPECT_EQ(ItemTexts(dialog.dstList()),
              (QStringList{QStringLiteral("Petr"), QStringLiteral("Jana")}));
    EXPECT_TRUE(dialog.okBtn()->isEnabled());
    EXPECT_EQ(TfMembers::entryOf(dialog.dstList(), 0), book.memberEntry(0, 2));
}

TEST_F(AddressBookEditTest, MembersReachTheRightListInReverseSortedOrder)
{
    // The group's own order does not survive the dialog: the members come out of the sorted
    // list from its last item to its first.
    WriteFileBytes(m_path,
                   Records({{"G", kAll, kAll},
                            {"G", "Obchod", "Obchod"},
                            {"0", "Petr", "P"},
                            {"0", "Jana", "J"},
                            {"0", "Karel", "K"},
                            {"Obchod", "Jana", "J"},
                            {"Obchod", "petr", "P"}}));
    book.LoadAddressBook(m_path);
    // "petr" names no recipient exactly, so the file leaves Obchod with Jana alone.
    ASSERT_EQ(MemberTexts(book, 1), (std::vector<QByteArray>{"Jana"}));
    WriteFileBytes(m_path,
                   Records({{"G", kAll, kAll},
                            {"G", "Obchod", "Obchod"},
                            {"0", "Petr", "P"},
                            {"0", "Jana", "J"},
                            {"0", "Karel", "K"},
                            {"Obchod", "Jana", "J"},
                            {"Obchod", "Petr", "P"}}));
    book.LoadAddressBook(m_path);
    TfMembers dialog(book);
    dialog.FillMembers(0, 1);
    EXPECT_EQ(ItemTexts(dialog.dstList()),
              (QStringList{QStringLiteral("Petr"), QStringLiteral("Jana")}));
}

TEST_F(AddressBookEditTest, SourceListSortsWithoutRegardToCase)
{
    WriteFileBytes(m_path,
                   Records({{"G", kAll, kAll},
                            {"G", "Obchod", "Obchod"},
                            {"0", "cyril", "C"},
                            {"0", "Bob", "B"},
                            {"0", "anna", "A"},
                            {"0", "Dana", "D"},
                            {"Obchod", "Bob", "B"}}));
    book.LoadAddressBook(m_path);
    TfMembers dialog(book);
    dialog.FillMembers(0, 1);
    EXPECT_EQ(
            ItemTexts(dialog.srcList()),
            (QStringList{QStringLiteral("anna"), QStringLiteral("cyril"), QStringLiteral("Dana")}));
    dialog.dstList()->item(0)->setSelected(true);
    dialog.excludeSelected();
    EXPECT_EQ(ItemTexts(dialog.srcList()),
              (QStringList{QStringLiteral("anna"),
                           QStringLiteral("Bob"),
                           QStringLiteral("cyril"),
                           QStringLiteral("Dana")}));
}

TEST_F(AddressBookEditTest, FirstGroupShowsEveryoneAsMemberAndCannotBeConfirmed)
{
    bool okEnabled = true;
    int members = -1;
    int sources = -1;
    ModalScript script({On<TfMembers>([&](TfMembers *dialog) {
        okEnabled = dialog->okBtn()->isEnabled();
        members = dialog->dstList()->count();
        sources = dialog->srcList()->count();
        // A disabled default button is not pressed by Enter either.
        QTest::keyClick(dialog->dstList(), Qt::Key_Return);
        if (dialog->isVisible())
            QTest::keyClick(dialog->dstList(), Qt::Key_Escape);
    })});
    EXPECT_FALSE(EditMembership(book, 0, -1, nullptr));
    EXPECT_TRUE(script.finished());
    EXPECT_FALSE(okEnabled);
    EXPECT_EQ(members, 3);
    EXPECT_EQ(sources, 0);
    EXPECT_EQ(saved(), kExample);
}

TEST_F(AddressBookEditTest, IncludeAllAppendsNonMembersSortedAndOkMakesThemMembers)
{
    WriteFileBytes(m_path,
                   Records({{"G", kAll, kAll},
                            {"G", "Obchod", "Obchod"},
                            {"0", "Zuzana", "Z"},
                            {"0", "Petr", "P"},
                            {"0", "Karel", "K"},
                            {"0", "Adam", "A"},
                            {"Obchod", "Petr", "P"}}));
    book.LoadAddressBook(m_path);
    QStringList listed;
    ModalScript script({On<TfMembers>([&listed](TfMembers *dialog) {
        QTest::mouseClick(dialog->incAllBtn(), Qt::LeftButton);
        listed = ItemTexts(dialog->dstList());
        EXPECT_EQ(dialog->srcList()->count(), 0);
        EXPECT_FALSE(dialog->includeBtn()->isEnabled());
        EXPECT_FALSE(dialog->incAllBtn()->isEnabled());
        EXPECT_TRUE(dialog->excludeBtn()->isEnabled());
        QTest::mouseClick(dialog->okBtn(), Qt::LeftButton);
    })});
    EXPECT_TRUE(EditMembership(book, 1, -1, nullptr));
    EXPECT_EQ(listed,
              (QStringList{QStringLiteral("Petr"),
                           QStringLiteral("Adam"),
                           QStringLiteral("Karel"),
                           QStringLiteral("Zuzana")}));
    EXPECT_EQ(MemberTexts(book, 1), (std::vector<QByteArray>{"Petr", "Adam", "Karel", "Zuzana"}));
    EXPECT_EQ(book.memberEntry(1, 1), book.memberEntry(0, 3));
    EXPECT_TRUE(saved().endsWith(Records({{"Obchod", "Petr", "P"},
                                          {"Obchod", "Adam", "A"},
                                          {"Obchod", "Karel", "K"},
                                          {"Obchod", "Zuzana", "Z"}})));
}

TEST_F(AddressBookEditTest, IncludeWithNothingSelectedMovesNothingAndSelectsTheFirst)
{
    TfMembers dialog(book);
    dialog.FillMembers(0, 2);
    ASSERT_EQ(ItemTexts(dialog.srcList()),
              (QStringList{QStringLiteral("Jana"), QStringLiteral("Karel")}));
    dialog.show();
    QTest::mouseClick(dialog.includeBtn(), Qt::LeftButton);
    EXPECT_EQ(ItemTexts(dialog.srcList()),
              (QStringList{QStringLiteral("Jana"), QStringLiteral("Karel")}));
    EXPECT_EQ(ItemTexts(dialog.dstList()), QStringList{QStringLiteral("Petr")});
    EXPECT_TRUE(dialog.srcList()->item(0)->isSelected());
    EXPECT_FALSE(dialog.srcList()->item(1)->isSelected());
    EXPECT_EQ(TfMembers::FirstSelected(dialog.srcList()), 0);
}

TEST_F(AddressBookEditTest, IncludeMovesTheSelectionAndSelectsTheNextSource)
{
    WriteFileBytes(m_path,
                   Records({{"G", kAll, kAll},
                            {"G", "Obchod", "Obchod"},
                            {"0", "A", "1"},
                            {"0", "B", "2"},
                            {"0", "C", "3"},
                            {"0", "D", "4"}}));
    book.LoadAddressBook(m_path);
    TfMembers dialog(book);
    dialog.FillMembers(0, 1);
    dialog.show();
    dialog.srcList()->item(1)->setSelected(true);
    dialog.srcList()->item(2)->setSelected(true);
    QTest::mouseClick(dialog.includeBtn(), Qt::LeftButton);
    EXPECT_EQ(ItemTexts(dialog.dstList()), (QStringList{QStringLiteral("C"), QStringLiteral("B")}));
    EXPECT_EQ(ItemTexts(dialog.srcList()), (QStringList{QStringLiteral("A"), QStringLiteral("D")}));
    // The first moved item stood at 1, where D stands now.
    EXPECT_EQ(TfMembers::FirstSelected(dialog.srcList()), 1);
    EXPECT_FALSE(dialog.srcList()->item(0)->isSelected());

    // Past the end: the last item is taken.
    dialog.dstList()->item(1)->setSelected(true);
    QTest::mouseClick(dialog.excludeBtn(), Qt::LeftButton);
    EXPECT_EQ(ItemTexts(dialog.dstList()), QStringList{QStringLiteral("C")});
    EXPECT_EQ(TfMembers::FirstSelected(dialog.dstList()), 0);
    EXPECT_EQ(ItemTexts(dialog.srcList()),
              (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("D")}));
}

TEST_F(AddressBookEditTest, ExcludeAllEmptiesTheMembersAndDisablesTheirButtons)
{
    TfMembers dialog(book);
    dialog.FillMembers(0, 1);
    dialog.show();
    EXPECT_TRUE(dialog.exAllBtn()->isEnabled());
    QTest::mouseClick(dialog.exAllBtn(), Qt::LeftButton);
    EXPECT_EQ(dialog.dstList()->count(), 0);
    EXPECT_EQ(
            ItemTexts(dialog.srcList()),
            (QStringList{QStringLiteral("Jana"), QStringLiteral("Karel"), QStringLiteral("Petr")}));
    EXPECT_FALSE(dialog.excludeBtn()->isEnabled());
    EXPECT_FALSE(dialog.exAllBtn()->isEnabled());
    EXPECT_TRUE(dialog.includeBtn()->isEnabled());
    EXPECT_TRUE(dialog.incAllBtn()->isEnabled());
}

TEST_F(AddressBookEditTest, CancelledMembershipLeavesTheGroupAsItWas)
{
    ModalScript script({On<TfMembers>([](TfMembers *dialog) {
        QTest::mouseClick(dialog->exAllBtn(), Qt::LeftButton);
        QTest::mouseClick(dialog->cancelBtn(), Qt::LeftButton);
    })});
    EXPECT_FALSE(EditMembership(book, 1, -1, nullptr));
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(MemberTexts(book, 1), (std::vector<QByteArray>{"Petr", "Jana"}));
    EXPECT_EQ(saved(), kExample);
}

TEST_F(AddressBookEditTest, MembershipOnARecipientNodeOpensNothing)
{
    ModalScript script;
    EXPECT_FALSE(EditMembership(book, 1, 0, nullptr));
    EXPECT_EQ(script.unexpected(), 0);
    EXPECT_EQ(ShownWindows(), QStringList());
}

// ---- The book's editing ----

TEST_F(AddressBookEditTest, EditsAreAnnouncedToViews)
{
    QSignalSpy changed(&book, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(&book, &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(&book, &QAbstractItemModel::rowsInserted);
    book.SetRecipientNodesText(book.memberEntry(0, 2).get(), "Pavel");
    EXPECT_EQ(changed.count(), 3);
    book.SetMembers(1, {{"Karel", book.memberEntry(0, 1)}});
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(inserted.count(), 1);
    book.RemoveGroupNode(2);
    EXPECT_EQ(removed.count(), 2);
    EXPECT_EQ(GroupTexts(book), (std::vector<QByteArray>{kAll, "Obchod"}));
}

TEST_F(AddressBookEditTest, FirstGroupCannotBeRemovedNorAMissingMember)
{
    EXPECT_THROW(book.RemoveGroupNode(0), Error);
    EXPECT_THROW(book.RemoveMemberNode(1, 2), Error);
    EXPECT_THROW(book.SetGroupText(3, "X"), Error);
    EXPECT_EQ(saved(), kExample);
}

} // namespace
