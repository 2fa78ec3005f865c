#pragma once

#include "app/dialogs.h"
#include "results/results_model.h"
#include "results/results_view.h"

namespace quillmere::results {

// "Move Checked To Folder": the files of the ticked rows go into a folder the user picks, which
// "LastFolder" remembers before any file is touched. A row leaves the list when its file has left
// its place; the rows of files that stayed keep their tick, and one message at the end says why.
void moveCheckedToFolder(ResultsView& view, app::Dialogs& dialogs, ResultsModel& results);

} // namespace quillmere::results
