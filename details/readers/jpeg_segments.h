#pragma once

#include "app/fs/regular_file.h"

#include <QByteArray>

namespace quillmere::details::readers {

// The metadata a JPEG holds in the segments before its picture data.
struct JpegSegments {
    QByteArray exif;      // the first EXIF segment, from its TIFF header on
    QByteArray xmp;       // the first XMP packet
    QByteArray photoshop; // the Photoshop segments' resource blocks, joined until they are whole
    QByteArray comment;   // the first comment, without trailing NULs
    int width = 0;
    int height = 0;
};

// Walks the segments of a file that starts as a JPEG up to its picture data, its end or the
// first damage, and keeps what was found until then. False when the file does not start as a
// JPEG.
bool readJpegSegments(const app::fs::RegularFile& file, JpegSegments& out);

} // namespace quillmere::details::readers
