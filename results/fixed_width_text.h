#pragma once

#include <QString>

#include <functional>

// The pieces the text file and the clipboard copy build their aligned, tab-separated lines from.
// Widths and lengths count UTF-16 code units, as the list holds its texts.
namespace quillmere::results {

class ResultsModel;

// The text of one cell as it is written: column 0 is the path as shown, column 1 the metadata,
// escaped where they hold a character that would split or reorder the line, so the escaped
// length is what counts toward the widths. Throws Failure
// when the row no longer exists, which happens when a command that ran during a pump shortened
// the list.
QString cellText(const ResultsModel& list, int row, int column);
// Whether the row is ticked; throws like cellText when it no longer exists.
bool rowIsTicked(const ResultsModel& list, int row);

// The widest text of `column` over rows 0 to rowCount - 1, checked or not, and never less than
// `atLeast`. `eachCell` runs before every cell is read (the loops let messages run there).
int columnWidth(const ResultsModel& list, int column, int rowCount, int atLeast,
                const std::function<void()>& eachCell);
// The same, raising `width` as it goes: when a row has vanished it throws like cellText, and
// `width` keeps the widest text reached before it, so the later rows are still padded.
void widenToColumn(const ResultsModel& list, int column, int rowCount, int& width,
                   const std::function<void()>& eachCell);

// Appends the text, the blanks that bring it to `width` (none when it is already as wide or
// wider), and a tab.
void appendPaddedCell(QString& line, const QString& text, int width);

// Ends a clipboard line: drops the tab after its last cell and every blank before that tab
// (blanks only, not tabs), then appends carriage return and line feed.
void endClipboardLine(QString& text);

} // namespace quillmere::results
