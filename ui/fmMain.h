#pragma once

#include "core/udm.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class AddressBook;
class DesktopNotifier;
class HistoryGrid;
class QAction;
class QKeyEvent;
class QLabel;
class QPlainTextEdit;
class QSplitter;
class QSystemTrayIcon;
class QTabWidget;
class QTableView;
class QToolBar;
class QTimer;
class QTreeView;
class SettingsFile;
class StatusLogWriter;
struct TRecipient;
class ArchiveWindow;

// The station's window: the address-book tree, the received and sent messages, the queue of
// messages in flight, the status log. It shows what the core announces. Closing it
// only hides it, so the station keeps receiving; it ends the application only through "Konec"
// and a confirmation.
class TfMain : public QMainWindow
{
    Q_OBJECT

public:
    // Without a tray to bring it back from, a hidden window would be lost: closing it then
    // minimises it instead.
    enum class Tray { Available, Unavailable };

    static constexpr int kMinimumWidth = 400;
    static constexpr int kMinimumHeight = 350;
    static constexpr int kTreeMinimumWidth = 128;
    static constexpr int kBodyMinimumHeight = 64;
    static constexpr int kBodyMaximumHeight = 256;
    static constexpr int kStatusMinimumHeight = 32;

    TfMain(Tdm &dm, QSystemTrayIcon *tray, Tray trayMode, QWidget *parent = nullptr);
    ~TfMain() override;

    // The parts tests and other windows look at.
    AddressBook &addressBook() { return *m_addressBook; }
    QTreeView *tree() const { return m_tree; }
    HistoryGrid *receivedGrid() const { return m_receivedGrid; }
    HistoryGrid *sentGrid() const { return m_sentGrid; }
    QPlainTextEdit *receivedBody() const { return m_inbody; }
    QPlainTextEdit *sentBody() const { return m_outbody; }
    QTableView *queueView() const { return m_lQueue; }
    QPlainTextEdit *statusLog() const { return m_mstat; }
    QTabWidget *pages() const { return m_page; }
    QLabel *statusPanel(int index) const;
    QToolBar *toolBar() const { return m_tool; }
    bool quitFlag() const { return m_quitFlag; }

    // The line shows in the status log with the next frame, after the lines added before it.
    void addStatusLine(const QByteArray &line);
    // Shows the status lines and message texts still waiting for the next frame now.
    void showPendingChanges();

    void loadWindowSize();
    void saveWindowSize();

    // The message commands.
    std::vector<std::shared_ptr<TRecipient>> selectedRecipients() const;
    void writeNewMessage();
    // On the received page an answer to the current message, on the sent page the current
    // message once more.
    void replyOrSendAgain();
    void deleteCurrentMessage();
    void markCurrentMessageRead();

    // The address-book commands; each saves the book when its dialog reports a change.
    void newGroup();
    void editMembership();
    void newRecipient();
    void editSelected();
    void deleteSelected();

    // Shows the window, or brings it to the front when it is shown already.
    void bringToFront();
    // A tray that appeared after the window: its icon brings the window back, and closing the
    // window hides it from now on.
    void setTray(QSystemTrayIcon *tray);
    // The window brought up on the received page with the message of that history ID current,
    // as the new-message notification offers.
    void showReceivedMessage(qint32 messageId);
    // Hides the window to the tray, or minimises it where there is none.
    void hideWindow();
    // Closes the window for good after the user's confirmation, which ends the station.
    void quitStation();
    void editSettings();
    void showHelp();
    void showAbout();
    // What the quit command asks: that no more messages will be received, and what becomes of
    // those still waiting for their confirmation.
    static QString QuitQuestion(int waiting, bool storing);
    // The archive window over every stored message, with its search field; one at a time.
    ArchiveWindow *searchMessages();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // The commands as the menus and the toolbar share them: one action each.
    struct Actions
    {
        QAction *newGroup = nullptr;
        QAction *editMembership = nullptr;
        QAction *newRecipient = nullptr;
        QAction *editSelected = nullptr;
        QAction *deleteSelected = nullptr;
        QAction *editSettings = nullptr;
        QAction *hideWindow = nullptr;
        QAction *quitStation = nullptr;
        QAction *writeNewMessage = nullptr;
        QAction *replyOrSendAgain = nullptr;
        QAction *deleteCurrentMessage = nullptr;
        QAction *searchMessages = nullptr;
        QAction *showHelp = nullptr;
        QAction *showAbout = nullptr;
    };

    void loadStoredState();
    void followTray();
    void buildLayout();
    void createActions();
    void createMenus();
    void createToolBar();
    void createContextMenus();
    bool gridKeyPressed(HistoryGrid *grid, const QKeyEvent &key);
    bool treeKeyPressed(const QKeyEvent &key);
    void alertNewMessage(const TMessageQueueItem &message, qint32 rowId);
    void showPagePanels(int page);
    std::pair<int, int> selectedNode() const;
    void saveAddressBookAfter(bool changed);

    Tdm &m_dm;
    QSystemTrayIcon *m_tray;
    Tray m_trayMode;
    bool m_quitFlag = false;

    AddressBook *m_addressBook;
    QToolBar *m_tool = nullptr;
    QSplitter *m_leftRight = nullptr;
    QSplitter *m_pagesStatus = nullptr;
    QSplitter *m_receivedSplit = nullptr;
    QSplitter *m_sentSplit = nullptr;
    QTreeView *m_tree = nullptr;
    QTabWidget *m_page = nullptr;
    HistoryGrid *m_receivedGrid = nullptr;
    HistoryGrid *m_sentGrid = nullptr;
    QPlainTextEdit *m_inbody = nullptr;
    QPlainTextEdit *m_outbody = nullptr;
    QTableView *m_lQueue = nullptr;
    QPlainTextEdit *m_mstat = nullptr;
    StatusLogWriter *m_statusWriter = nullptr;
    // Each message text's frame timer and what it shows when it runs out.
    std::vector<std::pair<QTimer *, std::function<void()>>> m_bodyRefreshes;
    QLabel *m_panels[2] = {nullptr, nullptr};
    DesktopNotifier *m_notifier = nullptr;
    Actions m_actions;
    QPointer<ArchiveWindow> m_archive;
};
