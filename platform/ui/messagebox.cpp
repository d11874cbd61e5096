#include "messagebox.h"

#include "platform/codepage.h"

namespace {

QString CaptionOf(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Critical:
        return QStringLiteral("Error");
    case QMessageBox::Warning:
        return QStringLiteral("Warning");
    default:
        return QStringLiteral("Information");
    }
}

} // namespace

QMessageBox::StandardButton ShowMessageBox(QWidget *parent,
                                           QMessageBox::Icon icon,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, CaptionOf(icon), text, buttons, parent);
    if (buttons.testFlag(QMessageBox::Ok))
        box.setDefaultButton(QMessageBox::Ok);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool ConfirmWithOk(QWidget *parent, const QString &text, QMessageBox::Icon icon)
{
    return ShowMessageBox(parent, icon, text, QMessageBox::Ok | QMessageBox::Cancel)
           == QMessageBox::Ok;
}

void WidgetMessageBoxes::error(const QByteArray &text)
{
    ShowMessageBox(m_parent, QMessageBox::Critical, DecodeWindows1250(text), QMessageBox::Cancel);
}

void WidgetMessageBoxes::warning(const QByteArray &text)
{
    ShowMessageBox(m_parent, QMessageBox::Warning, DecodeWindows1250(text), QMessageBox::Cancel);
}
