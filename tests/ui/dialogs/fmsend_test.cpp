#include "addressbook/addressbook.h"
#include "core/history.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "platform/ui/helpviewer.h"
#include "support/printers.h"
#include "support/privatenetwork.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"
#include "support/widgettest.h"
#include "ui/dialogs/fmSend.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

namespace {

using Recipients = std::vector<std::shared_ptr<TRecipient>>;

// A core that listens on the test port with its clock stopped, so that whatever the dialog
// queues stays in the queue for the test to look at.
struct Core
{
    Core()
    {
        UseSettings("[TCPIP]\r\nPORT=40000\r\nIDENT=Recepce\r\n");
        dm = MakeTestStation(boxes);
    }

    std::vector<QByteArray> queued(QByteArray TMessageQueueItem::*field) const
    {
        std::vector<QByteArray> values;
        for (const auto &entry : dm->outboundQueue())
            values.push_back(entry.*field);
        return values;
    }

    RecordingBoxes boxes;
    std::unique_ptr<Tdm> dm;
};

Recipients MakeRecipients(std::initializer_list<std::pair<const char *, const char *>> entries)
{
    Recipients recipients;
    for (const auto &[name, host] : entries)
        recipients.push_back(std::make_shared<TRecipient>(TRecipient{name, host}));
    return recipients;
}

Recipients ThreeRecipients()
{
    return MakeRecipients({{"Jan", "10.0.0.1"}, {"Eva", "10.0.0.2"}, {"Petr", "PC9"}});
}

// The dialog without its modal loop, shown and active, for the test to drive directly.
struct ShownDialog
{
    ShownDialog(Tdm &dm, Recipients recipients)
        : dialog(dm, std::move(recipients))
    {
        dialog.show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
    }

    void paste(const QString &text)
    {
        QApplication::clipboard()->setText(text);
        QTest::keyClick(dialog.body(), Qt::Key_V, Qt::ControlModifier);
    }

    void type(const QString &text)
    {
        QTest::sendKeyEvent(QTest::Click, dialog.body(), Qt::Key_unknown, text, Qt::NoModifier);
    }

    // Clicks a cell of the row, as the user picks a recipient, then toggles its box with Space.
    void toggleRow(int row)
    {
        QTableWidget *list = dialog.recipientList();
        QTest::mouseClick(list->viewport(),
                          Qt::LeftButton,
                          {},
                          list->visualItemRect(list->item(row, 1)).center());
        QTest::keyClick(list, Qt::Key_Space);
    }

    TfSend dialog;
};

} // namespace

TEST(ComposeDialog, WithoutRecipientsItOnlyTellsTheUser)
{
    RUN_WINDOW_TEST([] {
        Core core;
        BoxAnswerer cancel(QMessageBox::Cancel);
        ModalDriver<TfSend> driver([](TfSend &dialog) { dialog.reject(); }, 500);
        EXPECT_FALSE(ComposeMessage(*core.dm, {}, "text", nullptr));
        EXPECT_EQ(cancel.questions,
                  std::vector<QString>{QStringLiteral("Musíte vybrat alespoň jednoho příjemce.")});
        EXPECT_EQ(cancel.icons, std::vector<QMessageBox::Icon>{QMessageBox::Information});
        EXPECT_EQ(cancel.buttons, std::vector<QMessageBox::StandardButtons>{QMessageBox::Cancel});
        // A compose dialog run inside the call would have been driven, or rejected at the
        // driver's deadline, before the call could return; one left open would be here still.
        EXPECT_FALSE(driver.driven());
        EXPECT_FALSE(driver.timedOut());
        const QWidgetList windows = QApplication::topLevelWidgets();
        EXPECT_TRUE(std::none_of(windows.begin(), windows.end(), [](QWidget *window) {
            return dynamic_cast<TfSend *>(window) != nullptr;
        }));
        EXPECT_TRUE(core.dm->outboundQueue().empty());
    });
}

TEST(ComposeDialog, TheRecipientListShowsFourRecipientsWhole)
{
    RUN_WINDOW_TEST([] {
        Core core;
        ShownDialog shown(*core.dm,
                          MakeRecipients({{"Jan", "10.0.0.1"},
                                          {"Eva", "10.0.0.2"},
                                          {"Petr", "PC9"},
                                          {"Jana", "PC7"},
                                          {"Karel", "PC2"}}));
        QTableWidget *list = shown.dialog.recipientList();
        EXPECT_EQ(list->height(), 88);
        int whole = 0;
        for (int row = 0; row < list->rowCount(); ++row) {
            if (list->rowViewportPosition(row) + list->rowHeight(row) <= list->viewport()->height())
                ++whole;
        }
        EXPECT_GE(whole, 4) << "rows " << list->rowHeight(0) << " high in "
                            << list->viewport()->height();
        // Compact, yet the text and the box still fit the row.
        EXPECT_GE(list->rowHeight(0), list->fontMetrics().height());
        EXPECT_GE(list->rowHeight(0),
                  list->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, list));
    });
}

TEST(ComposeDialog, ThreeRecipientsAreQueuedInListOrderWithTheTextGiven)
{
    RUN_WINDOW_TEST([] {
        Core core;
        const QByteArray oldText = "Dobr\xFD den,\r\nz\xEDtra v 8.";
        QString caption;
        QStringList names, hosts, headings;
        int checked = 0;
        QString shown;
        bool bodyFocused = false;
        int helpTopic = 0;
        ModalDriver<TfSend> driver([&](TfSend &dialog) {
            caption = dialog.windowTitle();
            helpTopic = dialog.property(kHelpContextProperty).toInt();
            QTableWidget *list = dialog.recipientList();
            for (int column = 0; column < list->columnCount(); ++column)
                headings << list->horizontalHeaderItem(column)->text();
            for (int row = 0; row < list->rowCount(); ++row) {
                names << list->item(row, 0)->text();
                hosts << list->item(row, 1)->text();
                checked += list->item(row, 0)->checkState() == Qt::Checked ? 1 : 0;
            }
            shown = dialog.body()->shownText();
            bodyFocused = dialog.focusWidget() == dialog.body();
            QTest::mouseClick(dialog.sendButton(), Qt::LeftButton);
        });
        EXPECT_TRUE(ComposeMessage(*core.dm, ThreeRecipients(), oldText, nullptr));
        ASSERT_TRUE(driver.driven());
        EXPECT_FALSE(driver.timedOut());

        EXPECT_EQ(caption, QStringLiteral("Napsat zprávu"));
        EXPECT_EQ(helpTopic, 102);
        EXPECT_EQ(headings, (QStringList{QStringLiteral("Jméno"), QStringLiteral("Adresa")}));
        EXPECT_EQ(names,
                  (QStringList{
                          QStringLiteral("Jan"), QStringLiteral("Eva"), QStringLiteral("Petr")}));
        EXPECT_EQ(hosts,
                  (QStringList{QStringLiteral("10.0.0.1"),
                               QStringLiteral("10.0.0.2"),
                               QStringLiteral("PC9")}));
        EXPECT_EQ(checked, 3);
        EXPECT_EQ(shown, QStringLiteral("Dobrý den,\nzítra v 8."));
        EXPECT_TRUE(bodyFocused);

        EXPECT_EQ(core.queued(&TMessageQueueItem::Host),
                  (std::vector<QByteArray>{"10.0.0.1", "10.0.0.2", "PC9"}));
        EXPECT_EQ(core.queued(&TMessageQueueItem::Key),
                  (std::vector<QByteArray>{"PC7~1", "PC7~2", "PC7~3"}));
        EXPECT_EQ(core.queued(&TMessageQueueItem::Ident),
                  (std::vector<QByteArray>{"Recepce", "Recepce", "Recepce"}));
        EXPECT_EQ(core.queued(&TMessageQueueItem::Body),
                  (std::vector<QByteArray>{oldText, oldText, oldText}));

        ASSERT_EQ(core.dm->tOut().count(), 3);
        std::map<qint32, QByteArray> partners;
        for (int row = 0; row < core.dm->tOut().count(); ++row) {
            partners[core.dm->tOut().row(row).ID] = core.dm->tOut().row(row).FROM;
            EXPECT_EQ(core.dm->tOut().row(row).MSG, oldText);
        }
        EXPECT_EQ(partners,
                  (std::map<qint32, QByteArray>{
                          {1, "Jan <10.0.0.1>"}, {2, "Eva <10.0.0.2>"}, {3, "Petr <PC9>"}}));
    });
}

TEST(ComposeDialog, TypedReservedCharactersAreReplacedPastedOnesAreKept)
{
    RUN_WINDOW_TEST([] {
        Core core;
        ShownDialog shown(*core.dm, MakeRecipients({{"Jan", "10.0.0.1"}}));
        QTest::keyClicks(shown.dialog.body(), QStringLiteral("a<b>|c~d"));
        // Alt held down still types, and the filter still applies.
        QTest::sendKeyEvent(QTest::Click,
                            shown.dialog.body(),
                            Qt::Key_Bar,
                            QStringLiteral("|"),
                            Qt::AltModifier);
        EXPECT_EQ(shown.dialog.body()->shownText(), QStringLiteral("a/b/\\c-d\\"));
        shown.paste(QStringLiteral(" <x>|~"));
        EXPECT_EQ(shown.dialog.body()->shownText(), QStringLiteral("a/b/\\c-d\\ <x>|~"));

        QTest::mouseClick(shown.dialog.sendButton(), Qt::LeftButton);
        EXPECT_EQ(shown.dialog.result(), QDialog::Accepted);
        EXPECT_EQ(core.queued(&TMessageQueueItem::Body),
                  std::vector<QByteArray>{"a/b/\\c-d\\ <x>|~"});
    });
}

TEST(ComposeDialog, TheBodyTakesNo401stCharacterAndALineBreakTakesTwo)
{
    RUN_WINDOW_TEST([] {
        Core core;
        ShownDialog shown(*core.dm, MakeRecipients({{"Jan", "10.0.0.1"}}));
        TMessageMemo *body = shown.dialog.body();
        QTest::keyClicks(body, QString(399, QLatin1Char('a')));
        QTest::keyClick(body, Qt::Key_Return); // CR LF would make 401
        EXPECT_EQ(body->shownText(), QString(399, QLatin1Char('a')));
        QTest::keyClicks(body, QStringLiteral("bc"));
        EXPECT_EQ(body->shownText(), QString(399, QLatin1Char('a')) + QLatin1Char('b'));
        shown.paste(QStringLiteral("xyz"));
        EXPECT_EQ(body->messageText().size(), 400);
        EXPECT_TRUE(body->messageText().endsWith("ab"));

        // Pasting is cut to what still fits, a line break counting as two.
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(body, Qt::Key_Backspace);
        shown.paste(QStringLiteral("\r\nxyz"));
        EXPECT_TRUE(body->shownText().endsWith(QStringLiteral("aaa\nx")));
        EXPECT_EQ(body->messageText().size(), 400);
        EXPECT_TRUE(body->messageText().endsWith("a\r\nx"));
    });
}

TEST(ComposeDialog, EscapeInTheBodyLeadsToPoslatAndASecondEscapeCancels)
{
    RUN_WINDOW_TEST([] {
        Core core;
        bool onSend = false;
        bool stillOpen = false;
        ModalDriver<TfSend> driver([&](TfSend &dialog) {
            QTest::keyClicks(dialog.body(), QStringLiteral("ahoj"));
            QTest::keyClick(dialog.body(), Qt::Key_Escape);
            onSend = dialog.focusWidget() == dialog.sendButton();
            stillOpen = dialog.isVisible();
            QTest::keyClick(dialog.focusWidget(), Qt::Key_Escape);
        });
        EXPECT_FALSE(ComposeMessage(*core.dm, ThreeRecipients(), {}, nullptr));
        ASSERT_TRUE(driver.driven());
        EXPECT_FALSE(driver.timedOut());
        EXPECT_TRUE(onSend);
        EXPECT_TRUE(stillOpen);
        EXPECT_TRUE(core.dm->outboundQueue().empty());
        EXPECT_EQ(core.dm->tOut().count(), 0);
    });
}

TEST(ComposeDialog, EnterOnPoslatReachedByEscapeSends)
{
    RUN_WINDOW_TEST([] {
        Core core;
        QString typed;
        ModalDriver<TfSend> driver([&](TfSend &dialog) {
            QTest::keyClicks(dialog.body(), QStringLiteral("ahoj"));
            QTest::keyClick(dialog.body(), Qt::Key_Return); // a line break in the body
            QTest::keyClicks(dialog.body(), QStringLiteral("Jan"));
            typed = dialog.body()->shownText();
            QTest::keyClick(dialog.body(), Qt::Key_Escape);
            QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
        });
        EXPECT_TRUE(ComposeMessage(*core.dm, MakeRecipients({{"Jan", "PC9"}}), {}, nullptr));
        EXPECT_FALSE(driver.timedOut());
        EXPECT_EQ(typed, QStringLiteral("ahoj\nJan"));
        EXPECT_EQ(core.queued(&TMessageQueueItem::Body), std::vector<QByteArray>{"ahoj\r\nJan"});
    });
}

TEST(ComposeDialog, UntickedRecipientsGetNothing)
{
    RUN_WINDOW_TEST([] {
        Core core;
        ShownDialog shown(*core.dm, ThreeRecipients());
        QTest::keyClicks(shown.dialog.body(), QStringLiteral("zprava"));
        shown.toggleRow(1);
        EXPECT_EQ(shown.dialog.recipientList()->item(1, 0)->checkState(), Qt::Unchecked);
        QTest::mouseClick(shown.dialog.sendButton(), Qt::LeftButton);
        EXPECT_EQ(shown.dialog.result(), QDialog::Accepted);
        EXPECT_EQ(core.queued(&TMessageQueueItem::Host),
                  (std::vector<QByteArray>{"10.0.0.1", "PC9"}));
        EXPECT_EQ(core.queued(&TMessageQueueItem::Key),
                  (std::vector<QByteArray>{"PC7~1", "PC7~2"}));
    });
}

TEST(ComposeDialog, PoslatDoesNothingWithoutTextOrTickButSendsBlanks)
{
    RUN_WINDOW_TEST([] {
        Core core;
        ShownDialog shown(*core.dm, MakeRecipients({{"Jan", "10.0.0.1"}, {"Eva", "10.0.0.2"}}));
        QTest::mouseClick(shown.dialog.sendButton(), Qt::LeftButton);
        EXPECT_TRUE(shown.dialog.isVisible());
        EXPECT_TRUE(core.dm->outboundQueue().empty());

        QTest::keyClicks(shown.dialog.body(), QStringLiteral("   "));
        shown.toggleRow(0);
        shown.toggleRow(1);
        QTest::keyClick(shown.dialog.recipientList(), Qt::Key_Return); // the list keeps Enter
        QTest::mouseClick(shown.dialog.sendButton(), Qt::LeftButton);
        EXPECT_TRUE(shown.dialog.isVisible());
        EXPECT_NE(shown.dialog.result(), QDialog::Accepted);
        EXPECT_TRUE(core.dm->outboundQueue().empty());

        shown.toggleRow(1);
        QTest::mouseClick(shown.dialog.sendButton(), Qt::LeftButton);
        EXPECT_FALSE(shown.dialog.isVisible());
        EXPECT_EQ(shown.dialog.result(), QDialog::Accepted);
        EXPECT_EQ(core.queued(&TMessageQueueItem::Host), std::vector<QByteArray>{"10.0.0.2"});
        EXPECT_EQ(core.queued(&TMessageQueueItem::Body), std::vector<QByteArray>{"   "});
    });
}

TEST(ComposeDialog, WhatTheCodePageCannotHoldIsRefusedWhenTypedAndShownAsSentWhenPasted)
{
    RUN_WINDOW_TEST([] {
        Core core;
        BoxAnswerer cancel(QMessageBox::Cancel); // a text that cannot be sent is refused so
        ShownDialog shown(*core.dm, MakeRecipients({{"Jan", "10.0.0.1"}}));
        QTest::keyClicks(shown.dialog.body(), QStringLiteral("ab"));
        shown.type(QStringLiteral("\U0001F600")); // one key, one character of two code units
        EXPECT_EQ(shown.dialog.body()->shownText(), QStringLiteral("ab"));
        shown.paste(QStringLiteral("x☺y"));
        EXPECT_EQ(shown.dialog.body()->shownText(), QStringLiteral("abx?y"));

        QTest::mouseClick(shown.dialog.sendButton(), Qt::LeftButton);
        EXPECT_EQ(core.queued(&TMessageQueueItem::Body), std::vector<QByteArray>{"abx?y"});
        EXPECT_TRUE(cancel.questions.empty());
    });
}
