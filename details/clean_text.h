#pragma once

#include <QString>

namespace quillmere::details {

// A detail read from a file, by a helper that may have been taken over, from the store or in this
// process: lone surrogates and control characters other than tab, line feed and carriage return
// become U+FFFD, so no terminal sequence, no NUL and no text that strict UTF-8 or JSON refuses
// goes further. Text without them is left as it is, without a copy.
void cleanText(QString& text);

// The length of `text` cut to at most `units`, keeping a surrogate pair whole or not at all.
qsizetype boundedLength(const QString& text, qsizetype units);

} // namespace quillmere::details
