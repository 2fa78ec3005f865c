#include "app/fs/regular_file.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/gif_blocks.h"
#include "details/readers/gimp_xcf.h"
#include "details/readers/reader.h"
#include "details/readers/scratch_bytes.h"

#include "details/column_ids.h"

#include <QByteArrayView>

#include <cstdlib>
#include <optional>

namespace quillmere::details::readers {
namespace {

// Pictures whose size is read from the header, never by decoding pixels (BMP, GIF, ICO and cursors,
// PCX, the portable any-maps, GIMP's XCF), with the few texts some of them keep: the comments of
// GIF, the any-maps and XCF, and GIF's XMP.

// 6 bytes of icon directory and 16 per picture, for the most pictures a directory can list.
constexpr qint64 HeaderBytes = 6 + 16 * 65535;
// A portable any-map's header is a few tokens, perhaps with comments between them.
constexpr qint64 AnyMapHeaderBytes = 4096;

struct Size {
    qint64 width = 0;
    qint64 height = 0;
};

quint32 le16(QByteArrayView bytes, qsizetype at) {
    return quint32(quint8(bytes[at])) | quint32(quint8(bytes[at + 1])) << 8;
}

quint32 le32(QByteArrayView bytes, qsizetype at) {
    return le16(bytes, at) | le16(bytes, at + 2) << 16;
}

std::optional<Size> bmpSize(QByteArrayView head) {
    if (head.size() < 26 || !head.startsWith("BM"))
        return std::nullopt;
    const quint32 infoSize = le32(head, 14);
    if (infoSize == 12) // the OS/2 header: unsigned 16-bit sides
        return Size{le16(head, 18), le16(head, 20)};
    if (infoSize < 40)
        return std::nullopt;
    // A negative height marks rows stored top-down; the picture is as tall either way.
    const auto width = qint64(qint32(le32(head, 18)));
    const auto height = qint64(qint32(le32(head, 22)));
    return Size{width, std::abs(height)};
}

std::optional<Size> gifSize(QByteArrayView head) {
    if (head.size() < 10 || !(head.startsWith("GIF87a") || head.startsWith("GIF89a")))
        return std::nullopt;
    return Size{le16(head, 6), le16(head, 8)};
}

// The largest picture of an icon or cursor file; a side stored as 0 is 256.
std::optional<Size> icoSize(QByteArrayView head) {
    if (head.size() < 6 || le16(head, 0) != 0 || (le16(head, 2) != 1 && le16(head, 2) != 2))
        return std::nullopt;
    const qsizetype count = le16(head, 4);
    if (count == 0)
        return std::nullopt;
    Size largest;
    for (qsizetype i = 0; i < count && 6 + 16 * (i + 1) <= head.size(); ++i) {
        const qsizetype at = 6 + 16 * i;
        const Size size{quint8(head[at]) ? quint8(head[at]) : 256,
                        quint8(head[at + 1]) ? quint8(head[at + 1]) : 256};
        if (size.width * size.height > largest.width * largest.height)
            largest = size;
    }
    return largest;
}

// PCX: the picture's corners, inclusive.
std::optional<Size> pcxSize(QByteArrayView head) {
    if (head.size() < 12 || quint8(head[0]) != 0x0a || head[2] != 1)
        return std::nullopt;
    const int version = quint8(head[1]);
    const int bits = quint8(head[3]);
    if ((version != 0 && (version < 2 || version > 5)) ||
        (bits != 1 && bits != 2 && bits != 4 && bits != 8))
        return std::nullopt;
    const qint64 xMin = le16(head, 4);
    const qint64 yMin = le16(head, 6);
    const qint64 xMax = le16(head, 8);
    const qint64 yMax = le16(head, 10);
    if (xMax < xMin || yMax < yMin)
        return std::nullopt;
    return Size{xMax - xMin + 1, yMax - yMin + 1};
}

// The next decimal token of a portable any-map header, past blanks and "#" comments, whose texts
// go into `comments`; -1 when there is none.
qint64 anyMapNumber(QByteArrayView head, qsizetype& at, QList<QByteArray>* comments = nullptr) {
    for (;;) {
        while (at < head.size() && QByteArrayView(" \t\r\n\f\v").contains(head[at]))
            ++at;
        if (at < head.size() && head[at] == '#') {
            const qsizetype start = ++at;
            while (at < head.size() && head[at] != '\n' && head[at] != '\r')
                ++at;
            if (comments)
                comments->append(head.sliced(start, at - start).trimmed().toByteArray());
            continue;
        }
        break;
    }
    qint64 value = 0;
    const qsizetype start = at;
    while (at < head.size() && head[at] >= '0' && head[at] <= '9' && at - start < 10)
        value = value * 10 + (head[at++] - '0');
    return at > start ? value : -1;
}

// The size, and the comment lines of the header into `comments`.
std::optional<Size> anyMapSize(QByteArrayView head, QList<QByteArray>& comments) {
    if (head.size() < 3 || head[0] != 'P')
        return std::nullopt;
    if (head[1] >= '1' && head[1] <= '6') {
        qsizetype at = 2;
        const qint64 width = anyMapNumber(head, at, &comments);
        const qint64 height = anyMapNumber(head, at, &comments);
        // Bitmaps (P1, P4) end their header there; the others with the largest sample value.
        if (head[1] != '1' && head[1] != '4')
            (void)anyMapNumber(head, at, &comments);
        return Size{width, height};
    }
    if (head[1] != '7')
        return std::nullopt;
    // PAM: "WIDTH n" and "HEIGHT n" lines before "ENDHDR".
    Size size;
    for (qsizetype start = 0; start < head.size();) {
        qsizetype end = head.indexOf('\n', start);
        if (end < 0)
            end = head.size();
        const QByteArrayView line = head.sliced(start, end - start).trimmed();
        start = end + 1;
        if (line == "ENDHDR")
            break;
        if (line.startsWith('#')) {
            comments.append(line.sliced(1).trimmed().toByteArray());
            continue;
        }
        qsizetype at = 6;
        if (line.startsWith("WIDTH "))
            size.width = anyMapNumber(line, at);
        at = 7;
        if (line.startsWith("HEIGHT "))
            size.height = anyMapNumber(line, at);
    }
    return size;
}

class ImageHeaderReader final : public Reader {
public:
    // GIF's XMP goes through exiv2's parser.
    void prepare() const override { prepareExiv2(); }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        const app::fs::RegularFile opened = openToRead(file);
        if (!opened.isOpen())
            return false;
        ScratchBytes scratch;
        QByteArray& bytes = scratch.bytes();
        opened.readInto(bytes, 0, 9);
        if (bytes.startsWith("gimp xcf "))
            return addXcfDetails(opened, out);
        // Only an icon directory is long; every other header fits the any-map's window.
        const bool icon = bytes.startsWith(QByteArrayView("\0\0", 2));
        opened.readInto(bytes, 0, icon ? HeaderBytes : AnyMapHeaderBytes);
        const QByteArrayView head(bytes);
        std::optional<Size> size = icon ? icoSize(head) : bmpSize(head);
        if (!size)
            size = pcxSize(head);
        if (!size && gifSize(head)) {
            prepareExiv2();
            const Size gif = *gifSize(head);
            addGifDetails(opened, dimensionsText(gif.width, gif.height), out);
            return true;
        }
        QList<QByteArray> comments;
        if (!size)
            size = anyMapSize(head, comments);
        if (!size)
            return false;
        out.add(column::Dimensions, dimensionsText(size->width, size->height));
        // A comment of several lines is one text.
        out.add(column::Comments, commentText(comments.join('\n')));
        return true;
    }
};

} // namespace

const Reader& imageHeaderReader() {
    static const ImageHeaderReader reader;
    return reader;
}

} // namespace quillmere::details::readers
