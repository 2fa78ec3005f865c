#include "window/report_table.h"

#include "app/escaped_text.h"

#include <QEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolTip>

namespace quillmere::window {

namespace {

// Draws cells without a focus frame of their own; the table draws one round the row. A cell's
// text is shown escaped by the program's one rule: a line break would hide the rest of a name
// under its row, and a reversing mark make it read as another name.
class RowFocusDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QString displayText(const QVariant& value, const QLocale& locale) const override {
        return value.typeId() == QMetaType::QString
                   ? app::escapedText(value.toString())
                   : QStyledItemDelegate::displayText(value, locale);
    }
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell(option);
        cell.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, cell, index);
    }

    // A tip shows the cell's text as text. Qt takes a tip that looks like markup for a page: a
    // name or a detail holding a picture tag had it read the file named there, a FIFO for good.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        const QString tip =
            event->type() == QEvent::ToolTip ? index.data(Qt::ToolTipRole).toString() : QString();
        if (tip.isEmpty())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        QToolTip::showText(event->globalPos(),
                           Qt::convertFromPlainText(app::escapedText(tip), Qt::WhiteSpaceNoWrap),
                           view->viewport(), view->visualRect(index));
        return true;
    }
};

} // namespace

ReportTable::ReportTable(QWidget* parent) : QTableView(parent) {
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    // Tab leaves the list for the next control, as it does from a tree view.
    setTabKeyNavigation(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setItemDelegate(new RowFocusDelegate(this));
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

void ReportTable::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fitRowHeight();
}

QModelIndex ReportTable::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    const QModelIndex current = currentIndex();
    switch (action) {
    case MoveHome:
    case MoveEnd: {
        const QModelIndex row = QTableView::moveCursor(action, modifiers | Qt::ControlModifier);
        return row.isValid() && current.isValid() ? row.siblingAtColumn(current.column()) : row;
    }
    case MoveLeft:
    case MoveRight: {
        QScrollBar* columns = horizontalScrollBar();
        columns->setValue(columns->value() +
                          (action == MoveLeft ? -columns->singleStep() : columns->singleStep()));
        return current;
    }
    default:
        return QTableView::moveCursor(action, modifiers);
    }
}

void ReportTable::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    const QModelIndex current = currentIndex();
    if (!hasFocus() || !current.isValid() || !selectionModel())
        return;
    QStyleOptionViewItem view;
    initViewItemOption(&view);
    QStyleOptionFocusRect frame;
    frame.QStyleOption::operator=(view);
    frame.state |= QStyle::State_KeyboardFocusChange;
    const QPalette::ColorGroup group =
        (view.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
    frame.backgroundColor = view.palette.color(
        group, selectionModel()->isSelected(current) ? QPalette::Highlight : QPalette::Window);
    const QHeaderView* columns = horizontalHeader();
    frame.rect = QRect(-columns->offset(), rowViewportPosition(current.row()), columns->length(),
                       rowHeight(current.row()));
    QPainter painter(viewport());
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, this);
}

void ReportTable::fitRowHeight() {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    option.text = QStringLiteral("Xg");
    const int height =
        style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height();
    verticalHeader()->setMinimumSectionSize(height);
    verticalHeader()->setDefaultSectionSize(height);
}

} // namespace quillmere::window
