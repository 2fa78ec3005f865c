#pragma once

#include <QString>

namespace quillmere::app {
class Dialogs;
}

namespace quillmere::results {

class Clipboard;
class ResultsModel;

// Empties the clipboard / replaces its text, trying up to 1000 times without a pause and without
// a word when the platform keeps refusing.
void ClearClipboard(Clipboard& clipboard);
void SetClipboardText(Clipboard& clipboard, const QString& text);

// The ticked rows as tab-separated lines, each column but the last padded to its widest text over
// every row (ticked or not; headers do not count), blanks at the end of a line dropped, every line
// ended by "\r\n". Throws before touching the clipboard when the list changes under it; an empty
// list leaves the clipboard as it was.
void CopyListviewToClipboard(const ResultsModel& list, Clipboard& clipboard);

// "Copy Results To Clipboard": the copy, then how to paste it, in every case.
void copyResultsToClipboard(app::Dialogs& dialogs, const ResultsModel& list, Clipboard& clipboard);

} // namespace quillmere::results
