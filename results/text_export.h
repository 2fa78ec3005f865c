#pragma once

#include <QString>

namespace quillmere::app {
class Dialogs;
}

namespace quillmere::results {

class ResultsModel;
class ResultsView;

// Writes the header line and every ticked row to a new file at `path`, each column padded with
// blanks to its widest text (header and every row, ticked or not) and followed by a tab, lines
// ended by "\r\n", in the system's 8-bit encoding. Progress goes to `progress` when one is given.
// Guarded on its own: failures are reported here, never passed to the caller. The new file takes
// the path's place only once it is whole. Returns false when it could not be saved (then
// whatever was at the path stays as it was), so the caller does not announce a file that is not
// there.
bool SaveListviewProperlySpaced(const ResultsModel& list, const QString& path,
                                ResultsView* progress, app::Dialogs& dialogs);

// "Save Results As Text File": the Save dialog, the overwrite question, the export under the busy
// pointer, then "Done.".
void saveResultsAsTextFile(ResultsView& view, app::Dialogs& dialogs, const ResultsModel& list);

} // namespace quillmere::results
