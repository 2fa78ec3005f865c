#pragma once

#include <QMimeType>
#include <QString>

#include <initializer_list>

namespace quillmere::details {

// How a user thinks of a type of file, derived from its MIME type.
struct MimeKinds {
    QString perceived;        // Image, Audio, Video, Text, Document, Compressed, Application, ...
    QString kind;             // Picture, Music, Video, Document, Program, ...
    QString description = {}; // "JPEG image"
};

// Whether `type` is or inherits one of the named MIME types.
bool inheritsAny(const QMimeType& type, std::initializer_list<const char*> names);

// Thread-safe; each MIME type is described and classified once per process.
MimeKinds mimeKinds(const QMimeType& type);

// The type that a file name gives, as QMimeDatabase::mimeTypesForFileName(name).first(), or an
// invalid type when the name matches no pattern. Thread-safe; the database is asked once per
// thread and name ending, so threads seldom meet at its lock.
QMimeType mimeTypeForFileName(const QString& name);

} // namespace quillmere::details
