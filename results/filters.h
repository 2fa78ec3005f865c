#pragma once

#include <QString>

namespace quillmere {

class Dialogs;
class ResultsModel;
class ResultsView;

namespace results {

// Drop every row whose path, lower-cased, holds the lower-cased phrase (or does not hold it).
// The metadata column, the ticks and the selection play no part; the rest keep their order.
void RemoveRowsContaining(ResultsModel& list, const QString& phrase);
void RemoveRowsNotContaining(ResultsModel& list, const QString& phrase);

// "Clear Results".
void clearResults(Dialogs& dialogs, ResultsModel& list);
// "Remove Results Containing" and "Remove Results Not Containing": ask for the phrase, then filter
// under the busy pointer and leave the arrow pointer.
void removeResultsContaining(ResultsView& view, Dialogs& dialogs, ResultsModel& list);
void removeResultsNotContaining(ResultsView& view, Dialogs& dialogs, ResultsModel& list);

} // namespace results
} // namespace quillmere
