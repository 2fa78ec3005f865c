#pragma once

#include <QMap>
#include <QString>

namespace quillmere::bench {

struct TreeSummary {
    int files = 0;
    int folders = 0;
    qint64 bytes = 0;
    int kodakFiles = 0;           // files that hold "Kodak" in some detail
    QMap<QString, int> perFamily; // extension (or "corrupt") -> files
};

// Writes a mixed tree of about `fileCount` files below `root` (created if missing): photos, audio,
// video, PDF, Office and ODF documents, text and corrupted files in nested folders, in roughly the
// proportions of a personal documents folder, with a few of each rarer kind (JPEG XL, GIF, PCX,
// GIMP, raw AAC, ASF, AVIF sequences). The same seed gives the same tree.
TreeSummary generateTree(const QString& root, int fileCount, quint32 seed);

} // namespace quillmere::bench
