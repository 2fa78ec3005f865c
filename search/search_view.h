#pragma once

#include <QString>

namespace quillmere::search {

// What the window shows at start-up and the search puts back at its end.
inline const QString kFolderListHeader = QStringLiteral("Folder(s)");
inline const QString kProgressBarText = QStringLiteral("Progress Bar");

// What "Start Finding" needs from the window. The window implements it; tests use a fake.
class SearchView {
public:
    virtual ~SearchView() = default;

    // The folder list, read by row index (0 is the first row); the count may change mid-run.
    virtual int folderRowCount() const = 0;
    virtual QString folderRowText(int row) const = 0;
    // The folder list's column header doubles as the search status line.
    virtual void setFolderListHeader(const QString& text) = 0;

    // The phrase box as typed, and the two option boxes "Match Case" and "Search In Subfolders
    // Also".
    virtual QString phrase() const = 0;
    virtual bool matchCase() const = 0;
    virtual bool searchInSubfolders() const = 0;

    // The caption of "Start Finding", which reads "Stop" while a run goes on.
    virtual QString startCaption() const = 0;
    virtual void setStartCaption(const QString& caption) = 0;

    // The progress bar under the lists: a value from 0 to 100 and the text drawn on it.
    virtual void setProgressValue(int percent) = 0;
    virtual void setProgressText(const QString& text) = 0;

    // The main window's pointer value (app/mouse_pointer.h).
    virtual int mousePointer() const = 0;
    virtual void setMousePointer(int value) = 0;
};

} // namespace quillmere::search
