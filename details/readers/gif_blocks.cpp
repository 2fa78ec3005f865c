#include "details/readers/gif_blocks.h"

#include "details/column_ids.h"
#include "details/readers/byte_cursor.h"
#include "details/readers/exiv2_support.h"

#include <QStringDecoder>

namespace quillmere::details::readers {
namespace {

// The blocks are walked by their lengths, the pictures' data skipped; a comment or XMP after
// many frames of a large animation is given up at this point.
constexpr qint64 BlockWalkBytes = 8 * 1024 * 1024;
// Larger comments and XMP packets are not worth reading.
constexpr qint64 TextLimit = 1024 * 1024;

constexpr qint64 HeaderBytes = 13; // signature, version, logical screen descriptor

// The sub-blocks that follow an extension's label or a picture's code size, up to the empty one
// that ends them. Their data goes into `data` while it stays under the limit.
bool readSubBlocks(ByteCursor& cursor, QByteArray* data) {
    QByteArray block;
    for (;;) {
        const int size = cursor.next();
        if (size < 0)
            return false;
        if (size == 0)
            return true;
        if (!data || data->size() + size > TextLimit) {
            if (!cursor.skip(size))
                return false;
            continue;
        }
        if (!cursor.take(size, block))
            return false;
        data->append(block);
    }
}

bool skipColourTable(ByteCursor& cursor, int flags) {
    return !(flags & 0x80) || cursor.skip(3 * (qint64(2) << (flags & 7)));
}

// An XMP application extension stores the packet's bytes as they are, so that they read as
// sub-blocks by chance, and ends them with a run of descending bytes that ends any such reading;
// the packet is what comes before that run.
QByteArray xmpPacket(const QByteArray& data) {
    const qsizetype trailer = data.indexOf(QByteArrayLiteral("\x01\xff\xfe\xfd\xfc"));
    return trailer >= 0 ? data.left(trailer) : data;
}

} // namespace

QString commentText(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

void addGifDetails(const app::fs::RegularFile& file, const QString& dimensions,
                   EmbeddedDetails& out) {
    ByteCursor cursor(file, 0, BlockWalkBytes);
    QStringList comments;
    QByteArray xmp;
    QByteArray header;
    if (cursor.take(HeaderBytes, header) && skipColourTable(cursor, quint8(header[10]))) {
        for (bool more = true; more;) {
            switch (cursor.next()) {
            case 0x21: { // an extension
                const int label = cursor.next();
                if (label == 0xfe) {
                    QByteArray text;
                    more = readSubBlocks(cursor, &text);
                    comments.append(commentText(text));
                } else if (label == 0xff) {
                    QByteArray identifier;
                    more = cursor.next() == 11 && cursor.take(11, identifier);
                    // The packet's bytes, length bytes included, are the extension's rest.
                    const qint64 start = cursor.position();
                    more = more && readSubBlocks(cursor, nullptr);
                    const qint64 length = cursor.position() - start;
                    if (more && identifier == "XMP DataXMP" && xmp.isEmpty() && length <= TextLimit)
                        xmp = xmpPacket(file.read(start, length));
                } else {
                    more = label >= 0 && readSubBlocks(cursor, nullptr);
                }
                break;
            }
            case 0x2c: { // a picture: its descriptor, colours, code size and data
                QByteArray descriptor;
                more = cursor.take(9, descriptor) &&
                       skipColourTable(cursor, quint8(descriptor[8])) && cursor.next() >= 0 &&
                       readSubBlocks(cursor, nullptr);
                break;
            }
            default: // the trailer, the end of the budget, or damage
                more = false;
                break;
            }
        }
    }
    for (const QString& comment : comments)
        out.add(column::Comments, comment);
    try {
        addPhotoDetails({}, {}, readXmpPacket(xmp), QString(), dimensions, out);
    } catch (const std::exception&) {
    }
}

} // namespace quillmere::details::readers
