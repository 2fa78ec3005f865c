#include "search/store/store_files.h"

#include "app/fs/error_text.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::search::store {

namespace {

QString failure(const char* what, const QByteArray& path, int error) {
    return QString::fromLatin1(what) + QFile::decodeName(path) + QStringLiteral(": ") +
           app::fs::errorText(error);
}

} // namespace

QString distrustOf(const QByteArray& folder, const QByteArray& path) {
    struct stat info {};
    if (::lstat(folder.constData(), &info) == 0) {
        if (info.st_uid != ::geteuid())
            return QFile::decodeName(folder) + QStringLiteral(" belongs to another user");
        if (S_ISDIR(info.st_mode) && (info.st_mode & 022) != 0)
            return QFile::decodeName(folder) + QStringLiteral(" can be changed by other users");
    }
    for (const QByteArray& file : {path, path + "-wal", path + "-shm"}) {
        if (::lstat(file.constData(), &info) == 0 && info.st_uid != ::geteuid())
            return QFile::decodeName(file) + QStringLiteral(" belongs to another user");
    }
    return {};
}

namespace {

// Other users could have written what the store or its log hold: none of it is trusted.
bool othersCouldWrite(const QByteArray& path) {
    for (const QByteArray& file : {path, path + "-wal", path + "-shm"}) {
        struct stat info {};
        // A symbolic link's own mode means nothing; only who may change the folder counts.
        if (::lstat(file.constData(), &info) == 0 && !S_ISLNK(info.st_mode) &&
            (info.st_mode & 022) != 0)
            return true;
    }
    return false;
}

} // namespace

QString makePrivateFolder(const QByteArray& folder) {
    if (folder.isEmpty() || !folder.startsWith('/'))
        return QStringLiteral("no cache folder");
    qsizetype at = 1;
    while (at <= folder.size()) {
        qsizetype slash = folder.indexOf('/', at);
        if (slash < 0)
            slash = folder.size();
        const QByteArray part = folder.left(slash);
        at = slash + 1;
        if (part.endsWith('/') || part.isEmpty())
            continue;
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST)
            return failure("cannot make ", part, errno);
    }
    struct stat info {};
    if (::lstat(folder.constData(), &info) != 0)
        return failure("cannot reach ", folder, errno);
    if (!S_ISDIR(info.st_mode))
        return QFile::decodeName(folder) + QStringLiteral(" is not a folder");
    if (info.st_uid == ::geteuid() && (info.st_mode & 077) != 0)
        ::chmod(folder.constData(), 0700);
    return {};
}

QString makePrivateFile(const QByteArray& path) {
    if (othersCouldWrite(path))
        setAside(path);
    const int fd =
        ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return failure("cannot open ", path, errno);
    struct stat info {};
    QString problem;
    if (::fstat(fd, &info) != 0)
        problem = failure("cannot read the metadata of ", path, errno);
    else if (!S_ISREG(info.st_mode))
        problem = QFile::decodeName(path) + QStringLiteral(" is not a regular file");
    else if ((info.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0)
        problem = failure("cannot make private ", path, errno);
    ::close(fd);
    return problem;
}

void setAside(const QByteArray& path) {
    ::rename(path.constData(), (path + ".broken").constData());
    ::unlink((path + "-wal").constData());
    ::unlink((path + "-shm").constData());
}

qint64 bytesOnDisk(const QByteArray& path) {
    qint64 total = 0;
    for (const QByteArray& file : {path, path + "-wal"}) {
        struct stat info {};
        if (::stat(file.constData(), &info) == 0)
            total += qint64(info.st_size);
    }
    return total;
}

} // namespace quillmere::search::store
