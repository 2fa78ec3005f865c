#pragma once

#include <QByteArrayView>

#include <exiv2/exif.hpp>
#include <exiv2/value.hpp>

#include <memory>
#include <vector>

namespace quillmere::details::readers {

// A tag of EXIF data's first image directory (IFD0) or of its Exif directory, with its value as
// exiv2 holds it.
struct ExifTag {
    quint16 tag = 0;
    bool image = false; // IFD0; else the Exif directory
    std::unique_ptr<Exiv2::Value> value;
};
using ExifTags = std::vector<ExifTag>;

// The tags of IFD0 and of the Exif directory in TIFF data as EXIF holds it, each value read by
// exiv2's value types, in the order and by the bounds of exiv2's own decoding. Nothing when the
// data has no TIFF header. The other directories (the thumbnail's, GPS, maker notes) are not
// read: no column comes from them, and a maker note is most of a camera's EXIF.
ExifTags readExifTags(QByteArrayView tiff);

// The same tags of what exiv2 decoded itself, for the formats it reads whole.
ExifTags exifTagsOf(const Exiv2::ExifData& exif);

} // namespace quillmere::details::readers
