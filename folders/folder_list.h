#pragma once

#include <QString>

namespace quillmere::app {
class Dialogs;
}

namespace quillmere::folders {

class FolderListView;

// "Add Folder to Search": the chosen folder, cleaned, becomes the last row of the folder list.
void addFolderToSearch(FolderListView& view, app::Dialogs& dialogs);

// A double-click on the folder list, or the Delete key while it has the focus, removes the
// selected row; never while a long command runs, since the search walks the list by row index.
void removeSelectedFolderRow(FolderListView& view);
// Any key pressed on the folder list; true when it was Delete, which the list then swallows.
bool folderListKeyDown(FolderListView& view, int key);

} // namespace quillmere::folders
