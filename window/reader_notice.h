#pragma once

#include "search/extraction/extraction.h"

namespace quillmere::app {
class Dialogs;
}

namespace quillmere::search {
class FoundRows;
class SearchView;
struct SearchSession;
} // namespace quillmere::search

namespace quillmere::window {

// What the window has told the user of where the readers of embedded details ran.
struct ReaderNotice {
    quint64 toldNotRead = 0;   // files that got no reader, up to the last box about them
    bool toldReadHere = false; // readers ran without their sandbox: said once per window
};

// "Start Finding", and after the run's last step one box of its own when files of this search
// got no reader because no helper could start (and, once per window, when the readers ran
// without their sandbox). A click that only stops a search tells nothing.
void startFindingAndTell(search::SearchView& view, app::Dialogs& dialogs,
                         search::SearchSession& session, search::FoundRows& results,
                         ReaderNotice& notice);

} // namespace quillmere::window
