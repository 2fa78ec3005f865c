#pragma once

#include <QtGlobal>

namespace quillmere::search::store {

// What tells that a file is unchanged since its details were read: the file whose contents are
// read (a link's target). Device numbers are (major << 32) | minor, whichever call gave them.
struct FileSignature {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds since the epoch
    qint64 changed = 0;  // the inode's change time, which no one can set back
    bool operator==(const FileSignature&) const = default;
};

} // namespace quillmere::search::store
