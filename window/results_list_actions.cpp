#include "window/results_list_actions.h"

#include "app/dialogs.h"
#include "app/event_pump.h"
#include "results/path_text.h"
#include "results/results_model.h"
#include "window/details_box.h"
#include "window/file_manager.h"
#include "window/qt_clipboard.h"

#include <QAbstractItemView>
#include <QAction>
#include <QContextMenuEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

#include <algorithm>

namespace quillmere::window {

namespace {

// Opening or showing more files than this at once asks first.
constexpr size_t kOpenWithoutAsking = 10;

void addAction(QMenu& menu, const QString& text, const QString& accessibleName, bool enabled,
               std::function<void()> run) {
    QAction* action = menu.addAction(text);
    action->setObjectName(accessibleName);
    action->setEnabled(enabled);
    QObject::connect(action, &QAction::triggered, &menu, std::move(run));
}

} // namespace

ResultsListActions::ResultsListActions(QAbstractItemView& list, results::ResultsModel& model,
                                       app::Dialogs& dialogs, app::UrlOpener open,
                                       std::shared_ptr<search::DetailSources> sources,
                                       QObject* parent)
    : QObject(parent), list_(list), model_(model), dialogs_(dialogs), open_(std::move(open)),
      sources_(std::move(sources)), fileManagerTimeoutMs_(kFileManagerTimeoutMs) {
    list_.setDragEnabled(true);
    list_.setDragDropMode(QAbstractItemView::DragOnly);
    list_.setDefaultDropAction(Qt::CopyAction);
    list_.installEventFilter(this);
    list_.viewport()->installEventFilter(this);
}

bool ResultsListActions::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched == &list_) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && mods == 0) {
            openSelected();
            return true;
        }
        if ((key->key() == Qt::Key_Menu && mods == 0) ||
            (key->key() == Qt::Key_F10 && mods == Qt::ShiftModifier)) {
            popUpMenu(keyboardMenuPosition());
            return true;
        }
    }
    if (event->type() == QEvent::ContextMenu) {
        // The Menu key arrives as a key press as well; its menu is opened there.
        const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        if (menuEvent->reason() == QContextMenuEvent::Mouse)
            popUpMenu(menuEvent->globalPos());
        return true;
    }
    return QObject::eventFilter(watched, event);
}

QMenu* ResultsListActions::popUpMenu(const QPoint& globalPos) {
    const size_t selected = selectedRows().size();
    const bool any = selected > 0;
    const bool rows = model_.rowCount() > 0;
    auto* menu = new QMenu(&list_);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setAccessibleName(QStringLiteral("Results"));
    addAction(*menu, QStringLiteral("&Open"), QStringLiteral("Open"), any,
              [this] { openSelected(); });
    addAction(*menu, QStringLiteral("Open Containing &Folder"),
              QStringLiteral("Open Containing Folder"), any, [this] { showSelectedInFolder(); });
    addAction(*menu, QStringLiteral("&Copy Path"), QStringLiteral("Copy Path"), any,
              [this] { copySelectedPaths(); });
    menu->addSeparator();
    addAction(*menu, QStringLiteral("&Tick Selected"), QStringLiteral("Tick Selected"), any,
              [this] { tickSelected(true); });
    addAction(*menu, QStringLiteral("&Untick Selected"), QStringLiteral("Untick Selected"), any,
              [this] { tickSelected(false); });
    addAction(*menu, QStringLiteral("Tick &All"), QStringLiteral("Tick All"), rows,
              [this] { tickAll(true); });
    addAction(*menu, QStringLiteral("Untick A&ll"), QStringLiteral("Untick All"), rows,
              [this] { tickAll(false); });
    menu->addSeparator();
    addAction(*menu, QStringLiteral("Show All &Details\u2026"), QStringLiteral("Show All Details"),
              selected == 1, [this] { showSelectedDetails(); });
    menu->popup(globalPos);
    return menu;
}

std::vector<int> ResultsListActions::selectedRows() const {
    // By ranges: a whole list selected is one range, not two million indexes.
    std::vector<int> rows;
    for (const QItemSelectionRange& range : list_.selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

QPoint ResultsListActions::keyboardMenuPosition() const {
    const QRect row = list_.visualRect(list_.currentIndex());
    const QPoint local = row.isValid() ? row.bottomLeft() : QPoint(0, 0);
    return list_.viewport()->mapToGlobal(local);
}

bool ResultsListActions::confirmMany(size_t count, const QString& question) {
    return count <= kOpenWithoutAsking ||
           dialogs_.messageBox(question.arg(count),
                               app::BoxStyle::YesNo | app::BoxStyle::Question) ==
               app::BoxAnswer::Yes;
}

void ResultsListActions::openSelected() {
    const std::vector<QByteArray> paths = model_.nativePathsOf(selectedRows());
    if (!confirmMany(paths.size(), QStringLiteral("Open %1 files?")))
        return;
    for (const QByteArray& path : paths)
        open_(fileUrl(path));
}

void ResultsListActions::showSelectedInFolder() {
    const std::vector<QByteArray> paths = model_.nativePathsOf(selectedRows());
    if (confirmMany(paths.size(), QStringLiteral("Show %1 files in their folders?")))
        showInFileManager(paths, open_, this, fileManagerTimeoutMs_);
}

void ResultsListActions::copySelectedPaths() {
    const std::vector<QByteArray> paths = model_.nativePathsOf(selectedRows());
    if (!paths.empty())
        setClipboardMimeData(results::pathsMimeData(paths, [] { app::letWindowMessagesRun(); }));
}

void ResultsListActions::showSelectedDetails() {
    const std::vector<int> rows = selectedRows();
    if (rows.size() != 1)
        return;
    const results::ResultRow& row = model_.row(rows.front());
    showAllDetails(row.nativePath, row.label, sources_, dialogs_, this);
}

void ResultsListActions::tickSelected(bool checked) {
    model_.setCheckedRows(selectedRows(), checked);
}

void ResultsListActions::tickAll(bool checked) {
    model_.setAllChecked(checked);
}

} // namespace quillmere::window
