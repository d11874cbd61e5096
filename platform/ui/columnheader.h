#pragma once

#include <QHeaderView>

// A view's column titles, measured in the header's own font. The toolkit's header measures every
// title in bold, the look of a highlighted title, and so loaded and hinted the bold glyphs of
// every title while the window was being made: a few hundred KiB of a start's memory. The views
// that use it set their columns' widths, and the common families' bold and regular faces share
// their heights, so nothing drawn changes. Its titles are not highlighted unless the view turns
// that back on.
class ColumnHeader : public QHeaderView
{
    Q_OBJECT

public:
    explicit ColumnHeader(QWidget *parent = nullptr);

protected:
    QSize sectionSizeFromContents(int logicalIndex) const override;
};
