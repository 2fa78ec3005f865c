#pragma once

#include <QString>

namespace quillmere::app {
class Dialogs;
}

namespace quillmere::folders {

class SampleFoldersView;

// "Load Sample/Example Folders": lists the Samples folder beside the program, offers to open it,
// and sets the phrase the sample files answer to.
void loadSampleFolders(SampleFoldersView& view, app::Dialogs& dialogs,
                       const QString& programFolder);

} // namespace quillmere::folders
