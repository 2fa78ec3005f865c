#include "details/readers/jpeg_segments.h"

#include "details/readers/byte_cursor.h"

#include <exiv2/jpgimage.hpp>

#include <string_view>

namespace quillmere::details::readers {

namespace {

// Metadata stands before the picture data; a file that has none within this much is damaged or
// hostile, and what was found until then is kept.
constexpr qint64 SegmentWalkBytes = 16 * 1024 * 1024;

constexpr int StartOfImage = 0xd8;
constexpr int EndOfImage = 0xd9;
constexpr int StartOfScan = 0xda;
constexpr int App1 = 0xe1;
constexpr int App13 = 0xed;
constexpr int Comment = 0xfe;

constexpr std::string_view ExifId("Exif\0\0", 6);
constexpr std::string_view XmpId("http://ns.adobe.com/xap/1.0/\0", 29);
constexpr std::string_view PhotoshopId("Photoshop 3.0\0", 14);

// Frame headers: every start-of-frame code but the Huffman table definition (0xc4).
bool isStartOfFrame(int marker) {
    return (marker >= 0xc0 && marker <= 0xc3) || (marker >= 0xc5 && marker <= 0xcf);
}

// The next marker's code, past any bytes before it and the fill bytes of its prefix; -1 at the
// end.
int nextMarker(ByteCursor& cursor) {
    int byte = 0;
    while ((byte = cursor.next()) != 0xff) {
        if (byte < 0)
            return -1;
    }
    while ((byte = cursor.next()) == 0xff) {
    }
    return byte;
}

bool startsWith(const QByteArray& bytes, std::string_view id) {
    return bytes.size() >= qsizetype(id.size()) &&
           std::string_view(bytes.constData(), id.size()) == id;
}

int bigEndian16(const QByteArray& bytes, qsizetype at) {
    return (int(quint8(bytes[at])) << 8) | int(quint8(bytes[at + 1]));
}

} // namespace

bool readJpegSegments(const app::fs::RegularFile& file, JpegSegments& out) {
    ByteCursor cursor(file, 0, SegmentWalkBytes);
    if (cursor.next() != 0xff || cursor.next() != StartOfImage)
        return false;
    bool photoshopWhole = false;
    QByteArray body;
    for (int marker = nextMarker(cursor);
         marker >= 0 && marker != StartOfScan && marker != EndOfImage;
         marker = nextMarker(cursor)) {
        const int high = cursor.next();
        const int low = cursor.next();
        if (low < 0)
            break;
        const int length = (high << 8 | low) - 2; // the segment's length counts its own two bytes
        if (length < 0)
            break;
        const bool wanted = marker == App1 || marker == App13 || marker == Comment ||
                            (isStartOfFrame(marker) && out.height == 0);
        if (!wanted) {
            if (!cursor.skip(length))
                break;
            continue;
        }
        if (!cursor.take(length, body))
            break;
        if (marker == App1 && out.exif.isEmpty() && startsWith(body, ExifId)) {
            out.exif = body.mid(qsizetype(ExifId.size()));
        } else if (marker == App1 && out.xmp.isEmpty() && startsWith(body, XmpId)) {
            out.xmp = body.mid(qsizetype(XmpId.size()));
        } else if (marker == App13 && !photoshopWhole && startsWith(body, PhotoshopId)) {
            out.photoshop += body.mid(qsizetype(PhotoshopId.size()));
            // Large resource blocks go on in the next segment: joined until they parse.
            photoshopWhole = !out.photoshop.isEmpty() &&
                             Exiv2::Photoshop::valid(
                                 reinterpret_cast<const Exiv2::byte*>(out.photoshop.constData()),
                                 long(out.photoshop.size()));
        } else if (marker == Comment && out.comment.isEmpty()) {
            qsizetype end = body.size();
            while (end > 0 && body[end - 1] == '\0')
                --end;
            out.comment = body.left(end);
        } else if (isStartOfFrame(marker)) {
            if (length < 6)
                break;
            out.height = bigEndian16(body, 1);
            out.width = bigEndian16(body, 3);
        }
    }
    return true;
}

} // namespace quillmere::details::readers
