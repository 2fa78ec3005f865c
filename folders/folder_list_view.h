#pragma once

#include <QString>

namespace quillmere::folders {

// What the folder-list commands need from the window. The window implements it; tests use a fake.
class FolderListView {
public:
    virtual ~FolderListView() = default;

    // The folder list's rows, by index (0 is the first row).
    virtual int folderRowCount() const = 0;
    virtual void appendFolderRow(const QString& text) = 0;
    virtual void removeFolderRow(int row) = 0;
    // The selected row, or -1 when none is.
    virtual int currentFolderRow() const = 0;

    // The main window's pointer value (app/mouse_pointer.h); busy doubles as "a command runs".
    virtual int mousePointer() const = 0;
    virtual void setMousePointer(int value) = 0;
    // True while a search walks the folder list by row index.
    virtual bool searchRunning() const = 0;
};

} // namespace quillmere::folders
