#pragma once

#include "app/dialogs.h"
#include "results/results_model.h"
#include "results/results_view.h"

namespace quillmere::results {

// "Send Checked To Recycle Bin": after one Yes/No question naming how many items, the files and
// folders of the ticked rows go to the desktop's Trash, from where the file manager can restore
// them. A row leaves the list when its own entry is gone; the rows of entries that stayed keep
// their tick, and one message at the end says why.
void sendCheckedToRecycleBin(ResultsView& view, app::Dialogs& dialogs, ResultsModel& results);

// The question asked before anything moves.
QString trashQuestion(const std::vector<ResultRow>& rows);

} // namespace quillmere::results
