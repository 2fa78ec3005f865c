#include "search/store/stored_details.h"

#include "details/column_ids.h"

#include <QtEndian>

namespace quillmere::search::store {

namespace {

// Each record: one tag byte, a 32-bit little-endian length, then that many bytes of UTF-8; a
// fault's bytes start with its kind.
enum Tag : quint8 {
    ContentType = 1,
    Fault = 3,
    // 12 to 40: the value of that column
};

constexpr int firstColumn = details::column::DateTaken;
constexpr int lastColumn = 40;

void put(QByteArray& out, quint8 tag, const QByteArray& utf8) {
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
        put(out, ContentType, details.contentType.toUtf8());
    if (details.fault != FaultKind::None)
        put(out, Fault, char(details.fault) + details.faultText.toUtf8());
    for (const auto& [column, text] : details.values)
        put(out, quint8(column), text.toUtf8());
    return out;
}

namespace {

// How many records the bytes hold, as far as their lengths can be followed.
qsizetype recordCount(const QByteArray& bytes) {
    qsizetype count = 0;
    for (qsizetype at = 0; bytes.size() - at >= 5; ++count)
        at += 5 + qsizetype(qFromLittleEndian<quint32>(bytes.constData() + at + 1));
    return count;
}

} // namespace

bool decode(const QByteArray& bytes, StoredDetails& out) {
    StoredDetails found;
    found.values.reserve(recordCount(bytes));
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
        const char* const start = bytes.constData() + at;
        at += qsizetype(length);
        if (tag == Fault) {
            const auto kind = length > 1 ? FaultKind(quint8(start[0])) : FaultKind::None;
            if (found.fault != FaultKind::None ||
                (kind != FaultKind::Rejected && kind != FaultKind::ReaderFailed))
                return false;
            found.fault = kind;
            found.faultText = QString::fromUtf8(start + 1, qsizetype(length) - 1);
            continue;
        }
        QString text = QString::fromUtf8(start, qsizetype(length));
        if (tag == ContentType)
            found.contentType = std::move(text);
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
