#include "support/test_files.h"

#include <QFile>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::test {

bool makeTree(const QByteArray& root, const QList<QByteArray>& entries, const QByteArray& content) {
    for (const QByteArray& entry : entries) {
        const qsizetype arrow = entry.indexOf(" -> ");
        if (arrow >= 0) {
            const QByteArray link = root + '/' + entry.left(arrow);
            if (::symlink(entry.mid(arrow + 4).constData(), link.constData()) != 0)
                return false;
        } else if (entry.endsWith('/')) {
            const QByteArray folder = root + '/' + entry;
            if (::mkdir(folder.constData(), 0755) != 0)
                return false;
        } else {
            const QByteArray file = root + '/' + entry;
            if (!writeBytes(file, content) || ::chmod(file.constData(), 0644) != 0)
                return false;
        }
    }
    return true;
}

bool makeTree(const QString& root, const QStringList& entries, const QByteArray& content) {
    QList<QByteArray> native;
    for (const QString& entry : entries)
        native << QFile::encodeName(entry);
    return makeTree(QFile::encodeName(root), native, content);
}

bool writeBytes(const QByteArray& path, const QByteArray& bytes) {
    FILE* file = std::fopen(path.constData(), "wb");
    if (!file)
        return false;
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file) == size_t(bytes.size());
    return std::fclose(file) == 0 && written;
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    return writeBytes(QFile::encodeName(path), bytes);
}

QByteArray readBytes(const QByteArray& path) {
    QByteArray bytes;
    if (FILE* file = std::fopen(path.constData(), "rb")) {
        char buffer[65536];
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            bytes.append(buffer, qsizetype(got));
        std::fclose(file);
    }
    return bytes;
}

QByteArray readBytes(const QString& path) {
    return readBytes(QFile::encodeName(path));
}

} // namespace quillmere::test
