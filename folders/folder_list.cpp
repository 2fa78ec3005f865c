#include "folders/folder_list.h"

#include "app/application_values.h"
#include "app/dialogs.h"
#include "app/failure_report.h"
#include "app/folder_picker.h"
#include "app/fs/path_cleanup.h"
#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "folders/folder_list_view.h"

#include <Qt>

namespace quillmere::folders {

namespace {
const QString kPickerTitle = QStringLiteral("Please select folder:");
}

void addFolderToSearch(FolderListView& view, app::Dialogs& dialogs) {
    app::Guard g(dialogs, app::location::PushButton3Click);
    QString chosen;
    g.step(100, [&] {
        app::applicationValues().LastFolderDot =
            app::GetSetting(app::settingkey::LastFolderDot, QString());
        chosen =
            app::BrowseForFolder(dialogs, kPickerTitle, app::applicationValues().LastFolderDot);
    });
    if (g.test(102, [&] { return chosen.isEmpty(); }))
        return;
    g.step(104, [&] { view.setMousePointer(app::pointer::Busy); });
    g.step(106, [&] { view.appendFolderRow(app::fs::CollapseBackslashes(chosen)); });
    g.step(108, [&] { view.setMousePointer(app::pointer::Default); });
}

void removeSelectedFolderRow(FolderListView& view) {
    if (view.mousePointer() == app::pointer::Busy || view.searchRunning())
        return;
    if (view.folderRowCount() == 0)
        return;
    const int selected = view.currentFolderRow();
    if (selected < 0 || selected >= view.folderRowCount())
        return;
    view.removeFolderRow(selected);
}

bool folderListKeyDown(FolderListView& view, int key) {
    if (key != Qt::Key_Delete)
        return false;
    removeSelectedFolderRow(view);
    return true;
}

} // namespace quillmere::folders
