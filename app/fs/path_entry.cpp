#include "app/fs/path_entry.h"

#include <QFile>

#include <cerrno>

#include <sys/stat.h>

namespace quillmere::app::fs {

bool PathEntryExists(const QByteArray& nativePath) {
    // An embedded NUL would silently shorten the path to a different entry.
    if (nativePath.isEmpty() || nativePath.contains('\0'))
        return false;
    struct stat info {};
    return ::lstat(nativePath.constData(), &info) == 0;
}

bool pathEntryGone(const QByteArray& nativePath) {
    if (nativePath.isEmpty() || nativePath.contains('\0'))
        return false;
    struct stat info {};
    return ::lstat(nativePath.constData(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool PathEntryExists(const QString& path) {
    return PathEntryExists(QFile::encodeName(path));
}

} // namespace quillmere::app::fs
