#include "details/readers/reader.h"

namespace quillmere::details::readers {

void EmbeddedDetails::add(int column, const QString& value) {
    if (column < 0 || column >= int(values_.size()))
        return;
    QString clean;
    clean.reserve(value.size());
    for (QChar c : value) {
        if (c.category() != QChar::Other_Control)
            clean.append(c);
        else if (c == u'\n' || c == u'\t' || c == u'\r')
            clean.append(u' ');
    }
    clean = clean.trimmed();
    if (clean.isEmpty() || values_[column].contains(clean))
        return;
    values_[column].append(clean);
}

QString EmbeddedDetails::joined(int column) const {
    if (column < 0 || column >= int(values_.size()))
        return {};
    return values_[column].join(QStringLiteral("; "));
}

bool EmbeddedDetails::isEmpty() const {
    for (const QStringList& list : values_) {
        if (!list.isEmpty())
            return false;
    }
    return true;
}

} // namespace quillmere::details::readers
