#pragma once

#include "app/dialogs.h"

#include <QString>

namespace quillmere::app {

// The title every folder picker of the window shows.
inline const QString kFolderPickerTitle = QStringLiteral("Please select folder:");

// The modal chooser of existing folders, opened at the initial folder and owned by the window
// that owns the dialogs; empty text when the user cancels.
QString BrowseForFolder(Dialogs& owner, const QString& title, const QString& initialFolder);

} // namespace quillmere::app
