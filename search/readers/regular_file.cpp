#include "search/readers/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    fd_ = fd;
    size_ = st.st_size;
}

RegularFile::~RegularFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

QByteArray RegularFile::read(qint64 offset, qint64 maxBytes) const {
    QByteArray bytes;
    if (fd_ < 0 || offset < 0 || maxBytes <= 0)
        return bytes;
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
    bytes.truncate(got);
    return bytes;
}

int RegularFile::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

} // namespace quillmere::readers
