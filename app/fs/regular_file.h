#pragma once

#include <QByteArray>

namespace quillmere::app::fs {

// Copies of descriptors go at or above this number: never onto the standard streams, the reader
// helper's socket (3) or the socket of the process it was forked from (4), whose numbers are all
// the seccomp filter can check.
inline constexpr int LowestCopiedFd = 5;

// An open regular file, closed on destruction. Opening never blocks: a FIFO, a device or a
// folder is refused before anything is read from it.
class RegularFile {
public:
    explicit RegularFile(const QByteArray& nativePath);
    // A descriptor its owner opened and will close, checked the same way.
    static RegularFile borrowing(int fd);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    qint64 size() const { return size_; }

    // Up to `maxBytes` from `offset`; shorter at the end of the file (its size when opened) or on
    // a read error.
    QByteArray read(qint64 offset, qint64 maxBytes) const;

    // The same into `bytes`, whose allocation is kept when large enough; returns the count read.
    qint64 readInto(QByteArray& bytes, qint64 offset, qint64 maxBytes) const;

    // Hands the descriptor over to the caller, who then closes it.
    int release();

private:
    RegularFile(int fd, bool owned);
    void adopt(int fd, bool owned);

    int fd_ = -1;
    qint64 size_ = 0;
    bool owned_ = true;
};

} // namespace quillmere::app::fs
