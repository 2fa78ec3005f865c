#pragma once

#include "app/fs/regular_file.h"
#include "details/readers/reader.h"

namespace quillmere::details::readers {

// The text chunks of a PNG before its image data (Title, Author, Description, Copyright, Comment,
// Software, Creation Time) into their columns. False when the file is no readable PNG.
bool addPngText(const app::fs::RegularFile& file, EmbeddedDetails& out);

} // namespace quillmere::details::readers
