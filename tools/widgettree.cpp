#include "widgettree.h"

#include "core/history.h"
#include "platform/codepage.h"
#include "ui/historygrid.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QWidget>

#include <algorithm>
#include <tuple>
#include <vector>

namespace {

// The program's own directory and the user's data directory differ from one build and run to
// the next; they are shown by name.
QString Quoted(const QString &text)
{
    QString flat = text;
    flat.replace(QCoreApplication::applicationDirPath(), QLatin1String("<program dir>"));
    flat.replace(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                 QLatin1String("<data dir>"));
    flat.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + flat + QLatin1Char('"');
}

// An action's text without its keyboard accelerator marks, as the user reads it.
QString ActionText(const QAction *action)
{
    if (action->isSeparator())
        return QStringLiteral("-");
    QString text = action->text();
    text.remove(QLatin1Char('&'));
    return Quoted(text);
}

void DescribeMenus(QMainWindow *window, QStringList &lines)
{
    for (QAction *menuAction : window->menuBar()->actions()) {
        lines << QStringLiteral("menu ") + ActionText(menuAction);
        if (QMenu *menu = menuAction->menu()) {
            for (QAction *item : menu->actions())
                lines << QStringLiteral("  item ") + ActionText(item);
        }
    }
    for (QToolBar *bar : window->findChildren<QToolBar *>()) {
        for (QAction *action : bar->actions()) {
            // The button's own hint, which the window may leave empty for a command that has
            // one in its menu.
            lines << QStringLiteral("tool ")
                             + (action->isSeparator()
                                        ? QStringLiteral("-")
                                        : Quoted(bar->widgetForAction(action)->toolTip()));
        }
    }
}

// The visible texts of one widget, or none when it shows no text of its own.
QStringList TextsOf(QWidget *widget)
{
    QStringList texts;
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        if (!label->text().isEmpty())
            texts << QStringLiteral("label ") + Quoted(label->text());
    } else if (auto *radio = qobject_cast<QRadioButton *>(widget)) {
        texts << QStringLiteral("radio ") + Quoted(radio->text());
    } else if (auto *check = qobject_cast<QCheckBox *>(widget)) {
        texts << QStringLiteral("check ") + Quoted(check->text());
    } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        if (!button->text().isEmpty())
            texts << QStringLiteral("button ") + Quoted(button->text());
    } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
        texts << QStringLiteral("group ") + Quoted(group->title());
    } else if (auto *tabs = qobject_cast<QTabWidget *>(widget)) {
        for (int i = 0; i < tabs->count(); ++i)
            texts << QStringLiteral("page ") + Quoted(tabs->tabText(i));
    } else if (auto *view = qobject_cast<QAbstractItemView *>(widget)) {
        const QHeaderView *header = nullptr;
        if (auto *table = qobject_cast<QTableView *>(view))
            header = table->horizontalHeader();
        else if (auto *tree = qobject_cast<QTreeView *>(view))
            header = tree->header();
        if (view->model() && header && header->isVisibleTo(widget)) {
            // In the order the columns stand, leaving out those the view does not show.
            for (int visual = 0; visual < header->count(); ++visual) {
                const int column = header->logicalIndex(visual);
                if (header->isSectionHidden(column))
                    continue;
                texts << QStringLiteral("column ")
                                 + Quoted(view->model()
                                                  ->headerData(column, Qt::Horizontal)
                                                  .toString());
            }
        }
    }
    return texts;
}

bool IsOwnName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1String("qt_"));
}

// A control by the name it was given; its inner parts (the editor of a number field, the
// items of a group) go by the name of the control they belong to.
QString ControlName(QWidget *widget, QWidget *window)
{
    for (QWidget *w = widget; w && w != window; w = w->parentWidget()) {
        if (IsOwnName(w->objectName()))
            return w->objectName();
    }
    QString text;
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        text = button->text();
    return QString::fromLatin1(widget->metaObject()->className())
           + (text.isEmpty() ? QString() : QLatin1Char(' ') + Quoted(text));
}

QStringList TabOrder(QWidget *window)
{
    QWidget *start = window->focusWidget() ? window->focusWidget() : window;
    QStringList names;
    QWidget *widget = start;
    do {
        if (widget != window && widget->isVisibleTo(window)
            && (widget->focusPolicy() & Qt::TabFocus) == Qt::TabFocus
            && widget->window() == window) {
            const QString name = ControlName(widget, window);
            if (names.isEmpty() || names.last() != name)
                names << name;
        }
        widget = widget->nextInFocusChain();
    } while (widget && widget != start);
    if (names.size() > 1 && names.first() == names.last())
        names.removeLast();
    return names;
}

// The width a one-line text takes on the screen, its '&' marks shown as underlines.
int TextWidth(const QWidget *widget, const QString &text)
{
    return widget->fontMetrics().size(Qt::TextShowMnemonic, text).width();
}

// Where a control's text may go: what the style leaves of the control beside its frame, box or
// circle. Empty when the control shows no text of its own.
QRect TextRoom(QWidget *widget, QString *text)
{
    QStyle *style = widget->style();
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        if (label->text().isEmpty() || label->wordWrap())
            return {};
        *text = label->text();
        const int indent = std::max(0, label->indent());
        return label->contentsRect().adjusted(
                label->margin() + indent, label->margin(), -label->margin(), -label->margin());
    }
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        if (button->text().isEmpty())
            return {};
        *text = button->text();
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        option.icon = button->icon();
        option.iconSize = button->iconSize();
        if (qobject_cast<QCheckBox *>(widget))
            return style->subElementRect(QStyle::SE_CheckBoxContents, &option, widget);
        if (qobject_cast<QRadioButton *>(widget))
            return style->subElementRect(QStyle::SE_RadioButtonContents, &option, widget);
        if (qobject_cast<QPushButton *>(widget))
            return style->subElementRect(QStyle::SE_PushButtonContents, &option, widget);
        if (auto *tool = qobject_cast<QToolButton *>(widget)) {
            // A toolbar's buttons show their icons alone; their texts are the hints.
            if (tool->toolButtonStyle() == Qt::ToolButtonIconOnly && !tool->icon().isNull()) {
                text->clear();
                return {};
            }
            const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, widget);
            return tool->rect().adjusted(frame, frame, -frame, -frame);
        }
        return {};
    }
    if (auto *group = qobject_cast<QGroupBox *>(widget)) {
        if (group->title().isEmpty())
            return {};
        *text = group->title();
        // The style places the title by its own width; it is whole while that stays in the box.
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        option.textAlignment = group->alignment();
        const QRect label = style->subControlRect(
                QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
        return label.intersected(group->rect());
    }
    return {};
}

// A text cut off by its own control, or a control that reaches past its parent or its window.
QStringList ClippedTexts(QWidget *window)
{
    QStringList lines;
    const auto clipped = [&lines](QWidget *widget, const QString &what) {
        lines << QStringLiteral("clipped ") + QString::fromLatin1(widget->metaObject()->className())
                         + QLatin1Char(' ') + what;
    };
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(window) || widget->window() != window)
            continue;
        QString text;
        const QRect room = TextRoom(widget, &text);
        if (!text.isEmpty()) {
            const QString shown = Quoted(QString(text).remove(QLatin1Char('&')));
            const QFontMetrics metrics = widget->fontMetrics();
            if (room.width() < TextWidth(widget, text) || room.height() < metrics.height())
                clipped(widget, shown);
            const QWidget *parent = widget->parentWidget();
            const QRect inWindow(widget->mapTo(window, QPoint(0, 0)), widget->size());
            if ((parent && !parent->rect().contains(widget->geometry()))
                || !window->rect().contains(inWindow))
                clipped(widget, shown + QStringLiteral(" past its edge"));
        }
        if (auto *tabs = qobject_cast<QTabBar *>(widget)) {
            for (int tab = 0; tab < tabs->count(); ++tab) {
                const QRect rect = tabs->tabRect(tab);
                if (!tabs->rect().contains(rect)
                    || rect.width() < TextWidth(tabs, tabs->tabText(tab)))
                    clipped(widget, Quoted(tabs->tabText(tab)));
            }
        }
        if (auto *header = qobject_cast<QHeaderView *>(widget);
            header && header->orientation() == Qt::Horizontal && header->model()) {
            const int margin
                    = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
            for (int column = 0; column < header->count(); ++column) {
                if (header->isSectionHidden(column))
                    continue;
                const QString title
                        = header->model()->headerData(column, Qt::Horizontal).toString();
                if (header->sectionSize(column) < TextWidth(header, title) + 2 * margin)
                    clipped(widget, Quoted(title));
            }
        }
        // A message's state is read at a glance: each of its labels fits the column whole,
        // with the margins the style leaves beside a cell's text and the grid line.
        if (auto *grid = qobject_cast<HistoryGrid *>(widget)) {
            const int margin
                    = grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1;
            const int room = grid->columnWidth(HistoryTable::ColumnLFLAG) - 1 - 2 * margin;
            for (const qint32 code : {HistoryFlag::New,
                                      HistoryFlag::Sent,
                                      HistoryFlag::Ok,
                                      HistoryFlag::Failed,
                                      HistoryFlag::Read}) {
                const QString label = DecodeWindows1250(*HistoryFlagLabel(code));
                if (room < TextWidth(grid, label))
                    clipped(widget, Quoted(label));
            }
        }
    }
    lines.sort();
    return lines;
}

} // namespace

QStringList DescribeWidgetTree(QWidget *window)
{
    QStringList lines{QStringLiteral("window ") + Quoted(window->windowTitle())};
    if (auto *mainWindow = qobject_cast<QMainWindow *>(window))
        DescribeMenus(mainWindow, lines);

    struct Placed
    {
        int top;
        int left;
        int order;
        QStringList texts;
    };
    std::vector<Placed> placed;
    const QList<QWidget *> widgets = window->findChildren<QWidget *>();
    for (int i = 0; i < widgets.size(); ++i) {
        QWidget *widget = widgets[i];
        if (!widget->isVisibleTo(window) || widget->window() != window)
            continue;
        // A button of a toolbar is its action, already described with the toolbar.
        if (qobject_cast<QToolBar *>(widget->parentWidget()))
            continue;
        QStringList texts = TextsOf(widget);
        if (texts.isEmpty())
            continue;
        const QPoint at = widget->mapTo(window, QPoint(0, 0));
        placed.push_back({at.y(), at.x(), i, texts});
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed &a, const Placed &b) {
        return std::tie(a.top, a.left, a.order) < std::tie(b.top, b.left, b.order);
    });
    for (const Placed &entry : placed)
        lines << entry.texts;

    lines << QStringLiteral("tab ") + TabOrder(window).join(QLatin1Char(' '));
    // Nothing may be cut off, whatever fonts the desktop has and at every scale.
    lines << ClippedTexts(window);
    return lines;
}
