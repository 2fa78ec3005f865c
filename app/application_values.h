#pragma once

#include <QString>

// Values that live for the whole process and are never persisted by themselves. The search's
// own values belong to its window (search/search_session.h).
namespace quillmere::app {

struct ApplicationValues {
    QString LastFolder;    // in-memory copy of the setting "LastFolder"
    QString LastFolderDot; // in-memory copy of the setting "LastFolderDot"
};

ApplicationValues& applicationValues();

} // namespace quillmere::app
