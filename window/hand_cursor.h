#pragma once

#include <QByteArray>
#include <QCursor>
#include <QImage>
#include <QPoint>
#include <QString>

// The hand pointer picture, read from a standard Windows cursor file.
namespace quillmere::window {

inline const QString kHandCursorFileName = QStringLiteral("HAND-M.CUR");

struct CursorPicture {
    QImage image;
    QPoint hotSpot;
};

// Throws Failure when the bytes are not a cursor file that can be decoded.
CursorPicture decodeCursorFile(const QByteArray& bytes);

// Throws Failure when the file cannot be read or decoded.
QCursor loadCursorFile(const QString& path);

} // namespace quillmere::window
