#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <functional>
#include <utility>

class QLabel;
class QLineEdit;
class QPushButton;

// The group dialog: the name of a group of recipients.
class TfGroup : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kHelpTopic = 104;
    static constexpr int kNameLength = 16;

    // The refusal text for a name the address book cannot take, empty when it can.
    using NameCheck = std::function<QString(const QByteArray &name)>;

    explicit TfGroup(QWidget *parent = nullptr);

    void setGroupName(const QByteArray &name);
    void setNameCheck(NameCheck check);
    // Windows-1250, as the field held it when the dialog was confirmed.
    QByteArray groupName() const;

    QLineEdit *eSkup() const { return m_eSkup; }
    QPushButton *okButton() const { return m_bitBtn1; }
    QPushButton *cancelButton() const { return m_bitBtn2; }

    void acceptWhenValid();

private:
    // Why the dialog may not close, empty when it may.
    QString refusal() const;

    QLabel *m_label1 = nullptr;
    QLineEdit *m_eSkup = nullptr;
    QPushButton *m_bitBtn1 = nullptr;
    QPushButton *m_bitBtn2 = nullptr;
    QLabel *m_image2 = nullptr;
    NameCheck m_nameCheck;
};
