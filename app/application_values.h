#pragma once

#include <QString>

// Values that live for the whole process and are never persisted by themselves.
namespace quillmere {

struct ApplicationValues {
    bool StopRequested = false; // a running search stops at its next check
    QString SavedStartCaption;  // the caption of "Start Finding" while it reads "Stop"
    QString LastFolder;         // in-memory copy of the setting "LastFolder"
    QString LastFolderDot;      // in-memory copy of the setting "LastFolderDot"
};

ApplicationValues& applicationValues();

} // namespace quillmere
