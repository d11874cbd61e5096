#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

class QTextBrowser;
class QUrl;

// The contract between the windows and the help: a window, or any widget in it, names its help
// topic (an int, the anchor number in VELTRIN.HLP) in this dynamic property, e.g.
// setProperty(kHelpContextProperty, 102). Widgets without it inherit their nearest parent's.
inline constexpr char kHelpContextProperty[] = "helpContext";

// The station's help window: the help file, an HTML document with one anchor per topic,
// shown in a text browser. Links to "#topic" inside the file are followed in place.
class HelpViewer : public QWidget
{
    Q_OBJECT

public:
    explicit HelpViewer(QWidget *parent = nullptr);

    // Reads the file afresh, so that an edited or newly installed file is what the user sees,
    // and brings the topic's anchor to the top. Topic 0 or one without an anchor shows the
    // beginning. A file that cannot be read is reported inside the window.
    void showTopic(const QString &helpFile, int topic);

    QTextBrowser *browser() const { return m_browser; }
    QString helpFile() const { return m_helpFile; }
    int topic() const { return m_topic; }
    bool fileLoaded() const { return m_fileLoaded; }

    // A modal dialog blocks every window but its own, so help asked for while one is open has to
    // belong to that dialog to come up above it and take clicks and scrolling. Once the dialog
    // is gone, the window stays open and belongs to the next dialog out, or to none.
    void stayUsableOver(QWidget *modalDialog);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void attachTo(QWidget *owner);

    void followLink(const QUrl &url);
    void scrollToTopic();

    QTextBrowser *m_browser = nullptr;
    QString m_helpFile;
    int m_topic = 0;
    bool m_fileLoaded = false;
};

// Shows the topic in the one help window of the process, creating it on first use, and brings
// that window to the front.
void ShowHelpTopic(const QString &helpFile, int topic);

// The help window ShowHelpTopic uses, or null while there is none.
HelpViewer *CurrentHelpViewer();

// The kHelpContextProperty of the widget or of its nearest parent that has one; 0 when none has.
int HelpTopicOf(const QWidget *widget);

// Install on qApp: F1 anywhere opens the help at the topic of the widget that has the focus (or
// of the active window). It also claims F1 ahead of shortcuts, so that a window's F1 action
// cannot shadow the narrower topic of the control the user is in.
class HelpKeyFilter : public QObject
{
    Q_OBJECT

public:
    explicit HelpKeyFilter(const QString &helpFile, QObject *parent = nullptr);

    QString helpFile() const { return m_helpFile; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString m_helpFile;
};
