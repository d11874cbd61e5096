#pragma once

#include <QByteArray>
#include <QDialog>
#include <QPlainTextEdit>

#include <memory>
#include <vector>

class QKeyEvent;
class QMimeData;
class QPushButton;
class QTableWidget;
class Tdm;
class TextGuard;
struct TRecipient;

// The text of a message being written. Its limit counts the characters as they travel, so a
// line break takes two of them (CR LF); typing and pasting stop at the limit, pasting cutting
// what is pasted. Its text guard replaces the reserved characters as they are typed and holds
// the text to the code page, so that what the user sees is what is sent.
class TMessageMemo : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit TMessageMemo(QWidget *parent = nullptr);

    TextGuard *guard() const { return m_guard; }

    void setMaxLength(qsizetype length) { m_maxLength = length; }
    qsizetype maxLength() const { return m_maxLength; }

    // The text as it travels: Windows-1250 bytes, line breaks as CR LF.
    QByteArray messageText() const;
    // Shows a text as stored or received, CR LF line breaks included. It is not cut to the
    // limit: a message sent again keeps what it was, even if it was written elsewhere.
    void setMessageText(const QByteArray &text);
    // The text as it is shown, each line break a single "\n".
    QString shownText() const;

    // How many characters a text takes once sent; every kind of line break counts as two.
    static qsizetype TravellingLength(QStringView text);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    // What typing or pasting may add now, with the selection about to be replaced.
    qsizetype room() const;

    qsizetype m_maxLength = 0;
    TextGuard *m_guard = nullptr;
};

// The compose dialog: the recipients with a check box each, the message text, "Poslat" and
// "Storno". It hands the text to the core once for every ticked recipient and waits for
// nothing; delivery is the core's.
class TfSend : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kMaxBodyLength = 400;
    static constexpr int kHelpTopic = 102;

    // The dialog keeps its own copy of the list for as long as it is open; the entries stay
    // shared with whoever else holds them.
    TfSend(Tdm &dm, std::vector<std::shared_ptr<TRecipient>> recipients, QWidget *parent = nullptr);

    // One row per recipient in list order, each ticked.
    void fillRecipients();
    // Queues the text for every ticked recipient, top to bottom; false, with nothing sent, when
    // the text is empty or nothing is ticked.
    bool sendToChecked();

    QTableWidget *recipientList() const { return m_rcp; }
    TMessageMemo *body() const { return m_body; }
    QPushButton *sendButton() const { return m_send; }
    QPushButton *cancelButton() const { return m_cancel; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setHelpTopic();
    void sendAndClose();
    // Each gives whether it consumed the key. The body's guard has the typed characters.
    bool bodyKeyPress(const QKeyEvent &key);
    bool rcpKeyPress(const QKeyEvent &key);

    Tdm &m_dm;
    std::vector<std::shared_ptr<TRecipient>> m_recipients;
    QTableWidget *m_rcp = nullptr;
    TMessageMemo *m_body = nullptr;
    QPushButton *m_send = nullptr;
    QPushButton *m_cancel = nullptr;
};

// The one way into the compose dialog. Without recipients it only tells the user to choose
// some. Otherwise it runs the dialog modally with the recipients ticked and the text given (empty
// for a new message or a reply, the old text for a message sent again); true when the dialog was
// closed by a successful "Poslat".
bool ComposeMessage(Tdm &dm,
                    const std::vector<std::shared_ptr<TRecipient>> &recipients,
                    const QByteArray &initialText,
                    QWidget *parent);
