#pragma once

#include "app/fs/regular_file.h"
#include "details/readers/reader.h"

#include <QString>

namespace quillmere::details::readers {

// The details of a GIF: `dimensions` from its header, the text of its comment extensions, and the
// XMP packet of its application extension, wherever they stand among the pictures.
void addGifDetails(const app::fs::RegularFile& file, const QString& dimensions,
                   EmbeddedDetails& out);

// Text in UTF-8 when it is valid UTF-8, otherwise in Latin-1, as comments of GIF and the portable
// any-maps come.
QString commentText(const QByteArray& bytes);

} // namespace quillmere::details::readers
