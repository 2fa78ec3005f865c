#include "app/folder_picker.h"

namespace quillmere::app {

QString BrowseForFolder(Dialogs& owner, const QString& title, const QString& initialFolder) {
    return owner.chooseFolder(title, initialFolder);
}

} // namespace quillmere::app
