#pragma once

#include <QMimeType>
#include <QString>

namespace quillmere {

// How a user thinks of a type of file, derived from its MIME type.
struct MimeKinds {
    QString perceived;        // Image, Audio, Video, Text, Document, Compressed, Application, ...
    QString kind;             // Picture, Music, Video, Document, Program, ...
    QString description = {}; // "JPEG image"
};

// Thread-safe; each MIME type is described and classified once per process.
MimeKinds mimeKinds(const QMimeType& type);

} // namespace quillmere
