#pragma once

#include "app/help_links.h"

#include <QObject>
#include <QPoint>

#include <memory>
#include <vector>

class QAbstractItemView;
class QMenu;

namespace quillmere::app {
class Dialogs;
}
namespace quillmere::search {
class DetailSources;
}
namespace quillmere::results {
class ResultsModel;
}

namespace quillmere::window {

// What the results list does with its selected rows besides ticking: Enter opens them; the
// context menu (right button, Menu key, Shift+F10) opens, shows in the file manager, copies the
// paths, ticks and unticks, and shows every detail; a drag offers the paths as a copy. Nothing here
// changes the order of the rows; double-click stays free.
class ResultsListActions : public QObject {
    Q_OBJECT
public:
    // `sources` give the details that "Show all details" reads.
    ResultsListActions(QAbstractItemView& list, results::ResultsModel& model, app::Dialogs& dialogs,
                       app::UrlOpener open, std::shared_ptr<search::DetailSources> sources,
                       QObject* parent);

    // The context menu for the current selection, shown at `globalPos` without waiting for it.
    QMenu* popUpMenu(const QPoint& globalPos);

    void openSelected();
    void showSelectedInFolder();
    void copySelectedPaths();
    void showSelectedDetails();
    void tickSelected(bool checked);
    void tickAll(bool checked);

    void setFileManagerTimeout(int milliseconds) { fileManagerTimeoutMs_ = milliseconds; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::vector<int> selectedRows() const;
    // True for a few files; for more, when the user says yes: each may start a program or window.
    bool confirmMany(size_t count, const QString& question);
    // Below the current row, or the list's corner when there is none: where the keyboard's menu
    // opens.
    QPoint keyboardMenuPosition() const;

    QAbstractItemView& list_;
    results::ResultsModel& model_;
    app::Dialogs& dialogs_;
    app::UrlOpener open_;
    std::shared_ptr<search::DetailSources> sources_;
    int fileManagerTimeoutMs_;
};

} // namespace quillmere::window
