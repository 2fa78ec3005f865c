#include "details/readers/gimp_xcf.h"

#include "details/column_ids.h"
#include "details/readers/byte_cursor.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/gif_blocks.h"

namespace quillmere::details::readers {
namespace {

// The image properties follow the header; how far into the file they are walked.
constexpr qint64 PropertyWalkBytes = 16 * 1024 * 1024;
constexpr qint64 CommentLimit = 1024 * 1024;

constexpr quint32 PropertyEnd = 0;
constexpr quint32 PropertyParasites = 21;

// "gimp xcf file" (version 0) or "gimp xcf v001" and on, each followed by a NUL byte.
int version(const QByteArray& magic) {
    if (magic.size() != 14 || !magic.startsWith("gimp xcf ") || magic[13] != '\0')
        return -1;
    const QByteArray tag = magic.mid(9, 4);
    if (tag == "file")
        return 0;
    bool ok = false;
    const int number = tag.mid(1).toInt(&ok);
    return tag[0] == 'v' && ok ? number : -1;
}

// The parasites of the image, one after another within `length` bytes; the comment's text.
QString commentAmongParasites(ByteCursor& cursor, qint64 length) {
    const qint64 end = cursor.position() + length;
    QString comment;
    QByteArray name;
    QByteArray data;
    while (cursor.position() < end) {
        bool ok = true;
        const quint32 nameLength = cursor.bigEndian32(ok);
        if (!ok || nameLength > 256 || !cursor.take(nameLength, name))
            break;
        (void)cursor.bigEndian32(ok); // flags
        const quint32 size = cursor.bigEndian32(ok);
        if (!ok || qint64(size) > end - cursor.position())
            break;
        if (name == QByteArrayLiteral("gimp-comment\0") && size <= CommentLimit) {
            if (!cursor.take(size, data))
                break;
            const qsizetype nul = data.indexOf('\0');
            comment = commentText(nul >= 0 ? data.left(nul) : data);
        } else if (!cursor.skip(size)) {
            break;
        }
    }
    return comment;
}

} // namespace

bool addXcfDetails(const app::fs::RegularFile& file, EmbeddedDetails& out) {
    ByteCursor cursor(file, 0, PropertyWalkBytes);
    QByteArray magic;
    if (!cursor.take(14, magic))
        return false;
    const int xcfVersion = version(magic);
    if (xcfVersion < 0)
        return false;
    bool ok = true;
    const quint32 width = cursor.bigEndian32(ok);
    const quint32 height = cursor.bigEndian32(ok);
    (void)cursor.bigEndian32(ok); // base type
    if (xcfVersion >= 4)
        (void)cursor.bigEndian32(ok); // precision
    if (!ok)
        return false;
    out.add(column::Dimensions, dimensionsText(width, height));
    for (;;) {
        const quint32 type = cursor.bigEndian32(ok);
        const quint32 length = cursor.bigEndian32(ok);
        if (!ok || type == PropertyEnd)
            break;
        if (type == PropertyParasites) {
            const qint64 end = cursor.position() + length;
            out.add(column::Comments, commentAmongParasites(cursor, length));
            if (cursor.position() != end && !cursor.skip(end - cursor.position()))
                break;
        } else if (!cursor.skip(length)) {
            break;
        }
    }
    return true;
}

} // namespace quillmere::details::readers
