#pragma once

#include "search/detail_sources.h"

namespace quillmere::test {

// Tests of what the readers find run them in this process, as `--in-process` does: no helper
// nor reader module lives beside a test program, and without one nothing would be read at all. The
// sandbox has tests of its own.
inline search::DetailSources::Setup readingHere() {
    search::DetailSources::Setup setup;
    setup.reading.isolation = search::extraction::Isolation::InProcess;
    setup.reading.readerModule = QByteArrayLiteral(QUILLMERE_READER_MODULE);
    return setup;
}

} // namespace quillmere::test
