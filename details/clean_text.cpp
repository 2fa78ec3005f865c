#include "details/clean_text.h"

namespace quillmere::details {

namespace {

bool isRefusedControl(char16_t unit) {
    if (unit == u'\t' || unit == u'\n' || unit == u'\r')
        return false;
    return unit < 0x20 || (unit >= 0x7f && unit < 0xa0);
}

// A surrogate without its other half.
bool isUnpaired(const QString& text, qsizetype at) {
    const char16_t unit = text[at].unicode();
    if (QChar::isHighSurrogate(unit))
        return at + 1 >= text.size() || !QChar::isLowSurrogate(text[at + 1].unicode());
    if (QChar::isLowSurrogate(unit))
        return at == 0 || !QChar::isHighSurrogate(text[at - 1].unicode());
    return false;
}

} // namespace

void cleanText(QString& text) {
    const qsizetype size = text.size();
    const QChar* units = text.constData();
    qsizetype at = 0;
    while (at < size && !isRefusedControl(units[at].unicode()) && !units[at].isSurrogate())
        ++at;
    if (at == size)
        return;
    // Surrogates are checked against the text as it was, before any unit changes.
    const QString before = text;
    for (; at < size; ++at) {
        if (isRefusedControl(before[at].unicode()) || isUnpaired(before, at))
            text[at] = QChar::ReplacementCharacter;
    }
}

qsizetype boundedLength(const QString& text, qsizetype units) {
    if (text.size() <= units)
        return text.size();
    if (units > 0 && text.at(units - 1).isHighSurrogate())
        --units;
    return units;
}

} // namespace quillmere::details
