#include "folders/path_cleanup.h"

namespace quillmere {

namespace {

QString collapsePairs(QStringView text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == QLatin1Char('/') && i + 1 < text.size() && text[i + 1] == QLatin1Char('/'))
            ++i;
    }
    return out;
}

} // namespace

QString CollapseBackslashes(const QString& path) {
    if (!path.startsWith(QLatin1Char('/')))
        return collapsePairs(path);
    qsizetype k = 0;
    while (k < path.size() && path[k] == QLatin1Char('/'))
        ++k;
    return QLatin1Char('/') + collapsePairs(QStringView(path).mid(k));
}

QString FileNameOfPath(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace quillmere
