#include "widgetlook.h"

#include <QPalette>
#include <QWidget>

void UseButtonFaceBackground(QWidget *widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    widget->setPalette(palette);
}
