#include "app/fs/path_cleanup.h"

namespace quillmere::app::fs {

namespace {

// Text is QString or QByteArray: "/" is one unit in both, and never part of another character.
template <typename Text> Text collapsePairs(const Text& text, qsizetype from) {
    Text out;
    out.reserve(text.size() - from);
    for (qsizetype i = from; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/')
            ++i;
    }
    return out;
}

template <typename Text> Text collapse(const Text& path) {
    if (!path.startsWith('/'))
        return collapsePairs(path, 0);
    qsizetype k = 0;
    while (k < path.size() && path[k] == '/')
        ++k;
    return Text(1, '/') + collapsePairs(path, k);
}

} // namespace

QString CollapseBackslashes(const QString& path) {
    return collapse(path);
}

QByteArray CollapseBackslashes(const QByteArray& path) {
    return collapse(path);
}

QString FileNameOfPath(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QByteArray FileNameOfPath(const QByteArray& path) {
    return path.mid(path.lastIndexOf('/') + 1);
}

} // namespace quillmere::app::fs
