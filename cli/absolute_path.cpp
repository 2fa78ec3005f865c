#include "cli/absolute_path.h"

#include <QList>

#include <cerrno>

#include <unistd.h>

namespace quillmere::cli {

namespace {

constexpr qsizetype kLongestFolderName = 1 << 20;

QByteArray currentFolder() {
    QByteArray buffer(4096, '\0');
    while (::getcwd(buffer.data(), size_t(buffer.size())) == nullptr) {
        if (errno != ERANGE || buffer.size() > kLongestFolderName)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    return QByteArray(buffer.constData());
}

// Runs of "/" and "." components name the same entry once dropped; ".." is kept, since through a
// symbolic link it need not lead back. Rows are told apart by their paths, so "a//b" and "a/./b"
// would list every item twice beside "a/b". A last "/" stays: it makes a link stand for its
// folder.
QByteArray withoutEmptyComponents(const QByteArray& path, const QByteArray& given) {
    QByteArray out;
    out.reserve(path.size());
    for (const QByteArray& component : path.split('/')) {
        if (component.isEmpty() || component == ".")
            continue;
        out += '/' + component;
    }
    if (out.isEmpty() || given.endsWith('/') || given.endsWith("/."))
        out += '/';
    return out;
}

} // namespace

QByteArray absolutePath(QByteArray path) {
    // An empty argument, such as a script's unset variable, names no entry, not the current folder.
    if (path.isEmpty())
        return path;
    if (path.startsWith('/'))
        return withoutEmptyComponents(path, path);
    QByteArray folder = currentFolder();
    if (folder.isEmpty())
        return path;
    return withoutEmptyComponents(folder + '/' + path, path);
}

} // namespace quillmere::cli
