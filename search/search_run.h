#pragma once

namespace quillmere::app {
class Dialogs;
}

namespace quillmere::search {

class FoundRows;
class SearchView;
struct SearchSession;

// "Start Finding": while its caption reads "Stop" a click asks the running search to stop;
// otherwise it searches every folder of the folder list and hands the matches to `results`.
void startFinding(SearchView& view, app::Dialogs& dialogs, SearchSession& session,
                  FoundRows& results);

} // namespace quillmere::search
