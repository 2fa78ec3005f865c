#pragma once

#include <QTableView>

namespace quillmere::window {

// A table view that looks and acts like the window's report lists (tree views without branches):
// no grid and no row header, whole rows selected, one row height, the column headers on the left.
// Unlike a tree view it keeps nothing per row, so an insertion or a reset costs it the same at a
// million rows as at ten.
class ReportTable : public QTableView {
    Q_OBJECT
public:
    explicit ReportTable(QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;
    // The keys move as in a tree view: Home and End to the first and last row, not column; Left
    // and Right scroll the columns and leave the current cell where it is.
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    // The focus frame goes round the whole current row, as a tree view showing focus on all
    // columns draws it, not round one cell.
    void paintEvent(QPaintEvent* event) override;

private:
    // The height a tree view gives every row when told they are all alike: a row with a check box
    // and a line of text, in the list's font and style (a skin may change both).
    void fitRowHeight();
};

} // namespace quillmere::window
