#include "platform/ui/helpviewer.h"
#include "platform/ui/offscreenapplication.h"

#include "resources/stationimages.h"

#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <optional>

namespace {

const QString kHelpFile = QStringLiteral(VELTRIN_HELP_FILE);
const int kTopics[] = {1, 10, 20, 30, 40, 50, 101, 102, 103, 104};

// The document position of the block holding the anchor, if the document has that anchor.
std::optional<qreal> AnchorTop(const QTextBrowser *browser, const QString &name)
{
    const QTextDocument *document = browser->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().anchorNames().contains(name))
                return document->documentLayout()->blockBoundingRect(block).top();
        }
    }
    return std::nullopt;
}

HelpViewer *VisibleHelpViewer()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto viewer = qobject_cast<HelpViewer *>(widget); viewer && viewer->isVisible())
            return viewer;
    }
    return nullptr;
}

class HelpTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureOffscreenApplication("platform_ui_tests"); }

    void TearDown() override
    {
        // Each test starts without a help window, as a freshly started station does.
        delete CurrentHelpViewer();
    }
};

using HelpViewerTest = HelpTest;
using HelpKeyFilterTest = HelpTest;
using StationImagesTest = HelpTest;

TEST_F(HelpViewerTest, HelpFileHasAnAnchorForEveryTopic)
{
    HelpViewer viewer;
    viewer.showTopic(kHelpFile, 1);
    ASSERT_TRUE(viewer.fileLoaded()) << kHelpFile.toStdString();
    for (int topic : kTopics)
        EXPECT_TRUE(AnchorTop(viewer.browser(), QString::number(topic))) << topic;
}

TEST_F(HelpViewerTest, HelpFileIsReadAsUtf8)
{
    HelpViewer viewer;
    viewer.showTopic(kHelpFile, 1);
    EXPECT_TRUE(viewer.browser()->toPlainText().contains(QStringLiteral("Přijaté zprávy")));
}

// Where the topic's heading is seen in the window, in pixels from the top of the view.
qreal HeadingOnScreen(const QTextBrowser *browser, int topic)
{
    const std::optional<qreal> anchorTop = AnchorTop(browser, QString::number(topic));
    return anchorTop ? *anchorTop - browser->verticalScrollBar()->value() : -1;
}

TEST_F(HelpViewerTest, TopicIsShownAtTheTopOfTheWindow)
{
    ShowHelpTopic(kHelpFile, 1);
    HelpViewer *viewer = CurrentHelpViewer();
    ASSERT_TRUE(viewer);
    QTextBrowser *browser = viewer->browser();
    QScrollBar *scrollBar = browser->verticalScrollBar();
    const int atFirst = scrollBar->value();
    EXPECT_GE(HeadingOnScreen(browser, 1), 0) << "only the document's margin lies above it";

    ShowHelpTopic(kHelpFile, 50);
    QCoreApplication::processEvents();
    ASSERT_EQ(CurrentHelpViewer(), viewer) << "the window is reused";
    EXPECT_GT(scrollBar->value(), atFirst);
    EXPECT_LT(scrollBar->value(), scrollBar->maximum()) << "topic 50 needs enough text below it";
    EXPECT_EQ(HeadingOnScreen(browser, 50), 0);

    ShowHelpTopic(kHelpFile, 102);
    QCoreApplication::processEvents();
    EXPECT_EQ(viewer->topic(), 102);
    EXPECT_GT(scrollBar->value(), atFirst);
    const qreal onScreen = HeadingOnScreen(browser, 102);
    EXPECT_GE(onScreen, 0);
    EXPECT_LT(onScreen, browser->viewport()->height() / 2);
    // The heading reaches the very top unless the end of the document stops the scrolling.
    if (scrollBar->value() < scrollBar->maximum()) {
        EXPECT_EQ(onScreen, 0);
    }
    const QPoint headingPoint(8, int(onScreen) + 4);
    EXPECT_EQ(browser->cursorForPosition(headingPoint).block().text(),
              QStringLiteral("Nová zpráva"));
}

TEST_F(HelpViewerTest, WindowIsShownAndActive)
{
    ShowHelpTopic(kHelpFile, 10);
    HelpViewer *viewer = CurrentHelpViewer();
    ASSERT_TRUE(viewer);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_TRUE(QTest::qWaitForWindowActive(viewer));
}

// Whether a modal window blocks the help window, as Qt tells each window it blocks or frees.
class BlockWatch : public QObject
{
public:
    BlockWatch() { qApp->installEventFilter(this); }
    ~BlockWatch() override { qApp->removeEventFilter(this); }

    bool blocked() const { return m_blocked; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (qobject_cast<HelpViewer *>(watched)) {
            if (event->type() == QEvent::WindowBlocked)
                m_blocked = true;
            else if (event->type() == QEvent::WindowUnblocked)
                m_blocked = false;
        }
        return false;
    }

private:
    bool m_blocked = false;
};

TEST_F(HelpViewerTest, HelpAskedForInAModalDialogIsUsableAboveItAndStaysWhenItCloses)
{
    BlockWatch watch;
    QWidget window;
    window.show();
    QDialog dialog(&window);
    dialog.setModal(true);
    auto *field = new QLineEdit(&dialog);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    field->setFocus();
    HelpKeyFilter filter(kHelpFile);
    qApp->installEventFilter(&filter);
    QTest::keyClick(field, Qt::Key_F1);
    qApp->removeEventFilter(&filter);

    HelpViewer *viewer = CurrentHelpViewer();
    ASSERT_TRUE(viewer);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_FALSE(watch.blocked()) << "the dialog blocks the help window";
    EXPECT_TRUE(QTest::qWaitForWindowActive(viewer));

    dialog.hide();
    ASSERT_EQ(CurrentHelpViewer(), viewer);
    EXPECT_TRUE(viewer->isVisible()) << "the help went away with the dialog";
    EXPECT_FALSE(watch.blocked());
}

TEST_F(HelpViewerTest, MissingFileIsReportedInTheWindow)
{
    const QString missing = QStringLiteral("/nonexistent/VELTRIN.HLP");
    ShowHelpTopic(missing, 20);
    HelpViewer *viewer = CurrentHelpViewer();
    ASSERT_TRUE(viewer);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_FALSE(viewer->fileLoaded());
    EXPECT_EQ(viewer->browser()->toPlainText(),
              QStringLiteral("Soubor nápovědy /nonexistent/VELTRIN.HLP nebyl nalezen."));

    ShowHelpTopic(kHelpFile, 20);
    EXPECT_TRUE(viewer->fileLoaded()) << "the file is looked for again on the next request";
}

TEST_F(HelpViewerTest, ClosedWindowIsCreatedAgain)
{
    ShowHelpTopic(kHelpFile, 30);
    ASSERT_TRUE(CurrentHelpViewer());
    CurrentHelpViewer()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(CurrentHelpViewer());

    ShowHelpTopic(kHelpFile, 40);
    ASSERT_TRUE(CurrentHelpViewer());
    EXPECT_TRUE(CurrentHelpViewer()->isVisible());
    EXPECT_EQ(CurrentHelpViewer()->topic(), 40);
}

TEST(HelpTopicOf, ClimbsToTheNearestParentWithATopic)
{
    EnsureOffscreenApplication("platform_ui_tests");
    QWidget window;
    auto page = new QWidget(&window);
    auto inner = new QWidget(page);
    auto field = new QLineEdit(inner);
    window.setProperty(kHelpContextProperty, 1);
    page->setProperty(kHelpContextProperty, 20);

    EXPECT_EQ(HelpTopicOf(field), 20);
    EXPECT_EQ(HelpTopicOf(inner), 20);
    EXPECT_EQ(HelpTopicOf(page), 20);
    EXPECT_EQ(HelpTopicOf(&window), 1);

    field->setProperty(kHelpContextProperty, 102);
    EXPECT_EQ(HelpTopicOf(field), 102);
}

TEST(HelpTopicOf, IsZeroWithoutAnyTopic)
{
    EnsureOffscreenApplication("platform_ui_tests");
    QWidget window;
    auto field = new QLineEdit(&window);
    EXPECT_EQ(HelpTopicOf(field), 0);
    EXPECT_EQ(HelpTopicOf(nullptr), 0);
}

// A window as the station builds one: a topic on the window, a narrower one on a part of
// it, and a focused field in that part.
struct DialogWithField
{
    DialogWithField()
    {
        window.setProperty(kHelpContextProperty, 1);
        auto part = new QWidget(&window);
        part->setProperty(kHelpContextProperty, 103);
        field = new QLineEdit(part);
        auto partLayout = new QVBoxLayout(part);
        partLayout->addWidget(field);
        auto layout = new QVBoxLayout(&window);
        layout->addWidget(part);
    }

    bool showWithFocus()
    {
        window.show();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        field->setFocus();
        return QApplication::focusWidget() == field;
    }

    QWidget window;
    QLineEdit *field = nullptr;
};

TEST_F(HelpKeyFilterTest, F1OpensTheTopicOfTheFocusedWidget)
{
    HelpKeyFilter filter(kHelpFile);
    qApp->installEventFilter(&filter);
    DialogWithField dialog;
    ASSERT_TRUE(dialog.showWithFocus());

    QTest::keyClick(dialog.field, Qt::Key_F1);
    qApp->removeEventFilter(&filter);

    HelpViewer *viewer = VisibleHelpViewer();
    ASSERT_TRUE(viewer);
    EXPECT_EQ(viewer->topic(), 103);
    EXPECT_EQ(viewer->helpFile(), kHelpFile);
    EXPECT_TRUE(viewer->fileLoaded());
    EXPECT_GT(viewer->browser()->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(dialog.field->text().isEmpty());
}

TEST_F(HelpKeyFilterTest, F1WinsOverAWindowShortcut)
{
    HelpKeyFilter filter(kHelpFile);
    qApp->installEventFilter(&filter);
    DialogWithField dialog;
    int triggered = 0;
    auto action = new QAction(&dialog.window);
    action->setShortcut(Qt::Key_F1);
    dialog.window.addAction(action);
    QObject::connect(action, &QAction::triggered, action, [&triggered] { ++triggered; });
    ASSERT_TRUE(dialog.showWithFocus());

    QTest::keyClick(dialog.field, Qt::Key_F1);
    qApp->removeEventFilter(&filter);

    EXPECT_EQ(triggered, 0);
    ASSERT_TRUE(VisibleHelpViewer());
    EXPECT_EQ(VisibleHelpViewer()->topic(), 103);
}

TEST_F(HelpKeyFilterTest, OtherKeysPassThrough)
{
    HelpKeyFilter filter(kHelpFile);
    qApp->installEventFilter(&filter);
    DialogWithField dialog;
    ASSERT_TRUE(dialog.showWithFocus());

    QTest::keyClick(dialog.field, Qt::Key_A);
    QTest::keyClick(dialog.field, Qt::Key_F2);
    qApp->removeEventFilter(&filter);

    EXPECT_EQ(dialog.field->text(), QStringLiteral("a"));
    EXPECT_FALSE(VisibleHelpViewer());
}

TEST_F(HelpKeyFilterTest, F1InTheHelpWindowKeepsTheTopic)
{
    HelpKeyFilter filter(kHelpFile);
    qApp->installEventFilter(&filter);
    ShowHelpTopic(kHelpFile, 50);
    HelpViewer *viewer = CurrentHelpViewer();
    ASSERT_TRUE(viewer);
    ASSERT_TRUE(QTest::qWaitForWindowActive(viewer));
    viewer->browser()->setFocus();
    const int scrolled = viewer->browser()->verticalScrollBar()->value();

    QTest::keyClick(viewer->browser(), Qt::Key_F1);
    qApp->removeEventFilter(&filter);

    EXPECT_EQ(viewer->topic(), 50);
    EXPECT_EQ(viewer->browser()->verticalScrollBar()->value(), scrolled);
}

bool HasVisiblePixels(const QIcon &icon, int size)
{
    const QImage image = icon.pixmap(size).toImage();
    if (image.isNull())
        return false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) > 0)
                return true;
        }
    }
    return false;
}

TEST_F(StationImagesTest, EveryImageDrawsAtSixteenPixels)
{
    for (int index = 0; index < StationImages::Count; ++index) {
        const QIcon icon = StationImage(index);
        EXPECT_FALSE(icon.isNull()) << index;
        EXPECT_TRUE(HasVisiblePixels(icon, 16)) << index;
        // A disabled toolbar button shows the style's greyed image, not the normal one.
        EXPECT_NE(icon.pixmap(16, QIcon::Disabled).toImage(), icon.pixmap(16).toImage()) << index;
        EXPECT_EQ(icon.pixmap(32).size(), QSize(32, 32)) << index;
    }
}

TEST_F(StationImagesTest, ProgramIconDrawsAtEverySize)
{
    const QIcon icon = ProgramIcon();
    const QList<QSize> sizes = icon.availableSizes();
    EXPECT_EQ(sizes.size(), 7);
    for (const QSize &size : sizes) {
        EXPECT_TRUE(HasVisiblePixels(icon, size.width())) << size.width();
        EXPECT_EQ(icon.pixmap(size).size(), size) << size.width();
    }
    // An icon whose every picture has been drawn is still an icon: toolbar buttons and menus
    // show text only for a null one.
    EXPECT_FALSE(icon.isNull());
}

TEST_F(StationImagesTest, IndexOutOfRangeGivesNoImage)
{
    EXPECT_TRUE(StationImage(-1).isNull());
    EXPECT_TRUE(StationImage(StationImages::Count).isNull());
}

} // namespace
