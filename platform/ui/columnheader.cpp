#include "columnheader.h"

#include <QStyleOptionHeader>

ColumnHeader::ColumnHeader(QWidget *parent)
    : QHeaderView(Qt::Horizontal, parent)
{
    setHighlightSections(false);
}

QSize ColumnHeader::sectionSizeFromContents(int logicalIndex) const
{
    // As the toolkit measures, less the bold: the style's margins around the title in the
    // header's own font, with room for a sort arrow where one may be shown.
    QStyleOptionHeader option;
    initStyleOption(&option);
    option.section = logicalIndex;
    option.text = model()->headerData(logicalIndex, orientation()).toString();
    if (isSortIndicatorShown())
        option.sortIndicator = QStyleOptionHeader::SortDown;
    return style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), this);
}
