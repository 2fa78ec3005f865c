#pragma once

namespace quillmere {

class Dialogs;
class ResultsModel;

namespace search {

class SearchView;
struct SearchSession;

// "Start Finding": while its caption reads "Stop" a click asks the running search to stop;
// otherwise it searches every folder of the folder list and appends the matches to `results`.
void startFinding(SearchView& view, Dialogs& dialogs, SearchSession& session,
                  ResultsModel& results);

} // namespace search
} // namespace quillmere
