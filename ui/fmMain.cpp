#include "fmMain.h"
#include "archivewindow.h"
#include "desktopnotifier.h"
#include "historygrid.h"
#include "paintpacer.h"
#include "statuslogwriter.h"
#include "ui/dialogs/fmAbout.h"
#include "ui/dialogs/fmSend.h"
#include "ui/dialogs/fmSet.h"

#include "addressbook/addressbook.h"
#include "core/history.h"
#include "core/settings.h"
#include "platform/codepage.h"
#include "platform/ui/columnheader.h"
#include "platform/ui/helpviewer.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/sound.h"
#include "platform/ui/widgetlook.h"
#include "resources/stationimages.h"
#include "ui/dialogs/addressbookedits.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyleFactory>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace {

constexpr int kTreeIndent = 19;
constexpr int kToolBarHeight = 26;
constexpr int kStatusPanel0Width = 128;
constexpr int kHintDelayMs = 250;
constexpr int kHintShownMs = 8000;
constexpr int kDefaultWindowTop = 8;

enum Page { kReceivedPage = 0, kSentPage = 1, kQueuePage = 2 };

enum HelpTopic {
    kMainTopic = 1,
    kTreeTopic = 10,
    kReceivedTopic = 20,
    kSentTopic = 30,
    kQueueTopic = 40
};

void SetHelpTopic(QWidget *widget, int topic)
{
    widget->setProperty(kHelpContextProperty, topic);
}

// The tree's icons come from the station's image list by the index the address book gives.
class AddressBookIcons : public QIdentityProxyModel
{
    Q_OBJECT

public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DecorationRole)
            return StationImage(
                    QIdentityProxyModel::data(index, AddressBook::ImageIndexRole).toInt());
        return QIdentityProxyModel::data(index, role);
    }
};

// Toolbar hints appear after a short pause and stay for eight seconds. Qt asks the style of the
// widget under the pointer for the pause, and a widget's own style does not reach its children,
// so it has to be the application's style. The Alt keys of the menus are underlined only while
// the keyboard works the menus, so that the texts read as they always have.
class HintStyle : public QProxyStyle
{
    Q_OBJECT

public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint hint,
                  const QStyleOption *option,
                  const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_ToolTip_WakeUpDelay)
            return kHintDelayMs;
        if (hint == SH_UnderlineShortcut)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

    // The toolbar asks for its overflow arrow as it is made. The style's own images, read as
    // what they are: left to the style, the reader would first load every image format plug-in
    // of the system to guess their format, a good share of the window's start.
    QIcon standardIcon(StandardPixmap which,
                       const QStyleOption *option,
                       const QWidget *widget) const override
    {
        if (which == SP_ToolBarHorizontalExtensionButton
            || which == SP_ToolBarVerticalExtensionButton) {
            const bool vertical = which == SP_ToolBarVerticalExtensionButton;
            const bool rtl = (option ? option->direction : QGuiApplication::layoutDirection())
                             == Qt::RightToLeft;
            const QString stem = QStringLiteral(":/qt-project.org/styles/commonstyle/images/")
                                 + (vertical ? QStringLiteral("toolbar-ext-v-")
                                    : rtl    ? QStringLiteral("toolbar-ext-h-rtl-")
                                             : QStringLiteral("toolbar-ext-h-"));
            static constexpr int kHorizontalSizes[] = {8, 16, 32};
            static constexpr int kVerticalSizes[] = {5, 10, 20};
            std::map<int, QString> files;
            for (const int size : vertical ? kVerticalSizes : kHorizontalSizes)
                files[size] = stem + QString::number(size) + QStringLiteral(".png");
            // The style's images are the toolkit's own; should a version not have them here,
            // the style's icon is drawn as before.
            if (QFile::exists(files.begin()->second))
                return IconFromPngFiles(std::move(files));
        }
        return QProxyStyle::standardIcon(which, option, widget);
    }
};

// Tabs as narrow as their texts allow, for the tab bar it is made for, which owns it.
class CompactTabStyle : public QProxyStyle
{
    Q_OBJECT

public:
    explicit CompactTabStyle(QWidget *tabBar)
        : QProxyStyle(QStyleFactory::create(QApplication::style()->name()))
    {
        setParent(tabBar);
    }

    int pixelMetric(PixelMetric metric,
                    const QStyleOption *option,
                    const QWidget *widget) const override
    {
        if (metric == PM_TabBarTabHSpace)
            return kTabPadding;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

private:
    static constexpr int kTabPadding = 6;
};

QPlainTextEdit *ReadOnlyText(QWidget *parent)
{
    auto *text = new QPlainTextEdit(parent);
    text->setReadOnly(true);
    text->setFrameShape(QFrame::NoFrame);
    text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return text;
}

// The named family where the system has it, else the closest sans family.
QFont FontOf(const QStringList &families, bool bold)
{
    QFont font;
    font.setFamilies(families
                     + QStringList{QStringLiteral("Liberation Sans"),
                                   QStringLiteral("DejaVu Sans"),
                                   QStringLiteral("sans-serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    return font;
}

// Installed once for the application, which owns it from then on and frees the style it replaces.
void UseHintStyle()
{
    if (qobject_cast<HintStyle *>(QApplication::style()))
        return;
    QApplication::setStyle(new HintStyle(QStyleFactory::create(QApplication::style()->name())));
}

} // namespace

TfMain::TfMain(Tdm &dm, QSystemTrayIcon *tray, Tray trayMode, QWidget *parent)
    : QMainWindow(parent,
                  Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
    , m_dm(dm)
    , m_tray(tray)
    , m_trayMode(trayMode)
    , m_addressBook(new AddressBook(this))
{
    UseHintStyle();
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setWindowIcon(ProgramIcon());
    SetHelpTopic(this, kMainTopic);
    buildLayout();
    createActions();
    createMenus();
    createToolBar();
    createContextMenus();

    for (QWidget *keys : {static_cast<QWidget *>(m_receivedGrid),
                          static_cast<QWidget *>(m_sentGrid),
                          static_cast<QWidget *>(m_tree)})
        keys->installEventFilter(this);
    auto *pacer = new PaintPacer(this);
    connect(pacer, &PaintPacer::aboutToPaint, this, [this] { showPendingChanges(); });
    connect(&m_dm, &Tdm::statusLine, this, &TfMain::addStatusLine);
    connect(&m_dm, &Tdm::messageReceived, this, &TfMain::alertNewMessage);
    if (m_tray)
        followTray();
    m_notifier = new DesktopNotifier(this);
    connect(m_notifier, &DesktopNotifier::activated, this, [this](qint32 messageId) {
        showReceivedMessage(messageId);
    });
    loadStoredState();
    showPagePanels(kReceivedPage);
}

TfMain::~TfMain() = default;

void TfMain::loadStoredState()
{
    loadWindowSize();
    try {
        m_addressBook->LoadAddressBook();
    } catch (const std::exception &error) {
        WidgetMessageBoxes(this).error(ErrorTextOf(error));
    }
    if (m_addressBook->firstGroupExpanded() && m_addressBook->groupCount() > 0)
        m_tree->expand(m_tree->model()->index(0, 0));
    setWindowTitle(QStringLiteral("Veltrin [") + DecodeWindows1250(m_dm.computerName())
                   + QLatin1Char(']'));
}

void TfMain::buildLayout()
{
    QFont windowFont = FontOf(
            {QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif")}, false);
    windowFont.setPointSize(8);
    setFont(windowFont);

    m_leftRight = new QSplitter(Qt::Horizontal, this);
    m_leftRight->setChildrenCollapsible(false);
    m_leftRight->setHandleWidth(4);
    m_leftRight->setOpaqueResize(true);

    auto *lpanel = new QWidget(m_leftRight);
    lpanel->setMinimumWidth(kTreeMinimumWidth);
    auto *lpanelLayout = new QVBoxLayout(lpanel);
    lpanelLayout->setContentsMargins(4, 4, 4, 4);
    m_tree = new QTreeView(lpanel);
    m_tree->setObjectName(QStringLiteral("tree"));
    auto *icons = new AddressBookIcons(m_tree);
    icons->setSourceModel(m_addressBook);
    // Hidden before the model comes, so that the header never measures its one title.
    m_tree->setHeaderHidden(true);
    m_tree->setModel(icons);
    m_tree->setFrameShape(QFrame::NoFrame);
    UseButtonFaceBackground(m_tree);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_tree->setIndentation(kTreeIndent);
    m_tree->setIconSize(QSize(16, 16));
    SetHelpTopic(m_tree, kTreeTopic);
    lpanelLayout->addWidget(m_tree);
    // What the user cannot see is not chosen: a new message would otherwise go to recipients
    // hidden in a collapsed group.
    connect(m_tree, &QTreeView::collapsed, this, [this](const QModelIndex &group) {
        QItemSelectionModel *selection = m_tree->selectionModel();
        const int members = m_tree->model()->rowCount(group);
        if (members > 0) {
            selection->select(QItemSelection(m_tree->model()->index(0, 0, group),
                                             m_tree->model()->index(members - 1, 0, group)),
                              QItemSelectionModel::Deselect);
        }
        if (selection->currentIndex().parent() == group)
            selection->setCurrentIndex(group, QItemSelectionModel::NoUpdate);
    });

    auto *rpanel = new QWidget(m_leftRight);
    auto *rpanelLayout = new QVBoxLayout(rpanel);
    rpanelLayout->setContentsMargins(4, 4, 4, 4);
    m_pagesStatus = new QSplitter(Qt::Vertical, rpanel);
    m_pagesStatus->setChildrenCollapsible(false);
    m_pagesStatus->setHandleWidth(3);
    rpanelLayout->addWidget(m_pagesStatus);

    m_page = new QTabWidget(m_pagesStatus);
    m_page->setObjectName(QStringLiteral("page"));
    const auto messagePage = [this](HistoryTable &table,
                                    HistoryGrid *&grid,
                                    QPlainTextEdit *&body,
                                    QSplitter *&split,
                                    int topic,
                                    const QFont &bodyFont) {
        split = new QSplitter(Qt::Vertical);
        split->setChildrenCollapsible(false);
        split->setHandleWidth(6);
        grid = new HistoryGrid(table, split);
        SetHelpTopic(grid, topic);
        body = ReadOnlyText(split);
        body->setMinimumHeight(kBodyMinimumHeight);
        body->setMaximumHeight(kBodyMaximumHeight);
        SetHelpTopic(body, topic);
        split->setStretchFactor(0, 1);
        split->setStretchFactor(1, 0);
        QPlainTextEdit *shown = body;
        HistoryTable *source = &table;
        // The text follows the current row once a frame: a stored message moves the cursor
        // several times, and a flood of them would lay the text out again for every move.
        auto *refresh = new QTimer(body);
        refresh->setSingleShot(true);
        refresh->setInterval(StatusLogWriter::kFrameMilliseconds);
        const auto show = [shown, source, bodyFont] {
            const QString text = source->isOpen() && source->cursor() >= 0
                                         ? DecodeWindows1250(source->currentRow().MSG)
                                         : QString();
            if (text == shown->toPlainText())
                return;
            // The body takes its bold font with its first text. Every start finds the histories
            // empty, an empty body looks the same in any font, and the bold face is then
            // loaded only once a message is there to be shown.
            if (!text.isEmpty() && !shown->testAttribute(Qt::WA_SetFont))
                shown->setFont(bodyFont);
            shown->setPlainText(text);
        };
        connect(refresh, &QTimer::timeout, body, show);
        m_bodyRefreshes.emplace_back(refresh, show);
        const auto showCurrent = [refresh] {
            if (!refresh->isActive())
                refresh->start();
        };
        connect(&table, &HistoryTable::cursorMoved, body, showCurrent);
        connect(&table, &QAbstractItemModel::dataChanged, body, showCurrent);
        connect(&table, &QAbstractItemModel::modelReset, body, showCurrent);
        return split;
    };
    QFont inFont = FontOf({QStringLiteral("Arial")}, true);
    inFont.setPixelSize(16);
    QFont outFont = FontOf(
            {QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif")}, true);
    outFont.setPointSize(8);
    m_page->addTab(
            messagePage(
                    m_dm.tIn(), m_receivedGrid, m_inbody, m_receivedSplit, kReceivedTopic, inFont),
            QStringLiteral("Přijaté zprávy"));
    m_page->addTab(
            messagePage(m_dm.tOut(), m_sentGrid, m_outbody, m_sentSplit, kSentTopic, outFont),
            QStringLiteral("Odeslané zprávy"));
    m_receivedGrid->setObjectName(QStringLiteral("DBGrid1"));
    m_sentGrid->setObjectName(QStringLiteral("DBGrid2"));
    m_inbody->setObjectName(QStringLiteral("inbody"));
    m_outbody->setObjectName(QStringLiteral("outbody"));

    // The core keeps the queue's rows in step with the queue as it handles the notifications.
    m_lQueue = new QTableView;
    m_lQueue->setObjectName(QStringLiteral("lQueue"));
    // A selected row's titles are drawn bold, as the toolkit's headers draw them; the columns'
    // widths are set below, so measuring the titles in bold would only load that face early.
    m_lQueue->setHorizontalHeader(new ColumnHeader(m_lQueue));
    m_lQueue->horizontalHeader()->setHighlightSections(true);
    m_lQueue->setModel(&m_dm.queueModel());
    m_lQueue->setColumnWidth(OutboundQueueModel::ColumnTime, 88);
    m_lQueue->setColumnWidth(OutboundQueueModel::ColumnRecipient, 128);
    m_lQueue->setColumnWidth(OutboundQueueModel::ColumnMessage, 1024);
    m_lQueue->verticalHeader()->hide();
    m_lQueue->setShowGrid(true);
    m_lQueue->setFrameShape(QFrame::NoFrame);
    m_lQueue->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lQueue->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_lQueue->setWordWrap(false);
    UseButtonFaceBackground(m_lQueue);
    SetHelpTopic(m_lQueue, kQueueTopic);
    m_page->addTab(m_lQueue, QStringLiteral("Fronta zpráv"));
    // At the window's minimum width the three tabs share the width left beside the tree; with
    // the style's roomy padding the third would hide behind scroll arrows.
    m_page->tabBar()->setStyle(new CompactTabStyle(m_page->tabBar()));
    connect(m_page, &QTabWidget::currentChanged, this, &TfMain::showPagePanels);

    auto *panel1 = new QWidget(m_pagesStatus);
    panel1->setMinimumHeight(kStatusMinimumHeight);
    auto *panel1Layout = new QVBoxLayout(panel1);
    panel1Layout->setContentsMargins(0, 0, 0, 0);
    m_mstat = ReadOnlyText(panel1);
    m_mstat->setObjectName(QStringLiteral("mstat"));
    m_mstat->setFocusPolicy(Qt::NoFocus);
    QPalette red = m_mstat->palette();
    red.setColor(QPalette::Base, red.color(QPalette::Button));
    red.setColor(QPalette::Text, Qt::red);
    m_mstat->setPalette(red);
    m_mstat->setPlainText(QStringLiteral("Status..."));
    m_mstat->setMaximumBlockCount(Tdm::kStatusLinesKept);
    m_statusWriter = new StatusLogWriter(m_mstat, Tdm::kStatusLinesKept);
    m_mstat->setMinimumHeight(kStatusMinimumHeight);
    panel1Layout->addWidget(m_mstat);
    m_pagesStatus->setStretchFactor(0, 1);
    m_pagesStatus->setStretchFactor(1, 0);
    m_leftRight->setStretchFactor(0, 0);
    m_leftRight->setStretchFactor(1, 1);
    setCentralWidget(m_leftRight);

    m_panels[0] = new QLabel;
    m_panels[0]->setFixedWidth(kStatusPanel0Width);
    m_panels[1] = new QLabel;
    m_panels[1]->setMinimumWidth(1);
    statusBar()->addWidget(m_panels[0]);
    statusBar()->addWidget(m_panels[1], 1);
    statusBar()->setSizeGripEnabled(true);
}

void TfMain::createActions()
{
    // The text is the menu's, with its Alt key; the hint is what the toolbar button shows.
    const auto action = [this](const QString &text, auto command, int image, const QString &hint) {
        auto *made = new QAction(text, this);
        if (image >= 0) {
            made->setIcon(StationImage(image));
            // The images are the toolbar's: the menus show their texts alone.
            made->setIconVisibleInMenu(false);
        }
        made->setToolTip(hint);
        connect(made, &QAction::triggered, this, command);
        return made;
    };
    const auto command = [this](void (TfMain::*member)()) {
        return [this, member] {
            (this->*member)();
        };
    };
    m_actions.newGroup = action(QStringLiteral("Nová &skupina příjemců"),
                                command(&TfMain::newGroup),
                                1,
                                QStringLiteral("Nová skupina příjemců"));
    m_actions.editMembership = action(QStringLiteral("Členství ve skupinách"),
                                      command(&TfMain::editMembership),
                                      5,
                                      QStringLiteral("Členství ve skupinách"));
    m_actions.newRecipient = action(QStringLiteral("&Nový příjemce"),
                                    command(&TfMain::newRecipient),
                                    3,
                                    QStringLiteral("Nový příjemce"));
    m_actions.editSelected = action(QStringLiteral("&Opravit"),
                                    command(&TfMain::editSelected),
                                    2,
                                    QStringLiteral("Oprava příjemce/skupiny"));
    m_actions.deleteSelected = action(QStringLiteral("S&mazat"),
                                      command(&TfMain::deleteSelected),
                                      4,
                                      QStringLiteral("Smazat příjemce/skupinu"));
    m_actions.editSettings = action(QStringLiteral("Nastavení &parametrů"),
                                    command(&TfMain::editSettings),
                                    0,
                                    QStringLiteral("Nastavení parametrů"));
    m_actions.hideWindow
            = action(QStringLiteral("Sk&rýt"), command(&TfMain::hideWindow), -1, QString());
    m_actions.quitStation
            = action(QStringLiteral("&Konec"), command(&TfMain::quitStation), -1, QString());
    m_actions.writeNewMessage = action(QStringLiteral("&Napsat novou zprávu"),
                                       command(&TfMain::writeNewMessage),
                                       6,
                                       QStringLiteral("Napsat novou zprávu"));
    // The menu's reply acts on the message page in view, as the grid's own does; the queue
    // page has no current message to answer.
    m_actions.replyOrSendAgain = action(
            QStringLiteral("&Odpovědět"),
            [this] {
                if (m_page->currentIndex() != kQueuePage)
                    replyOrSendAgain();
            },
            -1,
            QString());
    m_actions.deleteCurrentMessage = action(QStringLiteral("&Vymazat"),
                                            command(&TfMain::deleteCurrentMessage),
                                            7,
                                            QStringLiteral("Vymazat zprávu"));
    m_actions.searchMessages = action(
            QStringLiteral("&Hledat ve zprávách…"), [this] { searchMessages(); }, -1, QString());
    m_actions.searchMessages->setShortcut(QKeySequence::Find);
    // Without a store there is nothing to search but the lists in view.
    m_actions.searchMessages->setEnabled(m_dm.store().isOpen());
    m_actions.showHelp
            = action(QStringLiteral("&Nápověda"), command(&TfMain::showHelp), 9, QString());
    m_actions.showAbout
            = action(QStringLiteral("&O programu..."), command(&TfMain::showAbout), 8, QString());
}

void TfMain::createMenus()
{
    // The '&' marks each menu's and item's Alt key, underlined only while the keyboard works the
    // menus (see HintStyle), so the texts read as before.
    QMenu *list = menuBar()->addMenu(QStringLiteral("&Seznam"));
    list->addAction(m_actions.newGroup);
    list->addAction(m_actions.newRecipient);
    list->addSeparator();
    list->addAction(m_actions.editSelected);
    list->addAction(m_actions.deleteSelected);
    list->addSeparator();
    list->addAction(m_actions.editSettings);
    list->addSeparator();
    list->addAction(m_actions.hideWindow);
    list->addAction(m_actions.quitStation);
    QMenu *messages = menuBar()->addMenu(QStringLiteral("&Zprávy"));
    messages->addAction(m_actions.writeNewMessage);
    messages->addAction(m_actions.replyOrSendAgain);
    messages->addSeparator();
    messages->addAction(m_actions.deleteCurrentMessage);
    messages->addSeparator();
    messages->addAction(m_actions.searchMessages);
    QMenu *help = menuBar()->addMenu(QStringLiteral("&Pomoc"));
    help->addAction(m_actions.showHelp);
    help->addAction(m_actions.showAbout);
}

void TfMain::createToolBar()
{
    m_tool = addToolBar(QStringLiteral("tool"));
    m_tool->setMovable(false);
    m_tool->setFloatable(false);
    m_tool->setIconSize(QSize(16, 16));
    m_tool->setFixedHeight(kToolBarHeight + 4);
    m_tool->setContextMenuPolicy(Qt::PreventContextMenu);
    m_tool->toggleViewAction()->setEnabled(false);

    m_tool->addAction(m_actions.newGroup);
    m_tool->addSeparator();
    m_tool->addAction(m_actions.editMembership);
    m_tool->addSeparator();
    m_tool->addAction(m_actions.newRecipient);
    m_tool->addAction(m_actions.editSelected);
    m_tool->addAction(m_actions.deleteSelected);
    m_tool->addSeparator();
    m_tool->addAction(m_actions.writeNewMessage);
    m_tool->addAction(m_actions.deleteCurrentMessage);
    m_tool->addSeparator();
    m_tool->addAction(m_actions.editSettings);
    m_tool->addSeparator();
    m_tool->addAction(m_actions.showHelp);
    m_tool->addAction(m_actions.showAbout);
    for (QToolButton *button : m_tool->findChildren<QToolButton *>())
        button->installEventFilter(this);
    // These two show no hint (the filter keeps it so); a screen reader still names them.
    for (QAction *hintless : {m_actions.showHelp, m_actions.showAbout}) {
        QWidget *button = m_tool->widgetForAction(hintless);
        button->setToolTip(QString());
        button->setAccessibleName(hintless->text().remove(QLatin1Char('&')));
    }
}

void TfMain::createContextMenus()
{
    const auto contextMenu = [this](HistoryGrid *grid, const QString &replyText) {
        auto *menu = new QMenu(grid);
        menu->addAction(replyText, this, [this] { replyOrSendAgain(); });
        menu->addAction(m_actions.deleteCurrentMessage->text().remove(QLatin1Char('&')),
                        this,
                        [this] { deleteCurrentMessage(); });
        grid->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(grid, &QWidget::customContextMenuRequested, menu, [grid, menu](const QPoint &at) {
            menu->popup(grid->viewport()->mapToGlobal(at));
        });
    };
    contextMenu(m_receivedGrid, QStringLiteral("Odpovědět"));
    contextMenu(m_sentGrid, QStringLiteral("Odeslat znovu"));
    connect(m_receivedGrid, &QAbstractItemView::doubleClicked, this, [this] {
        markCurrentMessageRead();
    });
    connect(m_tree, &QAbstractItemView::doubleClicked, this, [this] { writeNewMessage(); });
}

QLabel *TfMain::statusPanel(int index) const
{
    return m_panels[index];
}

void TfMain::addStatusLine(const QByteArray &line)
{
    m_statusWriter->append(DecodeWindows1250(line));
}

void TfMain::showPendingChanges()
{
    m_receivedGrid->followPendingCursor();
    m_sentGrid->followPendingCursor();
    m_statusWriter->flush();
    for (const auto &[refresh, show] : m_bodyRefreshes) {
        if (refresh->isActive()) {
            refresh->stop();
            show();
        }
    }
}

void TfMain::loadWindowSize()
{
    // Each value is applied before the next is read: LEFT's default needs the width applied.
    const SettingsFile file = OpenSettingsFile();
    resize(width(), std::max(kMinimumHeight, ReadSizeValue(file, "HEIGHT", kMinimumHeight)));
    resize(std::max(kMinimumWidth, ReadSizeValue(file, "WIDTH", kMinimumWidth)), height());
    move(x(), ReadSizeValue(file, "TOP", kDefaultWindowTop));
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const int screenWidth = screen ? screen->geometry().width() : width() + 16;
    move(ReadSizeValue(file, "LEFT", DefaultWindowLeft(screenWidth, width())), y());
    // A position stored on a screen that is no longer there (a desk that lost its second
    // monitor) would put the window out of reach: it then opens where it opens by default.
    const QRect frame(pos(), size());
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (std::none_of(screens.begin(), screens.end(), [&frame](const QScreen *each) {
            return each->geometry().intersects(frame);
        }))
        move(DefaultWindowLeft(screenWidth, width()), kDefaultWindowTop);

    // The splitters share out space only once laid out, so lay the window out now.
    ensurePolished();
    if (layout())
        layout()->activate();
    const auto place = [](QSplitter *splitter, int index, int size) {
        QList<int> sizes = splitter->sizes();
        const int total = sizes.value(0) + sizes.value(1);
        sizes[index] = size;
        sizes[1 - index] = std::max(1, total - size);
        splitter->setSizes(sizes);
    };
    place(m_leftRight,
          0,
          std::max(kTreeMinimumWidth, ReadSizeValue(file, "SPLITTER0", kTreeMinimumWidth)));
    const auto bodyHeight = [](int value) {
        return std::clamp(value, kBodyMinimumHeight, kBodyMaximumHeight);
    };
    place(m_receivedSplit, 1, bodyHeight(ReadSizeValue(file, "SPLITTER1", kBodyMinimumHeight)));
    place(m_sentSplit, 1, bodyHeight(ReadSizeValue(file, "SPLITTER2", kBodyMinimumHeight)));
    place(m_pagesStatus,
          1,
          std::max(kStatusMinimumHeight, ReadSizeValue(file, "SPLITTER3", kStatusMinimumHeight)));
}

void TfMain::saveWindowSize()
{
    WindowGeometry geometry;
    geometry.HEIGHT = height();
    geometry.WIDTH = width();
    geometry.TOP = y();
    geometry.LEFT = x();
    geometry.SPLITTER0 = m_leftRight->sizes().value(0);
    geometry.SPLITTER1 = m_receivedSplit->sizes().value(1);
    geometry.SPLITTER2 = m_sentSplit->sizes().value(1);
    geometry.SPLITTER3 = m_pagesStatus->sizes().value(1);
    SaveWindowGeometry(OpenSettingsFile(), geometry);
}

QString TfMain::QuitQuestion(int waiting, bool storing)
{
    QString question = QStringLiteral("Ukončením programu nebudete moci přijímat zprávy.");
    if (waiting > 0) {
        question += QStringLiteral("\n\nZprávy čekající na potvrzení příjmu: %1. ").arg(waiting)
                    + (storing ? QStringLiteral("Odešlou se znovu při příštím spuštění.")
                               : QStringLiteral("Ukončením se už neodešlou."));
    }
    return question;
}

void TfMain::closeEvent(QCloseEvent *event)
{
    try {
        saveWindowSize();
    } catch (const std::exception &error) {
        WidgetMessageBoxes(this).error(ErrorTextOf(error));
    }
    if (!m_quitFlag) {
        event->ignore();
        hideWindow();
        return;
    }
    if (ConfirmWithOk(this, QuitQuestion(m_dm.waitingCount(), m_dm.store().isOpen()))) {
        event->accept();
        QCoreApplication::quit();
    } else {
        event->ignore();
    }
}

void TfMain::hideWindow()
{
    if (m_trayMode == Tray::Available)
        hide();
    else
        showMinimized();
}

void TfMain::bringToFront()
{
    if (isVisible() && !isMinimized()) {
        raise();
        activateWindow();
        return;
    }
    showNormal();
    raise();
    activateWindow();
}

void TfMain::setTray(QSystemTrayIcon *tray)
{
    m_tray = tray;
    m_trayMode = Tray::Available;
    followTray();
}

void TfMain::followTray()
{
    connect(m_tray,
            &QSystemTrayIcon::activated,
            this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A StatusNotifierItem host reports a click as Trigger and never a double-click; a
                // classic tray reports both for a double-click, and showing the window twice does
                // no harm.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    bringToFront();
            });
}

ArchiveWindow *TfMain::searchMessages()
{
    if (!m_dm.store().isOpen())
        return nullptr;
    if (!m_archive)
        m_archive = new ArchiveWindow(m_dm.store(), this);
    m_archive->show();
    m_archive->raise();
    m_archive->activateWindow();
    return m_archive;
}

void TfMain::quitStation()
{
    m_quitFlag = true;
    close();
}

void TfMain::editSettings()
{
    OpenSettingsDialog(m_dm, this);
}

std::pair<int, int> TfMain::selectedNode() const
{
    // The node the user acted on last, when it is among the selected ones.
    const QModelIndex current = m_tree->currentIndex();
    if (!current.isValid() || !m_tree->selectionModel()->isSelected(current))
        return {-1, -1};
    return m_addressBook->position(BookIndexOf(current));
}

void TfMain::saveAddressBookAfter(bool changed)
{
    if (!changed)
        return;
    try {
        m_addressBook->SaveAddressBook();
    } catch (const std::exception &error) {
        WidgetMessageBoxes(this).error(ErrorTextOf(error));
    }
}

void TfMain::newGroup()
{
    saveAddressBookAfter(NewGroup(*m_addressBook, this, m_tree));
}

void TfMain::editMembership()
{
    const auto [group, member] = selectedNode();
    if (group >= 0)
        saveAddressBookAfter(EditMembership(*m_addressBook, group, member, this));
}

void TfMain::newRecipient()
{
    saveAddressBookAfter(NewRecipient(*m_addressBook, this, m_tree));
}

void TfMain::editSelected()
{
    const auto [group, member] = selectedNode();
    if (group < 0)
        return;
    saveAddressBookAfter(member < 0 ? EditGroup(*m_addressBook, group, this)
                                    : EditRecipient(*m_addressBook, group, member, this));
}

void TfMain::deleteSelected()
{
    const auto [group, member] = selectedNode();
    if (group < 0)
        return;
    if (member < 0)
        saveAddressBookAfter(DeleteGroup(*m_addressBook, group, this));
    else if (group == 0)
        saveAddressBookAfter(DeleteRecipientEverywhere(*m_addressBook, group, member, this));
    else
        saveAddressBookAfter(RemoveFromGroup(*m_addressBook, group, member, this));
}

void TfMain::showHelp()
{
    ShowHelpTopic(Tdm::HelpFilePath(), kMainTopic);
}

void TfMain::showAbout()
{
    TAboutBox about(this);
    about.exec();
}

std::vector<std::shared_ptr<TRecipient>> TfMain::selectedRecipients() const
{
    // Tree order, each recipient once, at its first selected node; group nodes add nothing.
    std::vector<std::shared_ptr<TRecipient>> recipients;
    const QItemSelectionModel *selection = m_tree->selectionModel();
    const QAbstractItemModel *shown = m_tree->model();
    for (int group = 0; group < m_addressBook->groupCount(); ++group) {
        const QModelIndex groupIndex = shown->index(group, 0);
        for (int member = 0; member < m_addressBook->memberCount(group); ++member) {
            if (!selection->isSelected(shown->index(member, 0, groupIndex)))
                continue;
            std::shared_ptr<TRecipient> entry = m_addressBook->memberEntry(group, member);
            if (std::find(recipients.begin(), recipients.end(), entry) == recipients.end())
                recipients.push_back(std::move(entry));
        }
    }
    return recipients;
}

void TfMain::writeNewMessage()
{
    ComposeMessage(m_dm, selectedRecipients(), QByteArray(), this);
}

void TfMain::replyOrSendAgain()
{
    const bool received = m_page->currentIndex() == kReceivedPage;
    HistoryTable &table = received ? m_dm.tIn() : m_dm.tOut();
    const QByteArray partner = ReadField(table, "FROM", m_dm.boxes());
    if (partner.isEmpty())
        return;
    const auto [name, host] = SplitAddress(partner);
    // A recipient of the moment, not entered in the address book.
    const std::vector<std::shared_ptr<TRecipient>> recipients{
            std::make_shared<TRecipient>(TRecipient{name, host})};
    const QByteArray text = received ? QByteArray() : ReadField(table, "MSG", m_dm.boxes());
    ComposeMessage(m_dm, recipients, text, this);
}

void TfMain::deleteCurrentMessage()
{
    const auto deleteCurrent = [this](HistoryTable &table, const QString &question) {
        if (table.rowCount() == 0)
            return;
        if (ConfirmWithOk(this, question))
            m_dm.deleteCurrent(table);
    };
    switch (m_page->currentIndex()) {
    case kReceivedPage:
        deleteCurrent(m_dm.tIn(), QStringLiteral("Opravdu chcete vymazat příchozí zprávu?"));
        break;
    case kSentPage:
        deleteCurrent(m_dm.tOut(), QStringLiteral("Opravdu chcete vymazat odeslanou zprávu?"));
        break;
    default:
        break; // the queue page has nothing to delete
    }
}

void TfMain::markCurrentMessageRead()
{
    m_dm.markRead();
}

bool TfMain::gridKeyPressed(HistoryGrid *grid, const QKeyEvent &key)
{
    switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter marks a received message read; in the sent grid there is nothing to mark, and
        // marking a received row the user cannot see would be a surprise.
        if (grid == m_receivedGrid)
            markCurrentMessageRead();
        return true;
    case Qt::Key_Delete:
        deleteCurrentMessage();
        return true;
    default:
        return false;
    }
}

bool TfMain::treeKeyPressed(const QKeyEvent &key)
{
    const bool shiftAlone
            = (key.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier))
              == Qt::ShiftModifier;
    switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        shiftAlone ? editSelected() : writeNewMessage();
        return true;
    case Qt::Key_Insert:
        shiftAlone ? newGroup() : newRecipient();
        return true;
    case Qt::Key_Delete:
        deleteSelected();
        return true;
    case Qt::Key_F2:
        editMembership();
        return true;
    default:
        return false;
    }
}

void TfMain::showPagePanels(int page)
{
    switch (page) {
    case kReceivedPage:
        m_panels[0]->setText(QStringLiteral("  Přijaté zprávy"));
        m_panels[1]->setText(QStringLiteral("  Soubor: ") + m_dm.historyFileName(m_dm.tIn()));
        break;
    case kSentPage:
        m_panels[0]->setText(QStringLiteral("  Odeslané zprávy"));
        m_panels[1]->setText(QStringLiteral("  Soubor: ") + m_dm.historyFileName(m_dm.tOut()));
        break;
    case kQueuePage:
        m_panels[0]->setText(QStringLiteral("  Odchozí zprávy"));
        m_panels[1]->setText(QStringLiteral("  Zprávy čekající na odeslání."));
        break;
    default:
        break;
    }
}

bool TfMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (watched == m_receivedGrid || watched == m_sentGrid)
            return gridKeyPressed(static_cast<HistoryGrid *>(watched), *key);
        if (watched == m_tree)
            return treeKeyPressed(*key);
    }
    if (event->type() == QEvent::ToolTip && qobject_cast<QToolButton *>(watched)
        && watched->parent() == m_tool) {
        auto *button = static_cast<QToolButton *>(watched);
        const auto *help = static_cast<QHelpEvent *>(event);
        if (button->toolTip().isEmpty()) {
            QToolTip::hideText();
        } else {
            QPalette hint = QToolTip::palette();
            hint.setColor(QPalette::ToolTipBase, QColor(0, 255, 255));
            hint.setColor(QPalette::ToolTipText, Qt::black);
            QToolTip::setPalette(hint);
            QToolTip::showText(help->globalPos(), button->toolTip(), button, {}, kHintShownMs);
        }
        return true;
    }
    // A change of its action gives a button its action's hint again.
    if (event->type() == QEvent::ToolTipChange && qobject_cast<QToolButton *>(watched)
        && watched->parent() == m_tool) {
        auto *button = static_cast<QToolButton *>(watched);
        const QAction *action = button->defaultAction();
        if ((action == m_actions.showHelp || action == m_actions.showAbout)
            && !button->toolTip().isEmpty()) {
            button->setToolTip(QString());
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfMain::alertNewMessage(const TMessageQueueItem &message, qint32 rowId)
{
    // Hidden, minimised or behind other windows: the desktop tells the user, whatever the
    // window does below, since a desktop may refuse to raise it.
    if (!isVisible() || isMinimized() || !isActiveWindow())
        m_notifier->notify(
                DecodeWindows1250(message.Ident), DecodeWindows1250(message.Body), rowId);
    const TStationSettings &settings = m_dm.settings();
    if ((!isVisible() || isMinimized()) && settings.MAXIMIZE) {
        showNormal();
        raise();
        activateWindow();
    }
    if (settings.PLAYWAVE && !settings.WAVEFILE.isEmpty()) {
        const QString wave = DecodeWindows1250(settings.WAVEFILE);
        if (QFile::exists(wave))
            PlayWaveFile(wave);
    }
}

void TfMain::showReceivedMessage(qint32 messageId)
{
    bringToFront();
    m_page->setCurrentIndex(kReceivedPage);
    HistoryTable &table = m_dm.tIn();
    for (int row = 0; row < table.count(); ++row) {
        if (table.row(row).ID == messageId) {
            table.moveCursor(row);
            break;
        }
    }
}

#include "fmMain.moc"
