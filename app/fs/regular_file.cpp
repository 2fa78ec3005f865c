#include "app/fs/regular_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::app::fs {

namespace {

int openNonBlocking(const QByteArray& nativePath) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    return ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

} // namespace

RegularFile::RegularFile(const QByteArray& nativePath) {
    const int fd = openNonBlocking(nativePath);
    if (fd >= 0)
        adopt(fd, true);
}

RegularFile::RegularFile(int fd, bool owned) {
    if (fd >= 0)
        adopt(fd, owned);
}

RegularFile RegularFile::borrowing(int fd) {
    return RegularFile(fd, false);
}

void RegularFile::adopt(int fd, bool owned) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (owned)
            ::close(fd);
        return;
    }
    // O_NONBLOCK stays: reads of a regular file do not heed it, and clearing it costs two calls.
    fd_ = fd;
    size_ = st.st_size;
    owned_ = owned;
}

RegularFile::~RegularFile() {
    if (fd_ >= 0 && owned_)
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
    // A borrowed descriptor stays its owner's: the caller gets a copy of its own.
    const int fd = owned_ || fd_ < 0 ? fd_ : ::fcntl(fd_, F_DUPFD_CLOEXEC, LowestCopiedFd);
    // The new owner may read through stdio, which is not ready for a non-blocking descriptor.
    if (fd >= 0) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    fd_ = -1;
    return fd;
}

} // namespace quillmere::app::fs
