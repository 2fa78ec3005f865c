#pragma once

#include "app/fs/regular_file.h"
#include "details/readers/reader.h"

namespace quillmere::details::readers {

// True when a file's first bytes are PNG's signature.
bool isPng(const QByteArray& head);

// The details of a PNG from its chunks before the image data: the size; EXIF from its eXIf chunk
// or a raw profile, IPTC from a raw profile and XMP from its text chunk; and the texts Title,
// Author, Description, Copyright, Comment, Software and Creation Time into their columns. False
// when the file is no readable PNG.
bool addPngDetails(const app::fs::RegularFile& file, EmbeddedDetails& out);

} // namespace quillmere::details::readers
