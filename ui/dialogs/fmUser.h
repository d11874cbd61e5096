#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <functional>
#include <utility>

class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;

// Whether the text can stand as one line of "recpt.dat" and come back as it was typed.
bool IsStorableText(const QString &text);

// The frame the recipient and group dialogs share: their picture at the top left beside the
// fields, "OK" (the default button) and "Storno" at the bottom right, a size fixed by the
// contents. The tab order runs from the fields' last control to OK, then Storno.
struct NameDialogFrame
{
    QLabel *picture;
    QPushButton *ok;
    QPushButton *cancel;
};
NameDialogFrame BuildNameDialogFrame(QDialog *dialog, int image, QLayout *fields, QWidget *last);

// The recipient dialog: a partner's name and address.
class TfUser : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kHelpTopic = 103;
    static constexpr int kNameLength = 16;
    static constexpr int kHostLength = 32;

    // The refusal text for a name the address book cannot take, empty when it can.
    using NameCheck = std::function<QString(const QByteArray &name)>;

    explicit TfUser(QWidget *parent = nullptr);

    void setRecipient(const QByteArray &name, const QByteArray &host);
    void setNameCheck(NameCheck check);
    // Windows-1250, as the fields held them when the dialog was confirmed.
    QByteArray name() const;
    QByteArray host() const;

    QLineEdit *eName() const { return m_eName; }
    QLineEdit *eHost() const { return m_eHost; }
    QPushButton *okButton() const { return m_bitBtn1; }
    QPushButton *cancelButton() const { return m_bitBtn2; }

    void acceptWhenValid();

private:
    // The field at fault and why, or no field when the dialog may close; a refusal leaves the
    // dialog open on that field.
    std::pair<QLineEdit *, QString> refusal() const;

    QLabel *m_label1 = nullptr;
    QLineEdit *m_eName = nullptr;
    QLabel *m_label2 = nullptr;
    QLineEdit *m_eHost = nullptr;
    QPushButton *m_bitBtn1 = nullptr;
    QPushButton *m_bitBtn2 = nullptr;
    QLabel *m_image2 = nullptr;
    NameCheck m_nameCheck;
};
