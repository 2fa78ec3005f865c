#pragma once

#include <QByteArray>

namespace quillmere::details::readers {

// A byte buffer of the calling thread that outlives one file: readers fill it for each file
// without allocating and freeing tens of kilobytes every time (freeing a block that large makes
// the C library consolidate its whole free store). Several may be held at once.
class ScratchBytes {
public:
    ScratchBytes();
    ~ScratchBytes();
    ScratchBytes(const ScratchBytes&) = delete;
    ScratchBytes& operator=(const ScratchBytes&) = delete;

    QByteArray& bytes() { return bytes_; }

private:
    QByteArray bytes_;
};

} // namespace quillmere::details::readers
