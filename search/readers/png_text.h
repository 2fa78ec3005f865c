#pragma once

#include "search/readers/reader.h"
#include "search/readers/regular_file.h"

namespace quillmere::readers {

// The text chunks of a PNG before its image data (Title, Author, Description, Copyright, Comment,
// Software, Creation Time) into their columns. False when the file is no readable PNG.
bool addPngText(const RegularFile& file, EmbeddedDetails& out);

} // namespace quillmere::readers
