#include "window/form1_layout.h"

#include "window/progress_bar.h"
#include "window/report_table.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>
#include <limits>
#include <vector>

namespace quillmere::window {

namespace {

using K = ControlKind;

// Frames come before the controls they hold.
constexpr ControlEntry kControls[] = {
    {K::ListView, "ListView1", "", nullptr, 120, 120, 7800, 1695, 0},
    {K::ListView, "ListView2", "", nullptr, 8040, 120, 7800, 2295, 1},
    {K::PushButton, "PushButton3", "Add Folder to Search", nullptr, 120, 1920, 7800, 405, 2},
    {K::PushButton, "PushButton12", "Help", nullptr, 120, 2430, 3840, 405, 17},
    {K::PushButton, "PushButton14", "Load Sample/Example Folders", nullptr, 4080, 2430, 3840, 405,
     18},
    {K::Frame, "Frame1", "Search For This Phrase", nullptr, 120, 2910, 7800, 800, 9},
    {K::TextBox, "Text1", "", "Frame1", 240, 300, 7320, 330, 10},
    {K::Frame, "Frame2", "Match Options", nullptr, 120, 3780, 7800, 675, 11},
    {K::CheckBox, "Check4", "Match Case", "Frame2", 240, 300, 1335, 255, 13},
    {K::CheckBox, "Check5", "Search In Subfolders Also", "Frame2", 1920, 300, 2535, 255, 12},
    {K::PushButton, "PushButton1", "Start Finding", nullptr, 120, 4570, 7800, 405, 3},
    {K::PushButton, "PushButton2", "Save Results As Text File", nullptr, 8040, 2520, 3840, 405, 4},
    {K::PushButton, "PushButton5", "Copy Results To Clipboard", nullptr, 12000, 2520, 3840, 405, 8},
    {K::PushButton, "PushButton6", "Clear Results", nullptr, 8040, 3030, 3840, 405, 5},
    {K::PushButton, "PushButton9", "Help", nullptr, 12000, 3030, 3840, 405, 16},
    {K::PushButton, "PushButton17", "Remove Results Containing", nullptr, 8040, 3540, 3840, 405, 6},
    {K::PushButton, "PushButton11", "Remove Results Not Containing", nullptr, 12000, 3540, 3840,
     405, 7},
    {K::PushButton, "PushButton10", "Send Checked To Recycle Bin", nullptr, 8040, 4050, 3840, 405,
     14},
    {K::PushButton, "PushButton8", "Move Checked To Folder", nullptr, 12000, 4050, 3840, 405, 15},
    {K::ProgressBar, "ProgressBar1", "Progress Bar", nullptr, 8040, 4570, 7800, 405, 19},
};

QFont arialBold(qreal points) {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

void makeReportList(QTreeWidget* view) {
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setItemsExpandable(false);
    view->header()->setStretchLastSection(false);
    view->setToolTip(kListToolTip);
    view->setFont(arialBold(9));
}

QWidget* createControl(const ControlEntry& entry, QWidget* parent, Form1Controls& controls) {
    const QString caption = QString::fromUtf8(entry.caption);
    switch (entry.kind) {
    case K::ListView:
        if (qstrcmp(entry.name, "ListView1") == 0) {
            auto* list = new QTreeWidget(parent);
            list->setColumnCount(0);
            makeReportList(list);
            return controls.ListView1 = list;
        } else {
            // A table, not a tree: the results may run to a million rows.
            auto* list = new ReportTable(parent);
            list->setToolTip(kListToolTip);
            list->setFont(arialBold(9));
            list->setSelectionMode(QAbstractItemView::ExtendedSelection);
            return controls.ListView2 = list;
        }
    case K::PushButton: {
        auto* button = new QPushButton(caption, parent);
        button->setFont(arialBold(11.25));
        button->setAutoDefault(false);
        controls.pushButtons[QByteArray(entry.name).mid(10).toInt()] = button;
        return button;
    }
    case K::Frame: {
        auto* frame = new QGroupBox(caption, parent);
        (qstrcmp(entry.name, "Frame1") == 0 ? controls.Frame1 : controls.Frame2) = frame;
        return frame;
    }
    case K::TextBox: {
        auto* text = new QLineEdit(parent);
        text->setMaxLength(std::numeric_limits<int>::max());
        return controls.Text1 = text;
    }
    case K::CheckBox: {
        auto* box = new QCheckBox(caption, parent);
        box->setChecked(true);
        (qstrcmp(entry.name, "Check4") == 0 ? controls.Check4 : controls.Check5) = box;
        return box;
    }
    case K::ProgressBar: {
        auto* bar = new ProgressBar(parent);
        bar->setText(caption);
        return controls.ProgressBar1 = bar;
    }
    }
    return nullptr;
}

} // namespace

std::span<const ControlEntry> controlTable() {
    return kControls;
}

Form1Controls buildControls(QWidget& window) {
    Form1Controls controls;
    std::vector<std::pair<int, QWidget*>> tabOrder;
    for (const ControlEntry& entry : kControls) {
        QWidget* parent = entry.frame ? window.findChild<QWidget*>(QString::fromUtf8(entry.frame),
                                                                   Qt::FindDirectChildrenOnly)
                                      : &window;
        QWidget* control = createControl(entry, parent ? parent : &window, controls);
        control->setObjectName(QString::fromUtf8(entry.name));
        control->setGeometry(twipsToPixels(entry.left), twipsToPixels(entry.top),
                             twipsToPixels(entry.width), twipsToPixels(entry.height));
        // Frames and the progress bar take no focus; chaining them would drag their children.
        if (control->focusPolicy() & Qt::TabFocus)
            tabOrder.emplace_back(entry.tabIndex, control);
    }
    std::sort(tabOrder.begin(), tabOrder.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);
    return controls;
}

} // namespace quillmere::window
