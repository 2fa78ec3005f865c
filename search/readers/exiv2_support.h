#pragma once

#include "search/readers/reader.h"

#include <exiv2/exif.hpp>
#include <exiv2/iptc.hpp>
#include <exiv2/xmp_exiv2.hpp>

#include <QDateTime>

namespace quillmere::readers {

// Mutes exiv2's log and initialises its XMP toolkit with a lock, once, before any thread parses.
void prepareExiv2();

// Everything the photo columns take from EXIF, IPTC and XMP, each column's sources in the order
// EXIF, then XMP or IPTC as the column's table row lists them. `dimensions` is the caller's
// measure of the picture (e.g. from its header); EXIF pixel sizes fill in when it is empty.
void addPhotoDetails(const Exiv2::ExifData& exif, const Exiv2::IptcData& iptc,
                     const Exiv2::XmpData& xmp, const QString& jpegComment, QString dimensions,
                     EmbeddedDetails& out);

// "4000 x 3000"; empty when either side is not positive.
QString dimensionsText(qint64 width, qint64 height);

// An EXIF ("2024:05:01 10:20:30"), XMP/ISO 8601 or RFC 2822 time; invalid when unreadable.
QDateTime parsePhotoTime(const QString& text);

} // namespace quillmere::readers
