#include "widgetboxes.h"

#include "platform/codepage.h"

#include <QMessageBox>

namespace {

void ShowBox(QWidget *parent, QMessageBox::Icon icon, const QString &caption, const QString &text)
{
    QMessageBox box(icon, caption, text, QMessageBox::Cancel, parent);
    box.exec();
}

} // namespace

void WidgetMessageBoxes::error(const QByteArray &text)
{
    ShowBox(m_parent, QMessageBox::Critical, QStringLiteral("Error"), DecodeWindows1250(text));
}

void WidgetMessageBoxes::warning(const QByteArray &text)
{
    ShowBox(m_parent, QMessageBox::Warning, QStringLiteral("Warning"), DecodeWindows1250(text));
}

bool ConfirmWithOk(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Information,
                    QStringLiteral("Information"),
                    text,
                    QMessageBox::Ok | QMessageBox::Cancel,
                    parent);
    return box.exec() == QMessageBox::Ok;
}

void Inform(QWidget *parent, const QString &text)
{
    QMessageBox box(
            QMessageBox::Information, QStringLiteral("Information"), text, QMessageBox::Ok, parent);
    box.exec();
}
