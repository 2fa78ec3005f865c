#include "results/path_text.h"

#include <QMimeData>

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

void appendOneLine(QString& out, QChar c) {
    if (c == u'\\')
        out += QStringLiteral("\\\\");
    else if (c == u'\n')
        out += QStringLiteral("\\n");
    else if (c == u'\t')
        out += QStringLiteral("\\t");
    else if (c.category() == QChar::Other_Control)
        out += hexEscape(c.unicode());
    else
        out += c;
}

} // namespace

QByteArray fileUri(const QByteArray& nativePath) {
    return QByteArrayLiteral("file://") + nativePath.toPercentEncoding("/");
}

QString oneLinePath(const QByteArray& nativePath) {
    QString out;
    out.reserve(nativePath.size());
    for (qsizetype at = 0; at < nativePath.size();) {
        const qsizetype length = utf8SequenceLength(nativePath, at);
        if (length == 0) {
            out += hexEscape(static_cast<unsigned char>(nativePath[at]));
            ++at;
            continue;
        }
        for (const QChar c : QString::fromUtf8(nativePath.constData() + at, length))
            appendOneLine(out, c);
        at += length;
    }
    return out;
}

QMimeData* pathsMimeData(std::span<const QByteArray> nativePaths) {
    QByteArray uris;
    QStringList lines;
    for (const QByteArray& path : nativePaths) {
        uris += fileUri(path) + "\r\n";
        lines << oneLinePath(path);
    }
    auto* data = new QMimeData;
    data->setData(QStringLiteral("text/uri-list"), uris);
    data->setText(lines.join(u'\n'));
    return data;
}

} // namespace quillmere::results
