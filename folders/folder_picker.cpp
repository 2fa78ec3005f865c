#include "folders/folder_picker.h"

namespace quillmere {

QString BrowseForFolder(Dialogs& owner, const QString& title, const QString& initialFolder) {
    return owner.chooseFolder(title, initialFolder);
}

} // namespace quillmere
