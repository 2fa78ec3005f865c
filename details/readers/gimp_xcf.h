#pragma once

#include "app/fs/regular_file.h"
#include "details/readers/reader.h"

namespace quillmere::details::readers {

// The size of a GIMP picture (XCF) from its header and the comment it keeps among the parasites
// of its image properties. False when the file is no XCF.
bool addXcfDetails(const app::fs::RegularFile& file, EmbeddedDetails& out);

} // namespace quillmere::details::readers
