#pragma once

#include "app/fs/regular_file.h"
#include "details/readers/scratch_bytes.h"

#include <QByteArray>

namespace quillmere::details::readers {

// Reads a file front to back through a window, for formats walked block by block (GIF, XCF).
// Nothing is read past the file's end or past `budget` bytes from its start; every read or skip
// beyond them fails, and so does every one after it.
class ByteCursor {
public:
    ByteCursor(const app::fs::RegularFile& file, qint64 start, qint64 budget);

    qint64 position() const { return position_; }

    // The next byte, or -1.
    int next();
    // The next `count` bytes into `out`; false, with `out` empty, when fewer are left.
    bool take(qint64 count, QByteArray& out);
    bool skip(qint64 count);
    quint32 bigEndian32(bool& ok);

private:
    bool fill();

    const app::fs::RegularFile& file_;
    qint64 position_;
    qint64 end_;
    ScratchBytes scratch_;
    QByteArray& window_ = scratch_.bytes();
    qint64 windowStart_ = 0;
    bool failed_ = false;
};

} // namespace quillmere::details::readers
