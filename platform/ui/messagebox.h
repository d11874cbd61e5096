#pragma once

#include "platform/messageboxes.h"

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

// The station's message boxes are the toolkit's standard ones: the caption is the toolkit's own
// English word for the icon ("Error", "Warning", "Information"), the text and the buttons are
// the station's. Each box runs modally over the parent, when there is one, and gives the button
// that closed it (Escape and the close box give the cancelling one).
QMessageBox::StandardButton ShowMessageBox(QWidget *parent,
                                           QMessageBox::Icon icon,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons);

// A question with OK, the default button, and Cancel; true only for OK.
bool ConfirmWithOk(QWidget *parent,
                   const QString &text,
                   QMessageBox::Icon icon = QMessageBox::Information);

// The boxes through which code below the windows reports: an error or a warning with a single
// Cancel button, its Windows-1250 text shown as it reads, over the given window when there is one.
class WidgetMessageBoxes : public MessageBoxes
{
public:
    explicit WidgetMessageBoxes(QWidget *parent = nullptr)
        : m_parent(parent)
    {}

    void setParent(QWidget *parent) { m_parent = parent; }

    void error(const QByteArray &text) override;
    void warning(const QByteArray &text) override;

private:
    QPointer<QWidget> m_parent;
};
