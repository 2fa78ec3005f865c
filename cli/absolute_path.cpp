#include "cli/absolute_path.h"

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

} // namespace

QByteArray absolutePath(QByteArray path) {
    if (path.startsWith('/'))
        return path;
    QByteArray folder = currentFolder();
    if (folder.isEmpty())
        return path;
    while (path.startsWith("./"))
        path.remove(0, 2);
    if (path == "." || path.isEmpty())
        return folder;
    if (!folder.endsWith('/'))
        folder.append('/');
    return folder + path;
}

} // namespace quillmere::cli
