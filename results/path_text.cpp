#include "results/path_text.h"

#include "app/escaped_text.h"

#include <QMimeData>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace quillmere::results {

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none (a stray
// continuation byte, an overlong form, a surrogate, a value past U+10FFFF, a cut sequence).
qsizetype utf8SequenceLength(const QByteArray& bytes, qsizetype at) {
    const auto byteAt = [&](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned lead = byteAt(at);
    qsizetype length = 0;
    char32_t value = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        value = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        value = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (qsizetype i = 1; i < length; ++i) {
        const unsigned next = byteAt(at + i);
        if ((next & 0xc0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3f);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    const bool surrogate = value >= 0xd800 && value <= 0xdfff;
    return overlong || surrogate || value > 0x10ffff ? 0 : length;
}

QString hexEscape(unsigned value) {
    return QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0'));
}

// The escape of the character at `at` (whose valid UTF-8 sequence is `length` long) by the
// program's one rule, or the empty text when it stands as it is.
QString escapeAt(const QByteArray& bytes, qsizetype at, qsizetype length) {
    const auto byteAt = [&](qsizetype i) { return static_cast<unsigned char>(bytes[at + i]); };
    char32_t c = length == 1   ? byteAt(0)
                 : length == 2 ? byteAt(0) & 0x1f
                 : length == 3 ? byteAt(0) & 0x0f
                               : byteAt(0) & 0x07;
    for (qsizetype i = 1; i < length; ++i)
        c = (c << 6) | (byteAt(i) & 0x3f);
    return QString::fromLatin1(app::escapeOfCharacter(c));
}

// Holds the two forms as they were made. QMimeData's own setData parses a URI list into a URL
// per line, which took seconds at a million paths and held every one of them twice.
class PathsMimeData : public QMimeData {
public:
    PathsMimeData(QByteArray uris, QString text) : uris_(std::move(uris)), text_(std::move(text)) {}

    QStringList formats() const override {
        return {QStringLiteral("text/uri-list"), QStringLiteral("text/plain")};
    }
    bool hasFormat(const QString& mimeType) const override { return formats().contains(mimeType); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType) const override {
        if (mimeType == QLatin1String("text/uri-list"))
            return uris_;
        if (mimeType == QLatin1String("text/plain"))
            return text_;
        return {};
    }

private:
    QByteArray uris_;
    QString text_;
};

} // namespace

QByteArray fileUri(const QByteArray& nativePath) {
    return QByteArrayLiteral("file://") + nativePath.toPercentEncoding("/");
}

QString oneLinePath(const QByteArray& nativePath) {
    // Runs that need no escape are decoded whole: a million paths go through here for a copy.
    QString out;
    out.reserve(nativePath.size());
    qsizetype runStart = 0;
    const auto flushRun = [&](qsizetype runEnd) {
        out += QString::fromUtf8(nativePath.constData() + runStart, runEnd - runStart);
    };
    for (qsizetype at = 0; at < nativePath.size();) {
        const qsizetype length = utf8SequenceLength(nativePath, at);
        const QString escape = length == 0 ? hexEscape(static_cast<unsigned char>(nativePath[at]))
                                           : escapeAt(nativePath, at, length);
        const qsizetype next = at + std::max<qsizetype>(length, 1);
        if (!escape.isEmpty()) {
            flushRun(at);
            out += escape;
            runStart = next;
        }
        at = next;
    }
    flushRun(nativePath.size());
    return out;
}

QMimeData* pathsMimeData(std::span<const QByteArray> nativePaths,
                         const std::function<void()>& yield) {
    QByteArray uris;
    QString text;
    for (const QByteArray& path : nativePaths) {
        uris += fileUri(path) + "\r\n";
        if (!text.isEmpty())
            text += u'\n';
        text += oneLinePath(path);
        if (yield)
            yield();
    }
    uris.squeeze();
    text.squeeze();
    return new PathsMimeData(std::move(uris), std::move(text));
}

} // namespace quillmere::results
