#include "search/readers/regular_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quillmere::readers {

RegularFile::RegularFile(const QByteArray& nativePath) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    // O_NONBLOCK stays: reads of a regular file do not heed it, and clearing it costs two calls.
    fd_ = fd;
    size_ = st.st_size;
}

RegularFile::~RegularFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

QByteArray RegularFile::read(qint64 offset, qint64 maxBytes) const {
    QByteArray bytes;
    readInto(bytes, offset, maxBytes);
    return bytes;
}

qint64 RegularFile::readInto(QByteArray& bytes, qint64 offset, qint64 maxBytes) const {
    // Reading up to the size known from opening spares the call that would only find the end.
    maxBytes = std::min(maxBytes, size_ - offset);
    if (fd_ < 0 || offset < 0 || maxBytes <= 0) {
        bytes.resize(0);
        return 0;
    }
    bytes.resize(maxBytes);
    qint64 got = 0;
    while (got < maxBytes) {
        const ssize_t n = ::pread(fd_, bytes.data() + got, size_t(maxBytes - got), offset + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.resize(got);
    return got;
}

int RegularFile::release() {
    const int fd = fd_;
    // The new owner may read through stdio, which is not ready for a non-blocking descriptor.
    if (fd >= 0) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    fd_ = -1;
    return fd;
}

namespace {
// Buffers given back by ScratchBytes, for the next file of the same thread.
thread_local std::vector<QByteArray> spareBuffers;
} // namespace

ScratchBytes::ScratchBytes() {
    if (!spareBuffers.empty()) {
        bytes_ = std::move(spareBuffers.back());
        spareBuffers.pop_back();
    }
}

ScratchBytes::~ScratchBytes() {
    // A buffer grown past a few windows is let go rather than kept for the thread's life.
    if (bytes_.capacity() <= 1024 * 1024 && spareBuffers.size() < 8) {
        bytes_.resize(0);
        spareBuffers.push_back(std::move(bytes_));
    }
}

} // namespace quillmere::readers
