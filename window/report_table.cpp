#include "window/report_table.h"

#include <QEvent>
#include <QHeaderView>
#include <QStyle>
#include <QStyleOptionViewItem>

namespace quillmere::window {

ReportTable::ReportTable(QWidget* parent) : QTableView(parent) {
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    // Tab leaves the list for the next control, as it does from a tree view.
    setTabKeyNavigation(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView* columns = horizontalHeader();
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setHighlightSections(false);
    columns->setSectionsClickable(false);
    columns->setSectionsMovable(true);
    columns->setStretchLastSection(false);
    fitRowHeight();
}

QHeaderView* ReportTable::header() const {
    return horizontalHeader();
}

bool ReportTable::isHeaderHidden() const {
    return horizontalHeader()->isHidden();
}

void ReportTable::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fitRowHeight();
}

void ReportTable::fitRowHeight() {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    option.text = QStringLiteral("Xg");
    const int height = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this)
                           .height();
    verticalHeader()->setMinimumSectionSize(height);
    verticalHeader()->setDefaultSectionSize(height);
}

} // namespace quillmere::window
