#include "window/hand_cursor.h"

#include "app/failure_report.h"
#include "app/fs/error_text.h"
#include "app/fs/regular_file.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QtEndian>

#include <cerrno>

namespace quillmere::window {

namespace {

// Cursor files are a few kilobytes; anything this large is not one.
constexpr qint64 kLargestCursorFile = 1 << 20;
constexpr qsizetype kHeaderBytes = 6 + 16; // directory header and its first entry

} // namespace

CursorPicture decodeCursorFile(const QByteArray& bytes) {
    if (bytes.size() < kHeaderBytes)
        throw app::Failure(QStringLiteral("Invalid picture: the cursor file is too short"));
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const quint16 reserved = qFromLittleEndian<quint16>(data);
    const quint16 type = qFromLittleEndian<quint16>(data + 2);
    const quint16 count = qFromLittleEndian<quint16>(data + 4);
    if (reserved != 0 || (type != 1 && type != 2) || count == 0)
        throw app::Failure(QStringLiteral("Invalid picture: not a cursor file"));

    // A cursor differs from an icon only in its type and in the hot spot that replaces the
    // icon's planes and bit count, which the icon reader ignores anyway.
    QByteArray asIcon = bytes;
    asIcon[2] = 1;
    QBuffer buffer(&asIcon);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    QImage image = reader.read();
    if (image.isNull())
        throw app::Failure(QStringLiteral("Invalid picture: ") + reader.errorString());

    CursorPicture picture;
    picture.image = image.convertToFormat(QImage::Format_ARGB32);
    if (type == 2) {
        const int x = qFromLittleEndian<quint16>(data + 10);
        const int y = qFromLittleEndian<quint16>(data + 12);
        picture.hotSpot = QPoint(qBound(0, x, image.width() - 1), qBound(0, y, image.height() - 1));
    }
    return picture;
}

QCursor loadCursorFile(const QString& path) {
    // Opened without blocking and refused unless regular: a FIFO or a device of that name
    // would otherwise hold start-up forever.
    errno = 0;
    const app::fs::RegularFile file(QFile::encodeName(path));
    if (!file.isOpen())
        throw app::Failure(errno != 0 ? app::fs::errorText(errno)
                                      : QStringLiteral("Invalid picture: not a regular file"));
    if (file.size() > kLargestCursorFile)
        throw app::Failure(QStringLiteral("Invalid picture: the cursor file is too large"));
    const QByteArray bytes = file.read(0, kLargestCursorFile + 1);
    if (bytes.size() > kLargestCursorFile)
        throw app::Failure(QStringLiteral("Invalid picture: the cursor file is too large"));
    const CursorPicture picture = decodeCursorFile(bytes);
    return QCursor(QPixmap::fromImage(picture.image), picture.hotSpot.x(), picture.hotSpot.y());
}

} // namespace quillmere::window
