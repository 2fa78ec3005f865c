#pragma once

#include <QString>

namespace quillmere::results {

// What the results commands need from the window besides the results model itself. The window
// implements it; tests use a fake.
class ResultsView {
public:
    virtual ~ResultsView() = default;

    // The main window's pointer value (app/mouse_pointer.h); busy doubles as "a command runs".
    virtual int mousePointer() const = 0;
    virtual void setMousePointer(int value) = 0;

    // The progress bar under the lists: a value from 0 to 100 and the text drawn on it.
    virtual void setProgressValue(int percent) = 0;
    virtual void setProgressText(const QString& text) = 0;

    // --- The file commands: send to Trash, move to folder ---

    // Repaints the results list, so rows whose files left are seen to be gone at once.
    virtual void redrawResults() = 0;
};

} // namespace quillmere::results
