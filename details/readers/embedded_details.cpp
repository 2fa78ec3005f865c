#include "details/readers/reader.h"

#include <algorithm>

namespace quillmere::details::readers {

namespace {

// Unicode's control characters (category Cc), which are exactly these.
bool isControl(QChar c) {
    return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f);
}

} // namespace

void EmbeddedDetails::add(int column, const QString& value) {
    if (column < 0 || column >= int(values_.size()))
        return;
    // Most values hold no control character: they are kept as they are, without a copy.
    QString clean = value;
    if (std::any_of(value.cbegin(), value.cend(), isControl)) {
        clean.clear();
        clean.reserve(value.size());
        for (QChar c : value) {
            if (!isControl(c))
                clean.append(c);
            else if (c == u'\n' || c == u'\t' || c == u'\r')
                clean.append(u' ');
        }
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
