#include "addressbook/addressbook.h"
#include "core/history.h"
#include "core/settings.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "support/printers.h"
#include "support/privatenetwork.h"
#include "support/rawpeer.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"
#include "support/widgettest.h"
#include "ui/archivewindow.h"
#include "ui/dialogs/fmGroup.h"
#include "ui/dialogs/fmSend.h"
#include "ui/dialogs/fmUser.h"
#include "ui/fmMain.h"
#include "ui/historygrid.h"
#include "ui/historygridrows.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

namespace {

QStringList Strings(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *text : texts)
        list << QString::fromUtf8(text);
    return list;
}

// A window over a core on loopback that sends to the test's raw peer, its clock stopped so that
// each tick is driven by the test; the address book is read from a fresh current directory.
struct Station
{
    explicit Station(const QByteArray &settings = "[TCPIP]\r\nPORT=40000\r\nIDENT=Recepce\r\n",
                     TfMain::Tray tray = TfMain::Tray::Available,
                     const QByteArray &addressBook = {})
    {
        UseSettings(settings);
        EXPECT_TRUE(directory.isValid());
        QDir::setCurrent(directory.path());
        if (!addressBook.isNull()) {
            QFile file(QStringLiteral("recpt.dat"));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(addressBook);
        }
        dm = MakeTestStation(boxes);
        window = std::make_unique<TfMain>(*dm, nullptr, tray);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    ~Station()
    {
        window.reset();
        dm.reset();
    }

    QStringList statusLines() const
    {
        return window->statusLog()->toPlainText().split(QLatin1Char('\n'));
    }

    int queueRows() const { return window->queueView()->model()->rowCount(); }

    QStringList queueColumn(int column) const
    {
        QStringList texts;
        for (int row = 0; row < queueRows(); ++row)
            texts << window->queueView()->model()->index(row, column).data().toString();
        return texts;
    }

    QTemporaryDir directory;
    RecordingBoxes boxes;
    std::unique_ptr<Tdm> dm;
    std::unique_ptr<TfMain> window;
};

QByteArray SettingsFileBytes()
{
    QFile file(UsedSettingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int SizeValue(const char *key)
{
    return ReadSizeValue(OpenSettingsFile(), key, -1);
}

} // namespace

TEST(MainWindow, QueueViewFollowsTheQueuePositionForPosition)
{
    RUN_WINDOW_TEST([] {
        RawPeer peer;
        Station station;
        station.dm->QueueMessage("Jan", "127.0.0.1", "prvni");
        station.dm->QueueMessage("Eva", "127.0.0.1", "druha");
        station.dm->QueueMessage("Petr", "127.0.0.1", "treti");
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.queueRows() == 3; }));
        EXPECT_EQ(station.queueColumn(1), Strings({"127.0.0.1", "127.0.0.1", "127.0.0.1"}));
        EXPECT_EQ(station.queueColumn(2), Strings({"prvni", "druha", "treti"}));
        EXPECT_FALSE(station.window->queueView()->model()->index(0, 0).data().toString().isEmpty());

        peer.sendTo("#PC7~1"); // the oldest entry, while the other two wait
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.queueRows() == 2; }));
        EXPECT_EQ(station.queueColumn(2), Strings({"druha", "treti"}));
        EXPECT_EQ(station.dm->outboundQueue().size(), 2u);
        // The status log shows its lines with the next frame.
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return station.statusLines().last() == QStringLiteral("Konfirmace PC7~1");
        }));

        // The other two have had their eight attempts; one is confirmed at the last moment and
        // a newer message comes meanwhile.
        while (station.dm->sendTick() < 56)
            station.dm->timTimer();
        peer.sendTo("#PC7~2");
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.queueRows() == 1; }));
        station.dm->QueueMessage("Jana", "127.0.0.1", "ctvrta");
        // A give-up without a transport error ends its line with a blank.
        while (station.dm->sendTick() < 64)
            station.dm->timTimer();
        ASSERT_EQ(station.queueRows(), 1);
        EXPECT_EQ(station.queueColumn(2), Strings({"ctvrta"}));
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return station.statusLines().last() == QStringLiteral("Chyba: 127.0.0.1 ");
        }));

        // The sent grid shows the states of the rows, newest first.
        const QAbstractItemModel *sent = station.window->sentGrid()->model();
        ASSERT_EQ(sent->rowCount(), 4);
        EXPECT_EQ(sent->index(0, HistoryTable::ColumnLFLAG).data().toString(),
                  QStringLiteral("Nová"));
        EXPECT_EQ(sent->index(1, HistoryTable::ColumnLFLAG).data().toString(),
                  QStringLiteral("Chyba!"));
        EXPECT_EQ(sent->index(2, HistoryTable::ColumnLFLAG).data().toString(),
                  QStringLiteral("Odeslaná"));
    });
}

TEST(MainWindow, AReceivedMessageIsShownConfirmedAndUnreadOnesStayPastTheBound)
{
    RUN_WINDOW_TEST([] {
        RawPeer peer;
        Station station;
        EXPECT_EQ(station.statusLines(), Strings({"Status..."}));
        peer.sendTo("=PC9~1|Sklad|Dobr\xFD"
                    " den");
        EXPECT_EQ(peer.takeCount(1), std::vector<QByteArray>{"#PC9~1"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.statusLines().size() == 2; }));
        EXPECT_EQ(station.statusLines().last(), QStringLiteral("Nová zpráva od Sklad"));

        const QAbstractItemModel *received = station.window->receivedGrid()->model();
        ASSERT_EQ(received->rowCount(), 1);
        EXPECT_EQ(received->index(0, HistoryTable::ColumnFROM).data().toString(),
                  QStringLiteral("Sklad <127.0.0.1>"));
        EXPECT_EQ(received->index(0, HistoryTable::ColumnLFLAG).data().toString(),
                  QStringLiteral("Nová"));
        EXPECT_TRUE(QTest::qWaitFor(
                [&] { return station.window->receivedGrid()->currentIndex().row() == 0; }));
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return station.window->receivedBody()->toPlainText() == QStringLiteral("Dobrý den");
        }));
        // The text is shown in the body's own font, which it takes with its first message.
        EXPECT_TRUE(station.window->receivedBody()->font().bold());
        EXPECT_EQ(station.window->receivedBody()->font().pixelSize(), 16);

        for (int i = 2; i <= 130; ++i)
            peer.sendTo("=PC9~" + QByteArray::number(i) + "|Sklad|zprava");
        ASSERT_EQ(peer.takeCount(129).size(), 129u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.statusLines().size() == 131; }));
        // Every key of the last ten minutes is remembered, and nobody has read any of them:
        // the history's default bound of 32 rows drops none.
        EXPECT_EQ(station.dm->receivedList().size(), 130u);
        EXPECT_EQ(received->rowCount(), 130);
    });
}

TEST(MainWindow, AGridTakesAFramesChangesAtOnceAndTheUsersRowByItsMessage)
{
    RUN_WINDOW_TEST([] {
        Station station;
        HistoryTable &table = station.dm->tIn();
        const auto store = [&](const char *text) {
            AppendMessage(table, "Sklad <127.0.0.1>", text, 32, station.dm->boxes());
        };
        for (const char *text : {"jedna", "dva", "tri"})
            store(text);
        station.window->showPendingChanges();
        HistoryGrid *grid = station.window->receivedGrid();
        const QAbstractItemModel *rows = grid->model();
        ASSERT_EQ(rows->rowCount(), 3);
        EXPECT_EQ(grid->currentIndex().row(), 0);

        // Messages stored while the frame lasts leave the grid alone until it ends.
        QSignalSpy inserted(rows, &QAbstractItemModel::rowsInserted);
        store("ctyri");
        store("pet");
        EXPECT_EQ(inserted.count(), 0);
        ASSERT_EQ(rows->rowCount(), 3);

        // The user's row meanwhile is the message it shows, wherever the table holds it now.
        ASSERT_EQ(rows->index(1, HistoryTable::ColumnMSG).data().toString(), QStringLiteral("dva"));
        grid->setCurrentIndex(rows->index(1, HistoryTable::ColumnMSG));
        EXPECT_EQ(table.currentRow().MSG, QByteArray("dva"));

        station.window->showPendingChanges();
        EXPECT_EQ(inserted.count(), 1);
        ASSERT_EQ(rows->rowCount(), 5);
        EXPECT_EQ(rows->index(0, HistoryTable::ColumnMSG).data().toString(), QStringLiteral("pet"));
        EXPECT_EQ(grid->currentIndex().row(), 3);
        EXPECT_EQ(rows->headerData(3, Qt::Vertical).toString(), QStringLiteral("▶"));
        EXPECT_EQ(rows->headerData(0, Qt::Vertical).toString(), QString());
        EXPECT_EQ(table.currentRow().MSG, QByteArray("dva"));
    });
}

TEST(MainWindow, AGridsRowsMatchTheTableAfterAnyMixOfChanges)
{
    RUN_WINDOW_TEST([] {
        HistoryTable table("tIn", HistoryKind::Received);
        table.open();
        HistoryGridRows rows(table);
        // Aborts at the first signal that leaves the rows inconsistent with what views were told.
        QAbstractItemModelTester tester(&rows,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        std::mt19937 random(1912);
        const auto below = [&](int bound) {
            return int(random() % unsigned(std::max(bound, 1)));
        };
        const QDateTime start(QDate(2026, 12, 9), QTime(8, 0));
        for (int step = 0; step < 3000; ++step) {
            const int count = table.count();
            switch (below(10)) {
            case 0:
            case 1:
            case 2:
            case 3:
                table.append("Sklad", QByteArray::number(step), start.addSecs(below(50)));
                break;
            case 4:
            case 5:
                if (count > 0)
                    table.deleteRow(below(count));
                break;
            case 6:
                if (count > 0)
                    table.setFlag(
                            below(count), HistoryFlag::Read, HistoryFlagLabel(HistoryFlag::Read));
                break;
            case 7:
                if (count > 0)
                    table.moveCursor(below(count));
                break;
            case 8:
                table.setOrder(below(2) ? HistoryTable::Order::IdDescending
                                        : HistoryTable::Order::DatumDescending);
                break;
            default:
                if (below(20) == 0) {
                    table.close();
                    table.open();
                }
                break;
            }
            if (below(3) != 0)
                continue;
            rows.catchUp();
            ASSERT_EQ(rows.rowCount(), table.count()) << "step " << step;
            for (int row = 0; row < table.count(); ++row) {
                for (int column = 0; column < HistoryTable::ColumnCount; ++column) {
                    ASSERT_EQ(rows.index(row, column).data(), table.index(row, column).data())
                            << "step " << step << ", row " << row << ", column " << column;
                }
            }
            ASSERT_EQ(rows.markedRow(), table.cursor()) << "step " << step;
        }
    });
}

TEST(MainWindow, StatusLinesGatheredForOneFrameKeepTheirOrderAndTheBound)
{
    RUN_WINDOW_TEST([] {
        Station station;
        for (int i = 1; i <= Tdm::kStatusLinesKept + 5; ++i)
            station.window->addStatusLine("radek " + QByteArray::number(i));
        station.window->showPendingChanges();
        QStringList lines = station.statusLines();
        ASSERT_EQ(lines.size(), Tdm::kStatusLinesKept);
        EXPECT_EQ(lines.first(), QStringLiteral("radek 6"));
        EXPECT_EQ(lines.last(), QStringLiteral("radek %1").arg(Tdm::kStatusLinesKept + 5));

        station.window->addStatusLine("posledni");
        ASSERT_TRUE(QTest::qWaitFor(
                [&] { return station.statusLines().last() == QStringLiteral("posledni"); }));
        lines = station.statusLines();
        EXPECT_EQ(lines.size(), Tdm::kStatusLinesKept);
        EXPECT_EQ(lines.first(), QStringLiteral("radek 7"));
    });
}

TEST(MainWindow, ANewMessageShowsTheHiddenWindowOnlyWhenAskedTo)
{
    for (const bool maximize : {true, false}) {
        RUN_WINDOW_TEST([maximize] {
            RawPeer peer;
            Station station("[TCPIP]\r\nPORT=40000\r\n[ALERT]\r\nMAXIMIZE="
                            + QByteArray(maximize ? "1" : "0") + "\r\n");
            station.window->hideWindow();
            ASSERT_FALSE(station.window->isVisible());
            peer.sendTo("=PC9~1|Sklad|Ahoj");
            ASSERT_TRUE(QTest::qWaitFor([&] { return station.statusLines().size() == 2; }));
            EXPECT_EQ(station.window->isVisible(), maximize);
            EXPECT_EQ(station.statusLines().last(), QStringLiteral("Nová zpráva od Sklad"));
        });
    }
}

TEST(MainWindow, ClosingHidesAndWritesTheGeometryWhileHidingWritesNothing)
{
    RUN_WINDOW_TEST([] {
        Station station;
        const QByteArray before = SettingsFileBytes();
        station.window->hideWindow();
        EXPECT_FALSE(station.window->isVisible());
        EXPECT_EQ(SettingsFileBytes(), before);

        station.window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(station.window.get()));
        EXPECT_FALSE(station.window->close());
        EXPECT_FALSE(station.window->isVisible());
        for (const char *key :
             {"HEIGHT", "WIDTH", "TOP", "LEFT", "SPLITTER0", "SPLITTER1", "SPLITTER2", "SPLITTER3"})
            EXPECT_NE(SizeValue(key), -1) << key;
        // The station's own keys are kept as they were.
        EXPECT_TRUE(SettingsFileBytes().startsWith(before));
    });
}

TEST(MainWindow, WithoutATrayClosingMinimisesInstead)
{
    RUN_WINDOW_TEST([] {
        Station station("[TCPIP]\r\nPORT=40000\r\n", TfMain::Tray::Unavailable);
        station.window->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.window->isMinimized(); }));
        EXPECT_TRUE(station.window->isVisible());
        station.window->bringToFront();
        EXPECT_FALSE(station.window->isMinimized());
    });
}

TEST(MainWindow, QuittingAsksAndACancelledQuitAsksAgainAtTheNextClose)
{
    RUN_WINDOW_TEST([] {
        Station station;
        {
            BoxAnswerer cancel(QMessageBox::Cancel);
            station.window->quitStation();
            EXPECT_TRUE(station.window->isVisible());
            EXPECT_TRUE(station.window->quitFlag());
            station.window->close();
            EXPECT_TRUE(station.window->isVisible());
            const QString question
                    = QStringLiteral("Ukončením programu nebudete moci přijímat zprávy.");
            EXPECT_EQ(cancel.questions, (std::vector<QString>{question, question}));
            // A message still waiting for its confirmation is not dropped without a word.
            station.dm->QueueMessage("Jan", "127.0.0.1", "Ahoj");
            station.window->close();
            ASSERT_EQ(cancel.questions.size(), 3u);
            EXPECT_EQ(cancel.questions.back(),
                      question
                              + QStringLiteral("\n\nZprávy čekající na potvrzení příjmu: 1. "
                                               "Odešlou se znovu při příštím spuštění."));
        }
        BoxAnswerer ok(QMessageBox::Ok);
        bool deadlinePassed = false;
        QTimer::singleShot(0, station.window.get(), [&] { station.window->close(); });
        // A deadline, not the answer: the loop must end through the window's own quit.
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, qApp, [&] {
            deadlinePassed = true;
            QCoreApplication::quit();
        });
        deadline.start(10000);
        QApplication::exec();
        EXPECT_FALSE(deadlinePassed) << "the confirmed quit did not end the loop";
        EXPECT_EQ(ok.questions.size(), 1u);
    });
}

TEST(MainWindow, TheArchiveFindsMessagesAsTheUserTypesWithOrWithoutDiacritics)
{
    RUN_WINDOW_TEST([] {
        RawPeer peer;
        Station station;
        peer.sendTo("=PC9~1|Sklad|" + EncodeWindows1250(u"Faktura přijatá včera"));
        peer.sendTo("=PC9~2|Sklad|Porada v osm");
        ASSERT_EQ(peer.takeCount(2).size(), 2u);
        station.dm->QueueMessage("Jan", "127.0.0.1", EncodeWindows1250(u"Přijatá objednávka"));
        const QList<QAction *> actions = station.window->findChildren<QAction *>();
        const auto search = std::find_if(actions.begin(), actions.end(), [](QAction *action) {
            return action->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_F);
        });
        ASSERT_NE(search, actions.end());
        EXPECT_EQ((*search)->text(), QStringLiteral("&Hledat ve zprávách…"));
        (*search)->trigger();

        ArchiveWindow *archive = station.window->findChild<ArchiveWindow *>();
        ASSERT_TRUE(archive && archive->isVisible());
        const auto texts = [archive] {
            QStringList shown;
            for (int row = 0; row < archive->model().rowCount(); ++row)
                shown << archive->model().index(row, ArchiveModel::ColumnText).data().toString();
            return shown;
        };
        ASSERT_TRUE(QTest::qWaitFor([&] { return archive->model().rowCount() == 3; }));
        EXPECT_EQ(texts().first(), QStringLiteral("Přijatá objednávka")); // the newest first
        QTest::keyClicks(archive->searchField(), QStringLiteral("prijata"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return archive->model().rowCount() == 2; }));
        EXPECT_EQ(texts(),
                  (QStringList{QStringLiteral("Přijatá objednávka"),
                               QStringLiteral("Faktura přijatá včera")}));

        BoxAnswerer close(QMessageBox::Close);
        archive->view()->setCurrentIndex(archive->model().index(1, 0));
        QTest::keyClick(archive->view(), Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return close.questions.size() == 1; }));
        EXPECT_TRUE(close.questions[0].contains(QStringLiteral("Faktura přijatá včera")));
        EXPECT_TRUE(close.questions[0].startsWith(QStringLiteral("Od: Sklad <127.0.0.1>")));
    });
}

TEST(MainWindow, GeometryDefaultsAndLimits)
{
    RUN_WINDOW_TEST([] {
        {
            Station station{QByteArray()}; // no settings file at all
            const QRect screen = station.window->screen()->geometry();
            EXPECT_EQ(station.window->width(), 400);
            EXPECT_EQ(station.window->height(), 350);
            EXPECT_EQ(station.window->y(), 8);
            EXPECT_EQ(station.window->x(), screen.width() - (400 + 8));
            station.window->saveWindowSize();
            EXPECT_EQ(SizeValue("SPLITTER0"), 128);
            EXPECT_EQ(SizeValue("SPLITTER1"), 64);
            EXPECT_EQ(SizeValue("SPLITTER2"), 64);
            EXPECT_EQ(SizeValue("SPLITTER3"), 32);
            // Beside the narrowest tree the three page tabs still show, none behind arrows.
            const QTabBar *tabs = station.window->pages()->tabBar();
            ASSERT_EQ(tabs->count(), 3);
            for (int tab = 0; tab < tabs->count(); ++tab)
                EXPECT_TRUE(tabs->rect().contains(tabs->tabRect(tab)))
                        << tab << " ends at " << tabs->tabRect(tab).right() << " of "
                        << tabs->width();
        }
        {
            // Stored on a second monitor that is gone: the window opens where it would without.
            Station lost("[SIZE]\r\nTOP=40\r\nLEFT=-5000\r\n");
            const QRect screen = lost.window->screen()->geometry();
            EXPECT_EQ(lost.window->y(), 8);
            EXPECT_EQ(lost.window->x(), screen.width() - (400 + 8));
        }
        {
            Station partly("[SIZE]\r\nTOP=40\r\nLEFT=-300\r\n");
            EXPECT_EQ(partly.window->pos(), QPoint(-300, 40)) << "a part is still in reach";
        }
        {
            Station small("[SIZE]\r\nHEIGHT=100\r\nWIDTH=100\r\n");
            EXPECT_EQ(small.window->height(), 350);
            EXPECT_EQ(small.window->width(), 400);
        }
        {
            Station station("[SIZE]\r\nHEIGHT=580\r\nWIDTH=640\r\nTOP=20\r\nSPLITTER0=50\r\n"
                            "SPLITTER1=500\r\nSPLITTER2=100\r\nSPLITTER3=40\r\n");
            EXPECT_EQ(station.window->height(), 580);
            EXPECT_EQ(station.window->y(), 20);
            EXPECT_EQ(station.window->width(), 640);
            const QRect screen = station.window->screen()->geometry();
            EXPECT_EQ(station.window->x(), screen.width() - (640 + 8)); // LEFT after WIDTH
            station.window->saveWindowSize();
            EXPECT_EQ(SizeValue("SPLITTER0"), 128);
            EXPECT_EQ(SizeValue("SPLITTER1"), 256);
            EXPECT_EQ(SizeValue("SPLITTER2"), 100);
            EXPECT_EQ(SizeValue("SPLITTER3"), 40);
        }
    });
}

TEST(MainWindow, ShowsTheAddressBookAndThePagesTexts)
{
    RUN_WINDOW_TEST([] {
        const QByteArray book = "G\r\nV\x9A"
                                "ichni\r\nV\x9A"
                                "ichni\r\nG\r\nObchod\r\nObchod\r\n"
                                "0\r\nJana\r\nPC7\r\n0\r\nPetr\r\n10.0.0.9\r\n"
                                "Obchod\r\nPetr\r\n10.0.0.9\r\n";
        Station station("[TCPIP]\r\nPORT=40000\r\n", TfMain::Tray::Available, book);
        const QAbstractItemModel *tree = station.window->tree()->model();
        ASSERT_EQ(tree->rowCount(), 2);
        EXPECT_EQ(tree->index(0, 0).data().toString(), QStringLiteral("Všichni"));
        EXPECT_EQ(tree->rowCount(tree->index(0, 0)), 2);
        EXPECT_EQ(tree->index(1, 0, tree->index(0, 0)).data().toString(), QStringLiteral("Petr"));
        EXPECT_TRUE(station.window->tree()->isExpanded(tree->index(0, 0)));
        EXPECT_FALSE(station.window->tree()->isExpanded(tree->index(1, 0)));
        EXPECT_FALSE(tree->index(0, 0).data(Qt::DecorationRole).isNull());
        EXPECT_EQ(station.window->windowTitle(), QStringLiteral("Veltrin [PC7]"));

        // Both message pages name the file that really keeps their messages.
        const QString storeFile = QStringLiteral("  Soubor: ") + station.dm->store().fileName();
        ASSERT_TRUE(storeFile.endsWith(QStringLiteral("/veltrin/messages.db")));
        EXPECT_EQ(station.window->statusPanel(0)->text(), QStringLiteral("  Přijaté zprávy"));
        EXPECT_EQ(station.window->statusPanel(1)->text(), storeFile);
        station.window->pages()->setCurrentIndex(2);
        EXPECT_EQ(station.window->statusPanel(0)->text(), QStringLiteral("  Odchozí zprávy"));
        EXPECT_EQ(station.window->statusPanel(1)->text(),
                  QStringLiteral("  Zprávy čekající na odeslání."));
        station.window->pages()->setCurrentIndex(1);
        EXPECT_EQ(station.window->statusPanel(1)->text(), storeFile);

        // Selecting rows in the tree: Ctrl+click adds, so both stay selected.
        QTreeView *view = station.window->tree();
        const QModelIndex jana = tree->index(0, 0, tree->index(0, 0));
        const QModelIndex petr = tree->index(1, 0, tree->index(0, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(jana).center());
        QTest::mouseClick(view->viewport(),
                          Qt::LeftButton,
                          Qt::ControlModifier,
                          view->visualRect(petr).center());
        EXPECT_EQ(view->selectionModel()->selectedIndexes().size(), 2);
    });
}

namespace {

// Runs action on the next modal dialog of type Dialog once it is open.
template<typename Dialog>
void WhenOpen(const std::function<void(Dialog *)> &action)
{
    auto *poll = new QTimer(qApp);
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
        auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        action(dialog);
    });
    poll->start();
}

const QByteArray kBook = "G\r\nV\x9A"
                         "ichni\r\nV\x9A"
                         "ichni\r\nG\r\nObchod\r\nObchod\r\n"
                         "0\r\nJana\r\n127.0.0.1\r\n0\r\nPetr\r\n10.0.0.9\r\n"
                         "Obchod\r\nJana\r\n127.0.0.1\r\n";

} // namespace

TEST(MessageCommands, FromTheTreeThroughTheComposeDialogToAConfirmedRow)
{
    RUN_WINDOW_TEST([] {
        RawPeer peer;
        Station station(
                "[TCPIP]\r\nPORT=40000\r\nIDENT=Recepce\r\n", TfMain::Tray::Available, kBook);
        QTreeView *tree = station.window->tree();
        const QAbstractItemModel *model = tree->model();
        // Jana under the group of all recipients and again under Obchod: listed once.
        const QModelIndex jana = model->index(0, 0, model->index(0, 0));
        tree->expand(model->index(1, 0));
        const QModelIndex janaInObchod = model->index(0, 0, model->index(1, 0));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(jana).center());
        QTest::mouseClick(tree->viewport(),
                          Qt::LeftButton,
                          Qt::ControlModifier,
                          tree->visualRect(janaInObchod).center());
        ASSERT_EQ(station.window->selectedRecipients().size(), 1u);

        int listed = -1;
        WhenOpen<TfSend>([&](TfSend *dialog) {
            listed = dialog->recipientList()->rowCount();
            QTest::keyClicks(dialog->body(), QStringLiteral("Ahoj <Jano>"));
            QTest::mouseClick(dialog->sendButton(), Qt::LeftButton);
        });
        QTest::keyClick(tree, Qt::Key_Return); // Enter in the tree writes a new message
        EXPECT_EQ(listed, 1);
        ASSERT_EQ(station.dm->outboundQueue().size(), 1u);

        station.dm->timTimer();
        EXPECT_EQ(peer.take(2000), std::vector<QByteArray>{"=PC7~1|Recepce|Ahoj /Jano/"});
        peer.sendTo("#PC7~1");
        const QAbstractItemModel *sent = station.window->sentGrid()->model();
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return sent->index(0, HistoryTable::ColumnLFLAG).data().toString()
                   == QStringLiteral("Odeslaná");
        }));
        EXPECT_EQ(sent->index(0, HistoryTable::ColumnFROM).data().toString(),
                  QStringLiteral("Jana <127.0.0.1>"));
        // The row changes with the confirmation, the queue when its notification is handled.
        EXPECT_TRUE(QTest::qWaitFor([&] { return station.queueRows() == 0; }));
    });
}

TEST(MessageCommands, WithNothingSelectedNoDialogOpens)
{
    RUN_WINDOW_TEST([] {
        Station station("[TCPIP]\r\nPORT=40000\r\n", TfMain::Tray::Available, kBook);
        BoxAnswerer cancel(QMessageBox::Cancel);
        station.window->writeNewMessage();
        EXPECT_EQ(cancel.questions,
                  std::vector<QString>{QStringLiteral("Musíte vybrat alespoň jednoho příjemce.")});
        EXPECT_TRUE(station.dm->outboundQueue().empty());
    });
}

TEST(MessageCommands, ReplyAndSendAgainFillTheDialogFromTheCurrentRow)
{
    RUN_WINDOW_TEST([] {
        RawPeer peer;
        Station station;
        peer.sendTo("=PC9~1|Sklad|Dotaz");
        ASSERT_EQ(peer.takeCount(1).size(), 1u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.dm->tIn().rowCount() == 1; }));

        QString replyRecipient;
        QString replyText = QStringLiteral("(not opened)");
        WhenOpen<TfSend>([&](TfSend *dialog) {
            ASSERT_EQ(dialog->recipientList()->rowCount(), 1);
            for (int column = 0; column < dialog->recipientList()->columnCount(); ++column) {
                if (QTableWidgetItem *item = dialog->recipientList()->item(0, column))
                    replyRecipient += item->text() + QLatin1Char('|');
            }
            replyText = dialog->body()->shownText();
            dialog->reject();
        });
        station.window->replyOrSendAgain();
        EXPECT_TRUE(replyRecipient.contains(QStringLiteral("Sklad")))
                << replyRecipient.toStdString();
        EXPECT_TRUE(replyText.isEmpty());

        station.dm->QueueMessage("Eva", "127.0.0.1", "Puvodni text");
        station.window->pages()->setCurrentIndex(1);
        QString resendText;
        WhenOpen<TfSend>([&](TfSend *dialog) {
            resendText = dialog->body()->shownText();
            dialog->reject();
        });
        station.window->replyOrSendAgain();
        EXPECT_EQ(resendText, QStringLiteral("Puvodni text"));
    });
}

TEST(MessageCommands, DeleteAsksAndEnterMarksRead)
{
    RUN_WINDOW_TEST([] {
        RawPeer peer;
        Station station;
        peer.sendTo("=PC9~1|Sklad|Dotaz");
        ASSERT_EQ(peer.takeCount(1).size(), 1u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.dm->tIn().rowCount() == 1; }));

        HistoryGrid *grid = station.window->receivedGrid();
        grid->setFocus();
        QTest::keyClick(grid, Qt::Key_Return);
        EXPECT_EQ(station.dm->tIn().row(0).FLAG, HistoryFlag::Read);
        {
            BoxAnswerer cancel(QMessageBox::Cancel);
            QTest::keyClick(grid, Qt::Key_Delete);
            EXPECT_EQ(cancel.questions,
                      std::vector<QString>{
                              QStringLiteral("Opravdu chcete vymazat příchozí zprávu?")});
            EXPECT_EQ(station.dm->tIn().rowCount(), 1);
        }
        {
            BoxAnswerer ok(QMessageBox::Ok);
            QTest::keyClick(grid, Qt::Key_Delete);
            EXPECT_EQ(station.dm->tIn().rowCount(), 0);
            QTest::keyClick(grid, Qt::Key_Delete); // an empty history asks nothing
            station.window->pages()->setCurrentIndex(2);
            station.window->deleteCurrentMessage(); // nor does the queue page
            EXPECT_EQ(ok.questions.size(), 1u);
        }
    });
}

TEST(TreeCommands, CollapsingAGroupDeselectsTheRecipientsItHides)
{
    RUN_WINDOW_TEST([] {
        Station station("[TCPIP]\r\nPORT=40000\r\n", TfMain::Tray::Available, kBook);
        QTreeView *tree = station.window->tree();
        const QAbstractItemModel *model = tree->model();
        const QModelIndex all = model->index(0, 0);
        const QModelIndex obchod = model->index(1, 0);
        tree->expand(obchod);
        const QModelIndex jana = model->index(0, 0, all);
        const QModelIndex janaInObchod = model->index(0, 0, obchod);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(jana).center());
        QTest::mouseClick(tree->viewport(),
                          Qt::LeftButton,
                          Qt::ControlModifier,
                          tree->visualRect(janaInObchod).center());
        ASSERT_EQ(station.window->selectedRecipients().size(), 1u);

        tree->setFocus();
        // Left on the group collapses it, as the user does.
        tree->selectionModel()->setCurrentIndex(obchod, QItemSelectionModel::NoUpdate);
        QTest::keyClick(tree, Qt::Key_Left);
        ASSERT_FALSE(tree->isExpanded(obchod));
        EXPECT_FALSE(tree->selectionModel()->isSelected(janaInObchod));
        EXPECT_EQ(station.window->selectedRecipients().size(), 1u) << "Jana in Všichni stays";

        tree->collapse(all);
        EXPECT_FALSE(tree->selectionModel()->isSelected(jana));
        ASSERT_TRUE(station.window->selectedRecipients().empty());
        BoxAnswerer cancel(QMessageBox::Cancel);
        station.window->writeNewMessage();
        EXPECT_EQ(cancel.questions,
                  std::vector<QString>{QStringLiteral("Musíte vybrat alespoň jednoho příjemce.")});
    });
}

TEST(MainWindow, TheStateColumnShowsEveryLabelWhole)
{
    RUN_WINDOW_TEST([] {
        Station station;
        for (HistoryGrid *grid : {station.window->receivedGrid(), station.window->sentGrid()}) {
            // What the style leaves for a cell's text: the column less the grid line and a
            // margin on either side.
            const int margin
                    = grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1;
            const int room = grid->columnWidth(HistoryTable::ColumnLFLAG) - 1 - 2 * margin;
            for (const char *label : {"Nová", "Odeslaná", "OK", "Chyba!", "Přečtená"}) {
                EXPECT_GE(room, grid->fontMetrics().horizontalAdvance(QString::fromUtf8(label)))
                        << label;
            }
        }
    });
}

TEST(MainWindow, ToolbarHintsWaitAQuarterSecond)
{
    RUN_WINDOW_TEST([] {
        Station station;
        const QList<QToolButton *> buttons
                = station.window->toolBar()->findChildren<QToolButton *>();
        ASSERT_FALSE(buttons.isEmpty());
        for (QToolButton *button : buttons) {
            // Qt asks the style of the widget under the pointer.
            EXPECT_EQ(button->style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay, nullptr, button),
                      250);
        }
        // A second window, as a test or a restart makes, keeps the one style.
        const QStyle *style = QApplication::style();
        Station again("[TCPIP]\r\nPORT=40001\r\n");
        EXPECT_EQ(QApplication::style(), style);
    });
}

TEST(MainWindow, TheMenusAndTheToolbarShareOneActionPerCommand)
{
    RUN_WINDOW_TEST([] {
        Station station;
        QList<QAction *> menuItems;
        for (QAction *menuAction : station.window->menuBar()->actions())
            menuItems << menuAction->menu()->actions();
        QToolBar *tool = station.window->toolBar();
        QStringList toolOnly;
        for (QAction *action : tool->actions()) {
            if (action->isSeparator())
                continue;
            if (!menuItems.contains(action))
                toolOnly << tool->widgetForAction(action)->toolTip();
            // The images belong to the toolbar; the menus show the texts alone.
            EXPECT_FALSE(action->isIconVisibleInMenu()) << action->text().toStdString();
        }
        EXPECT_EQ(toolOnly, Strings({"Členství ve skupinách"}));

        // A command switched off is off in the menu and on the toolbar alike, and a change of the
        // action gives the hintless buttons no hint.
        QAction *help = menuItems.value(menuItems.size() - 2);
        ASSERT_EQ(help->text(), QStringLiteral("&Nápověda"));
        QWidget *helpButton = tool->widgetForAction(help);
        ASSERT_TRUE(helpButton);
        help->setEnabled(false);
        EXPECT_FALSE(helpButton->isEnabled());
        help->setEnabled(true);
        EXPECT_TRUE(helpButton->isEnabled());
        EXPECT_EQ(helpButton->toolTip(), QString());
    });
}

TEST(MainWindow, MenusHaveAltKeysAndEveryToolButtonAName)
{
    RUN_WINDOW_TEST([] {
        Station station;
        QMenuBar *bar = station.window->menuBar();
        QStringList titles;
        for (QAction *menuAction : bar->actions()) {
            titles << menuAction->text();
            QList<QKeySequence> keys;
            for (QAction *item : menuAction->menu()->actions()) {
                if (item->isSeparator())
                    continue;
                const QKeySequence key = QKeySequence::mnemonic(item->text());
                EXPECT_FALSE(key.isEmpty()) << item->text().toStdString();
                EXPECT_FALSE(keys.contains(key)) << item->text().toStdString();
                keys << key;
            }
        }
        EXPECT_EQ(titles, Strings({"&Seznam", "&Zprávy", "&Pomoc"}));
        // The marks show only once the keyboard works the menus: the texts read as before.
        EXPECT_EQ(bar->style()->styleHint(QStyle::SH_UnderlineShortcut, nullptr, bar), 0);

        QTest::keyClick(station.window.get(), Qt::Key_S, Qt::AltModifier);
        ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }));
        EXPECT_EQ(QApplication::activePopupWidget(), bar->actions().value(0)->menu());
        QApplication::activePopupWidget()->close();

        for (QAction *action : station.window->toolBar()->actions()) {
            if (action->isSeparator())
                continue;
            QWidget *button = station.window->toolBar()->widgetForAction(action);
            QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(button);
            ASSERT_TRUE(accessible);
            EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty())
                    << action->toolTip().toStdString();
        }
    });
}

TEST(TreeCommands, ShiftInsertAsksForAGroupAndInsertForARecipient)
{
    RUN_WINDOW_TEST([] {
        Station station("[TCPIP]\r\nPORT=40000\r\n", TfMain::Tray::Available, kBook);
        QTreeView *tree = station.window->tree();
        tree->setFocus();
        bool groupAsked = false;
        WhenOpen<TfGroup>([&](TfGroup *dialog) {
            groupAsked = true;
            dialog->reject();
        });
        QTest::keyClick(tree, Qt::Key_Insert, Qt::ShiftModifier);
        EXPECT_TRUE(groupAsked);
        bool recipientAsked = false;
        WhenOpen<TfUser>([&](TfUser *dialog) {
            recipientAsked = true;
            dialog->reject();
        });
        QTest::keyClick(tree, Qt::Key_Insert);
        EXPECT_TRUE(recipientAsked);
        // Nothing was changed, so nothing was written.
        QFile book(QStringLiteral("recpt.dat"));
        ASSERT_TRUE(book.open(QIODevice::ReadOnly));
        EXPECT_EQ(book.readAll(), kBook);
    });
}
