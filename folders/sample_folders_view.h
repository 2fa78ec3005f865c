#pragma once

#include <QString>
#include <QUrl>

namespace quillmere::folders {

// What "Load Sample/Example Folders" needs from the window. The window implements it; tests use
// a fake.
class SampleFoldersView {
public:
    virtual ~SampleFoldersView() = default;

    virtual void appendFolderRow(const QString& text) = 0;
    // Sets the phrase box's text, which stores it like typing does.
    virtual void setPhrase(const QString& text) = 0;
    // Opens a folder in the desktop's file browser, without waiting for it.
    virtual void openUrl(const QUrl& url) = 0;
};

} // namespace quillmere::folders
