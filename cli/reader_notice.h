#pragma once

#include "search/extraction/extraction.h"

#include <QByteArray>

namespace quillmere::cli {

// The line `find` writes to stderr after its search when files got no reader (no helper could
// start) or were read in this process without the sandbox, given the figures from before the
// search; empty when neither happened. One line for the whole run, however many files.
QByteArray readerNoticeLines(const search::extraction::ReadingNotice& before,
                             const search::extraction::ReadingNotice& after);

} // namespace quillmere::cli
