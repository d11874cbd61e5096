// The station on a desktop of the test's own: a private session bus with a tray watcher and a
// notification service standing in for the desktop's, and an X display where the tray needs
// one. Each test runs in a network namespace of its own.

#include "addressbook/addressbook.h"
#include "core/history.h"
#include "core/udm.h"
#include "support/desktopsession.h"
#include "support/rawpeer.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"
#include "support/widgettest.h"
#include "ui/desktopnotifier.h"
#include "ui/dialogs/fmSend.h"
#include "ui/fmMain.h"
#include "ui/historygrid.h"
#include "ui/stationtray.h"
#include "ui/traywatcher.h"

#include <QApplication>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

#include <X11/Xlib.h>

namespace {

// A window over a core on the test port with its tray, wired as the station's start wires them.
// The window stays where it is when a message comes, so that only the notification can bring
// it up.
const QByteArray kNoMaximize = "[ALERT]\r\nMAXIMIZE=0\r\n";

struct DesktopStation
{
    explicit DesktopStation(const QByteArray &alert = {})
    {
        UseSettings("[TCPIP]\r\nPORT=40000\r\nIDENT=Recepce\r\n" + alert);
        EXPECT_TRUE(directory.isValid());
        QDir::setCurrent(directory.path());
        dm = MakeTestStation(boxes);
        tray = std::make_unique<StationTray>();
        window = std::make_unique<TfMain>(*dm, tray->icon(), tray->mode());
        tray->follow(*window);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    ~DesktopStation()
    {
        window.reset();
        tray.reset();
        dm.reset();
    }

    QTemporaryDir directory;
    RecordingBoxes boxes;
    std::unique_ptr<Tdm> dm;
    std::unique_ptr<StationTray> tray;
    std::unique_ptr<TfMain> window;
};

bool Shown(const TfMain &window)
{
    return window.isVisible() && !window.isMinimized();
}

// A click on the item, and then the item's answer: the item answers only once the station has
// handled the click, so whatever the click does has been done when this returns.
void ActivateAndWaitForTheAnswer(StatusNotifierWatcherStandIn &watcher, const QString &item)
{
    const QDBusPendingCall answer = watcher.activate(item);
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.isFinished(); }, 10000))
            << "the item never answered the click";
    ASSERT_FALSE(answer.isError()) << answer.error().message().toStdString();
}

} // namespace

TEST(DesktopTray, AClickOnTheStatusNotifierItemBringsTheHiddenWindowBack)
{
    RUN_DESKTOP_TEST(DesktopDisplay::X11, [] {
        StatusNotifierWatcherStandIn watcher;
        ASSERT_TRUE(watcher.start());
        DesktopStation station;
        EXPECT_EQ(station.tray->mode(), TfMain::Tray::Available);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.registeredItems().isEmpty(); }, 10000))
                << "the icon never registered with the watcher";

        station.window->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !station.window->isVisible(); }));
        watcher.activate(watcher.registeredItems().first());
        EXPECT_TRUE(QTest::qWaitFor([&] { return Shown(*station.window); }, 10000));
        // A second click finds the window up and leaves it so.
        ASSERT_NO_FATAL_FAILURE(
                ActivateAndWaitForTheAnswer(watcher, watcher.registeredItems().first()));
        EXPECT_TRUE(Shown(*station.window));
    });
}

TEST(DesktopTray, ATrayThatAppearsAfterTheStationIsUsedFromThenOn)
{
    RUN_DESKTOP_TEST(DesktopDisplay::X11, [] {
        DesktopStation station;
        ASSERT_EQ(station.tray->mode(), TfMain::Tray::Unavailable);
        // Without a tray the close box minimises: a hidden window could not be reached.
        station.window->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.window->isMinimized(); }));
        EXPECT_TRUE(station.window->isVisible());
        station.window->showNormal();

        StatusNotifierWatcherStandIn watcher; // the panel comes up
        ASSERT_TRUE(watcher.start());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.registeredItems().isEmpty(); }, 10000))
                << "the icon never came to the tray that appeared";
        EXPECT_EQ(station.tray->mode(), TfMain::Tray::Available);

        station.window->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !station.window->isVisible(); }));
        watcher.activate(watcher.registeredItems().first());
        EXPECT_TRUE(QTest::qWaitFor([&] { return Shown(*station.window); }, 10000));
    });
}

TEST(DesktopTray, AClassicTrayThatAppearsAfterTheStationIsUsedToo)
{
    RUN_DESKTOP_TEST(DesktopDisplay::X11, [] {
        DesktopStation station;
        ASSERT_EQ(station.tray->mode(), TfMain::Tray::Unavailable);

        // The XEmbed tray manager of a panel that comes up: the owner of the screen's selection.
        Display *panel = XOpenDisplay(nullptr);
        ASSERT_NE(panel, nullptr);
        const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(panel));
        const Window manager
                = XCreateSimpleWindow(panel, DefaultRootWindow(panel), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(
                panel, XInternAtom(panel, name.constData(), False), manager, CurrentTime);
        XFlush(panel);

        EXPECT_TRUE(QTest::qWaitFor([&] { return station.tray->mode() == TfMain::Tray::Available; },
                                    3 * TrayWatcher::kRecheckMs));
        ASSERT_NE(station.tray->icon(), nullptr);
        station.window->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !station.window->isVisible(); }));
        XCloseDisplay(panel);
    });
}

TEST(DesktopNotification, AMessageWhileTheWindowIsAwayIsNotifiedOnceAndItsActionShowsIt)
{
    RUN_DESKTOP_TEST(DesktopDisplay::Offscreen, [] {
        RecordingNotifications service;
        ASSERT_TRUE(service.start());
        RawPeer peer;
        DesktopStation station(kNoMaximize);
        station.window->hide(); // as from the tray's menu or the close box with a tray
        ASSERT_TRUE(QTest::qWaitFor([&] { return !station.window->isActiveWindow(); }));

        peer.sendTo("=PC9~1|Sklad|Dobr\xFD den");
        ASSERT_TRUE(QTest::qWaitFor([&] { return service.notifications().size() == 1; }));
        const RecordingNotifications::Notification first = service.notifications()[0];
        EXPECT_EQ(first.summary, QStringLiteral("Nová zpráva od Sklad"));
        EXPECT_EQ(first.body, QStringLiteral("Dobrý den"));
        EXPECT_EQ(first.replacesId, 0u);
        EXPECT_EQ(first.appIcon, QStringLiteral("veltrin"));
        EXPECT_EQ(first.hints.value(QStringLiteral("desktop-entry")).toString(),
                  QString::fromLatin1(DesktopNotifier::kDesktopEntry));
        EXPECT_TRUE(first.actions.contains(QStringLiteral("default")));

        // A burst updates the one notification; the body is cut short.
        const QByteArray longText(300, 'x');
        peer.sendTo("=PC9~2|Sklad|druha");
        peer.sendTo("=PC9~3|Sklad|" + longText);
        ASSERT_TRUE(QTest::qWaitFor(
                [&] { return service.notifications().back().body.startsWith(QLatin1Char('x')); }));
        const auto burst = service.notifications();
        for (std::size_t i = 1; i < burst.size(); ++i)
            EXPECT_EQ(burst[i].replacesId, first.id) << "stacked, not replaced";
        EXPECT_LT(burst.back().body.size(), longText.size());

        // The user picks it while another message is current and the sent page is up.
        HistoryTable &received = station.dm->tIn();
        ASSERT_EQ(received.count(), 3);
        received.moveCursor(2);
        station.window->pages()->setCurrentIndex(1);
        EXPECT_FALSE(station.window->isVisible());
        service.invokeAction(first.id, QStringLiteral("default"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return Shown(*station.window); }));
        EXPECT_EQ(station.window->pages()->currentIndex(), 0);
        EXPECT_EQ(received.currentRow().MSG, longText);
    });
}

TEST(DesktopNotification, WithoutANotificationServiceNothingIsShownOrSaid)
{
    RUN_DESKTOP_TEST(DesktopDisplay::Offscreen, [] {
        static QStringList said;
        qInstallMessageHandler(
                [](QtMsgType, const QMessageLogContext &, const QString &text) { said << text; });
        RawPeer peer;
        DesktopStation station(kNoMaximize);
        station.window->hide();
        peer.sendTo("=PC9~1|Sklad|Ahoj");
        ASSERT_TRUE(QTest::qWaitFor([&] { return station.dm->tIn().count() == 1; }));
        // Long enough for an answer from the bus to have come back.
        RecordingNotifications late;
        ASSERT_TRUE(late.start());
        peer.sendTo("=PC9~2|Sklad|Ahoj");
        ASSERT_TRUE(QTest::qWaitFor([&] { return late.notifications().size() == 1; }));
        qInstallMessageHandler(nullptr);
        EXPECT_TRUE(said.isEmpty()) << said.join(u'\n').toStdString();
    });
}

TEST(DesktopWayland, AWrittenMessageIsConfirmedAndAnArrivingOneBringsTheWindowBack)
{
    RUN_DESKTOP_TEST(DesktopDisplay::Wayland, [] {
        RawPeer peer;
        DesktopStation station;
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("wayland"));

        ModalDriver<TfSend> driver([](TfSend &dialog) {
            QTest::keyClicks(dialog.body(), QStringLiteral("Ahoj z Waylandu"));
            QTest::mouseClick(dialog.sendButton(), Qt::LeftButton);
        });
        const std::vector<std::shared_ptr<TRecipient>> recipients{
                std::make_shared<TRecipient>(TRecipient{"Sklad", "127.0.0.1"})};
        EXPECT_TRUE(ComposeMessage(*station.dm, recipients, {}, station.window.get()));
        ASSERT_TRUE(driver.driven());
        EXPECT_FALSE(driver.timedOut());
        station.dm->timTimer(); // the first attempt
        const std::vector<QByteArray> sent = peer.takeCount(1);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], QByteArray("=PC7~1|Recepce|Ahoj z Waylandu"));
        peer.sendTo("#PC7~1");
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return station.window->sentGrid()->model()->index(0, HistoryTable::ColumnLFLAG).data()
                   == QStringLiteral("Odeslaná");
        }));

        // A compositor does not let a program raise its window; showing it is still allowed.
        station.window->hide();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !station.window->isVisible(); }));
        peer.sendTo("=PC9~1|Sklad|Jsi tam?");
        EXPECT_EQ(peer.takeCount(1), std::vector<QByteArray>{"#PC9~1"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return Shown(*station.window); }));
        EXPECT_TRUE(QTest::qWaitForWindowExposed(station.window.get()));
    });
}
