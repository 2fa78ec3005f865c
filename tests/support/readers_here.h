#pragma once

#include "search/extraction/extraction.h"

namespace quillmere::test {

// Tests of what the readers find run them in this process, as `--in-process` does: no helper
// lives beside a test program, and without one nothing would be read at all. The sandbox has
// tests of its own.
inline void readInThisProcess() {
    search::extraction::Settings settings;
    settings.isolation = search::extraction::Isolation::InProcess;
    search::extraction::configure(settings);
}

} // namespace quillmere::test
