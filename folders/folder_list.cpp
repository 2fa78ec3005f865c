#include "folders/folder_list.h"

#include "app/application_values.h"
#include "app/dialogs.h"
#include "app/failure_report.h"
#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "folders/folder_list_view.h"
#include "folders/folder_picker.h"
#include "folders/path_cleanup.h"

#include <Qt>

namespace quillmere {

namespace {
const QString kPickerTitle = QStringLiteral("Please select folder:");
}

void addFolderToSearch(FolderListView& view, Dialogs& dialogs) {
    Guard g(dialogs, location::PushButton3Click);
    QString chosen;
    g.step(100, [&] {
        applicationValues().LastFolderDot = GetSetting(settingkey::LastFolderDot, QString());
        chosen = BrowseForFolder(dialogs, kPickerTitle, applicationValues().LastFolderDot);
    });
    if (g.test(102, [&] { return chosen.isEmpty(); }))
        return;
    g.step(104, [&] { view.setMousePointer(pointer::Busy); });
    g.step(106, [&] { view.appendFolderRow(CollapseBackslashes(chosen)); });
    g.step(108, [&] { view.setMousePointer(pointer::Default); });
}

void removeSelectedFolderRow(FolderListView& view) {
    if (view.mousePointer() == pointer::Busy || view.searchRunning())
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

} // namespace quillmere
