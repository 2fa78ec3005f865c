#include "app/escaped_text.h"

#include <algorithm>
#include <cstdio>

namespace quillmere::app {

namespace {

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

bool reordersOrBreaksLines(char32_t c) {
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

bool isEscaped(char32_t c) {
    return isControl(c) || reordersOrBreaksLines(c);
}

// The escape of one character that needs one, as ASCII.
QByteArray escapeOf(char32_t c) {
    switch (c) {
    case '\\':
        return "\\\\";
    case '\t':
        return "\\t";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    default:
        break;
    }
    char hex[16];
    if (isControl(c))
        std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(c));
    else
        std::snprintf(hex, sizeof hex, "\\u%04x", unsigned(c));
    return hex;
}

// The character a UTF-8 sequence at `at` stands for when it is one that is escaped beyond the
// single-byte controls (C1 controls and the format characters), with its length; else {0, 0}.
struct Sequence {
    char32_t character = 0;
    int length = 0;
};
Sequence escapedSequenceAt(const QByteArray& bytes, qsizetype at) {
    const auto byte = [&](qsizetype i) {
        return at + i < bytes.size() ? static_cast<unsigned char>(bytes[at + i]) : 0u;
    };
    const unsigned lead = byte(0);
    if (lead == 0xc2 || lead == 0xd8) {
        const unsigned next = byte(1);
        if (next < 0x80 || next > 0xbf)
            return {};
        const char32_t c = ((lead & 0x1f) << 6) | (next & 0x3f);
        return isEscaped(c) ? Sequence{c, 2} : Sequence{};
    }
    if (lead == 0xe2) {
        const unsigned second = byte(1);
        const unsigned third = byte(2);
        if (second < 0x80 || second > 0xbf || third < 0x80 || third > 0xbf)
            return {};
        const char32_t c = ((lead & 0x0f) << 12) | ((second & 0x3f) << 6) | (third & 0x3f);
        return reordersOrBreaksLines(c) ? Sequence{c, 3} : Sequence{};
    }
    return {};
}

bool byteNeedsEscape(const QByteArray& bytes, qsizetype at) {
    const auto b = static_cast<unsigned char>(bytes[at]);
    return b < 0x20 || b == 0x7f || escapedSequenceAt(bytes, at).length > 0;
}

} // namespace

QByteArray escapeOfCharacter(char32_t c) {
    return c == '\\' || isEscaped(c) ? escapeOf(c) : QByteArray();
}

bool needsEscaping(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return isEscaped(c.unicode()); });
}

QString escapedText(const QString& text, PlainBackslashes plain) {
    if (!needsEscaping(text) && (plain == PlainBackslashes::Kept || !text.contains(u'\\')))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (c == u'\\' || isEscaped(c.unicode()))
            out += QLatin1String(escapeOf(c.unicode()));
        else
            out += c;
    }
    return out;
}

QByteArray escapedText(const QByteArray& bytes, PlainBackslashes plain) {
    bool needed = plain == PlainBackslashes::Escaped && bytes.contains('\\');
    for (qsizetype i = 0; i < bytes.size() && !needed; ++i)
        needed = byteNeedsEscape(bytes, i);
    if (!needed)
        return bytes;
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (qsizetype i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\\' || b < 0x20 || b == 0x7f) {
            out += escapeOf(b);
            ++i;
        } else if (const Sequence s = escapedSequenceAt(bytes, i); s.length > 0) {
            out += escapeOf(s.character);
            i += s.length;
        } else {
            out += char(b);
            ++i;
        }
    }
    return out;
}

} // namespace quillmere::app
