#pragma once

#include <QStringList>

class QWidget;

// What a person reads on a window and the order Tab takes them through it, one line each, so
// that a picture of the window can be checked against what the window is meant to say:
// the caption, the menus and toolbar hints, then every visible text from top to bottom and left
// to right, then the tab order by control name, and last a line for every text that its
// control cuts off or that reaches past its parent or its window.
QStringList DescribeWidgetTree(QWidget *window);
