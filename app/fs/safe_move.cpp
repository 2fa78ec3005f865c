#include "app/fs/safe_move.h"

#include "app/fs/file_system.h"
#include "app/fs/path_cleanup.h"
#include "app/fs/path_entry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::app::fs {

namespace {

constexpr int kMaxNumberedNames = 9999;

QString describe(int errnum) {
    return QString::fromLocal8Bit(std::strerror(errnum));
}

QByteArray folderOf(const QByteArray& path) {
    return path.left(path.lastIndexOf('/') + 1);
}

// Makes a new name in a folder last across a power cut before anything depends on it.
void syncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// Returns 0 or the errno. EEXIST when the target name is taken, EXDEV across file systems.
int renameKeepingExisting(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // A file system without the no-replace rename: a hard link refuses a taken name as well.
    if (::link(from.constData(), to.constData()) == 0) {
        if (::unlink(from.constData()) == 0)
            return 0;
        const int unlinkError = errno;
        ::unlink(to.constData());
        return unlinkError;
    }
    if (errno == EEXIST || errno == EXDEV)
        return errno;
    // Nor hard links (FAT and the like): test and rename, with a window the others do not have.
    if (PathEntryExists(to))
        return EEXIST;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

int renameTo(const QByteArray& from, const QByteArray& to, Placing placing) {
    if (placing == Placing::KeepExisting)
        return renameKeepingExisting(from, to);
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

bool readFully(int fd, char* buffer, size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer += got;
        size -= size_t(got);
    }
    return true;
}

// Why the copy cannot stand in for the source, or nothing when it can.
std::optional<QString> copyDiffers(const QByteArray& source, const QByteArray& copy) {
    struct stat original {};
    struct stat copied {};
    if (::stat(source.constData(), &original) != 0 || ::stat(copy.constData(), &copied) != 0)
        return describe(errno);
    if (original.st_size != copied.st_size)
        return QStringLiteral("The copy is not the same size as the original");
    if (original.st_size > kVerifiedContentLimit)
        return std::nullopt;
    const int from = ::open(source.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int to = ::open(copy.constData(), O_RDONLY | O_CLOEXEC);
    std::optional<QString> problem;
    if (from < 0 || to < 0) {
        problem = describe(errno);
    } else {
        // Read the copy from the disk, not from the cache that the write just filled.
        ::posix_fadvise(to, 0, 0, POSIX_FADV_DONTNEED);
        constexpr size_t kChunk = 1 << 16;
        QByteArray a(kChunk, Qt::Uninitialized);
        QByteArray b(kChunk, Qt::Uninitialized);
        for (qint64 left = original.st_size; left > 0 && !problem;) {
            const size_t n = size_t(std::min<qint64>(left, qint64(kChunk)));
            if (!readFully(from, a.data(), n) || !readFully(to, b.data(), n))
                problem = QStringLiteral("The copy could not be read back");
            else if (std::memcmp(a.constData(), b.constData(), n) != 0)
                problem = QStringLiteral("The copy differs from the original");
            left -= qint64(n);
        }
    }
    if (from >= 0)
        ::close(from);
    if (to >= 0)
        ::close(to);
    return problem;
}

Placement copyIntoPlace(const QByteArray& source, const QByteArray& target, Placing placing) {
    using Result = Placement::Result;
    const QByteArray folder = folderOf(target);
    QByteArray temporary = folder + ".quillmere-move-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return {Result::Failed, describe(errno)};
    ::close(fd);
    try {
        fs::copyFile(source, temporary, fs::IfExists::Overwrite);
    } catch (const fs::FileSystemError& failure) {
        ::unlink(temporary.constData());
        return {Result::Failed, QString::fromLocal8Bit(failure.what())};
    }
    if (const std::optional<QString> problem = copyDiffers(source, temporary)) {
        ::unlink(temporary.constData());
        return {Result::Failed, *problem};
    }
    if (const int error = renameTo(temporary, target, placing)) {
        ::unlink(temporary.constData());
        if (error == EEXIST)
            return {Result::NameTaken, describe(error)};
        return {Result::Failed, describe(error)};
    }
    syncFolder(folder);
    return {Result::Copied, {}};
}

} // namespace

Placement placeFile(const QByteArray& source, const QByteArray& target, Placing placing) {
    using Result = Placement::Result;
    const int error = renameTo(source, target, placing);
    if (error == 0) {
        syncFolder(folderOf(target));
        return {Result::Renamed, {}};
    }
    if (error == EEXIST)
        return {Result::NameTaken, describe(error)};
    if (error != EXDEV)
        return {Result::Failed, describe(error)};
    return copyIntoPlace(source, target, placing);
}

QByteArray freeNameBeside(const QByteArray& target) {
    const QByteArray name = FileNameOfPath(target);
    const QByteArray folder = target.left(target.size() - name.size());
    // A leading dot names a hidden file, not an extension.
    qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0)
        dot = name.size();
    const QByteArray stem = name.left(dot);
    const QByteArray extension = name.mid(dot);
    for (int number = 2; number <= kMaxNumberedNames; ++number) {
        QByteArray candidate = folder + stem + " (" + QByteArray::number(number) + ")" + extension;
        if (!PathEntryExists(candidate))
            return candidate;
    }
    return {};
}

} // namespace quillmere::app::fs
