#include "platform/ui/helpviewer.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPointer>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QPointer<HelpViewer> &SharedViewer()
{
    static QPointer<HelpViewer> viewer;
    return viewer;
}

bool IsHelpKey(const QKeyEvent *event)
{
    return event->key() == Qt::Key_F1
           && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

} // namespace

HelpViewer::HelpViewer(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_browser(new QTextBrowser(this))
{
    setWindowTitle(QStringLiteral("Nápověda – Veltrin"));
    // Opening links ourselves keeps "#topic" links inside the loaded text: the browser would
    // otherwise try to load them as documents of their own.
    m_browser->setOpenLinks(false);
    connect(m_browser, &QTextBrowser::anchorClicked, this, [this](const QUrl &url) {
        followLink(url);
    });

    auto layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(560, 460);
}

void HelpViewer::showTopic(const QString &helpFile, int topic)
{
    m_helpFile = helpFile;
    m_topic = topic;

    QFile file(helpFile);
    m_fileLoaded = file.open(QIODevice::ReadOnly);
    if (!m_fileLoaded) {
        m_browser->setPlainText(QStringLiteral("Soubor nápovědy %1 nebyl nalezen.")
                                        .arg(QDir::toNativeSeparators(helpFile)));
        return;
    }
    const QByteArray bytes = file.readAll();
    // Honours the file's own charset declaration and reads UTF-8 when it has none.
    QStringDecoder decoder = QStringDecoder::decoderForHtml(bytes);
    const QString html
            = decoder.isValid() ? QString(decoder.decode(bytes)) : QString::fromUtf8(bytes);
    m_browser->document()->setBaseUrl(QUrl::fromLocalFile(QFileInfo(helpFile).absoluteFilePath()));
    m_browser->setHtml(html);
    scrollToTopic();
    // A window manager may still resize a window that was just shown, which moves the anchor
    // away from the top; scrolling again once the events have settled puts it back.
    const int shownTopic = topic;
    QTimer::singleShot(0, this, [this, shownTopic] {
        if (m_topic == shownTopic && m_fileLoaded)
            scrollToTopic();
    });
}

void HelpViewer::stayUsableOver(QWidget *modalDialog)
{
    if (modalDialog && modalDialog != this && modalDialog->window() != this
        && parentWidget() != modalDialog)
        attachTo(modalDialog);
}

void HelpViewer::attachTo(QWidget *owner)
{
    if (QWidget *previous = parentWidget())
        previous->removeEventFilter(this);
    // A new parent hides the window; it comes back where it was.
    const bool wasVisible = isVisible();
    const QRect frame = geometry();
    setParent(owner, windowFlags() | Qt::Window);
    if (owner)
        owner->installEventFilter(this);
    if (wasVisible) {
        setGeometry(frame);
        show();
    }
}

bool HelpViewer::eventFilter(QObject *watched, QEvent *event)
{
    // Only a dialog that closes: one minimised by the window manager is still open and modal.
    if (watched == parentWidget() && event->type() == QEvent::Hide
        && !parentWidget()->isVisible()) {
        // The dialog closes: the help moves to the nearest modal window still open around it,
        // so that neither the dialog's end takes the help along nor a dialog further out blocks
        // it.
        QWidget *owner = parentWidget()->parentWidget();
        while (owner
               && (!owner->window()->isVisible()
                   || owner->window()->windowModality() == Qt::NonModal))
            owner = owner->window()->parentWidget();
        attachTo(owner ? owner->window() : nullptr);
    }
    return QWidget::eventFilter(watched, event);
}

void HelpViewer::scrollToTopic()
{
    m_browser->moveCursor(QTextCursor::Start);
    m_browser->verticalScrollBar()->setValue(0);
    if (m_topic != 0)
        m_browser->scrollToAnchor(QString::number(m_topic));
}

void HelpViewer::followLink(const QUrl &url)
{
    const QUrl here = QUrl::fromLocalFile(QFileInfo(m_helpFile).absoluteFilePath());
    const QUrl target = here.resolved(url);
    if (target.adjusted(QUrl::RemoveFragment) == here) {
        bool isNumber = false;
        const int topic = target.fragment().toInt(&isNumber);
        if (isNumber)
            m_topic = topic;
        m_browser->scrollToAnchor(target.fragment());
        return;
    }
    QDesktopServices::openUrl(target);
}

void ShowHelpTopic(const QString &helpFile, int topic)
{
    QPointer<HelpViewer> &viewer = SharedViewer();
    if (!viewer) {
        viewer = new HelpViewer;
        viewer->setAttribute(Qt::WA_DeleteOnClose);
    }
    viewer->stayUsableOver(QApplication::activeModalWidget());
    // Shown before loading, so that the browser has its size when it looks for the anchor.
    viewer->setWindowState(viewer->windowState() & ~Qt::WindowMinimized);
    viewer->show();
    viewer->showTopic(helpFile, topic);
    viewer->raise();
    viewer->activateWindow();
}

HelpViewer *CurrentHelpViewer()
{
    return SharedViewer().data();
}

int HelpTopicOf(const QWidget *widget)
{
    for (const QWidget *w = widget; w; w = w->parentWidget()) {
        const QVariant value = w->property(kHelpContextProperty);
        bool isNumber = false;
        const int topic = value.toInt(&isNumber);
        if (value.isValid() && isNumber)
            return topic;
    }
    return 0;
}

HelpKeyFilter::HelpKeyFilter(const QString &helpFile, QObject *parent)
    : QObject(parent)
    , m_helpFile(helpFile)
{}

bool HelpKeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        if (IsHelpKey(static_cast<QKeyEvent *>(event))) {
            // An accepted override makes Qt deliver F1 as a key press instead of a shortcut.
            event->accept();
            return true;
        }
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto keyEvent = static_cast<QKeyEvent *>(event);
    if (!IsHelpKey(keyEvent))
        return false;
    if (keyEvent->isAutoRepeat())
        return true;

    QWidget *context = QApplication::focusWidget();
    if (!context)
        context = QApplication::activeWindow();
    if (!context)
        context = qobject_cast<QWidget *>(watched);
    // F1 inside the help window keeps the topic being read instead of jumping elsewhere.
    if (context && qobject_cast<HelpViewer *>(context->window())) {
        context->window()->raise();
        return true;
    }
    ShowHelpTopic(m_helpFile, HelpTopicOf(context));
    return true;
}
