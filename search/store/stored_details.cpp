#include "search/store/stored_details.h"

#include "details/column_ids.h"

#include <QtEndian>

namespace quillmere::search::store {

namespace {

// Each record: one tag byte, a 32-bit little-endian length, then that many bytes of UTF-8.
enum Tag : quint8 {
    ContentType = 1,
    UnreadableType = 2,
    // 12 to 40: the value of that column
};

constexpr int firstColumn = details::column::DateTaken;
constexpr int lastColumn = 40;

void put(QByteArray& out, quint8 tag, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    out.append(char(tag));
    char length[4];
    qToLittleEndian(quint32(utf8.size()), length);
    out.append(length, 4);
    out.append(utf8);
}

} // namespace

bool StoredDetails::dependsOnDisplayFormat() const {
    for (const auto& [column, text] : values) {
        if (column == details::column::DateTaken)
            return true;
    }
    return false;
}

QByteArray encode(const StoredDetails& details) {
    QByteArray out;
    if (!details.contentType.isEmpty())
        put(out, ContentType, details.contentType);
    if (!details.unreadableType.isEmpty())
        put(out, UnreadableType, details.unreadableType);
    for (const auto& [column, text] : details.values)
        put(out, quint8(column), text);
    return out;
}

bool decode(const QByteArray& bytes, StoredDetails& out) {
    StoredDetails found;
    qsizetype at = 0;
    int lastSeen = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5)
            return false;
        const auto tag = quint8(bytes[at]);
        const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + at + 1);
        at += 5;
        if (length > quint64(bytes.size() - at))
            return false;
        QString text = QString::fromUtf8(bytes.constData() + at, qsizetype(length));
        at += qsizetype(length);
        if (tag == ContentType)
            found.contentType = std::move(text);
        else if (tag == UnreadableType)
            found.unreadableType = std::move(text);
        else if (tag >= firstColumn && tag <= lastColumn && tag > lastSeen && !text.isEmpty()) {
            found.values.append({int(tag), std::move(text)});
            lastSeen = tag;
        } else
            return false;
    }
    out = std::move(found);
    return true;
}

} // namespace quillmere::search::store
