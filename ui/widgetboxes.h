#pragma once

#include "platform/messageboxes.h"

#include <QPointer>
#include <QWidget>

// The toolkit's standard boxes, with their own English captions, each with a single Cancel
// button, over the given window when there is one.
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

// An information box asking text with OK and Cancel; true only for OK.
bool ConfirmWithOk(QWidget *parent, const QString &text);
// An information box with a single OK button.
void Inform(QWidget *parent, const QString &text);
