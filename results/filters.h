#pragma once

#include <QString>

namespace quillmere::app {
class Dialogs;
}

namespace quillmere::results {

class ResultsModel;
class ResultsView;

// Drop every row whose path, lower-cased, holds the lower-cased phrase (or does not hold it).
// The metadata column, the ticks and the selection play no part; the rest keep their order.
void RemoveRowsContaining(ResultsModel& list, const QString& phrase);
void RemoveRowsNotContaining(ResultsModel& list, const QString& phrase);

// "Clear Results".
void clearResults(app::Dialogs& dialogs, ResultsModel& list);
// "Remove Results Containing" and "Remove Results Not Containing": ask for the phrase, then filter
// under the busy pointer and leave the arrow pointer.
void removeResultsContaining(ResultsView& view, app::Dialogs& dialogs, ResultsModel& list);
void removeResultsNotContaining(ResultsView& view, app::Dialogs& dialogs, ResultsModel& list);

} // namespace quillmere::results
