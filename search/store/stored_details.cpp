#include "search/store/stored_details.h"

#include "details/column_ids.h"
#include "details/helper_protocol.h"

#include <QtEndian>

#include <algorithm>

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

// What this program stores is cut to the bounds of a helper's answer; a record past them was
// not written by it, and is not decoded (which would first take its whole size in memory). In
// UTF-8 a UTF-16 code unit takes at most three bytes.
constexpr qsizetype MaxRecordBytes = details::MaxValueUnits * 3;

void put(QByteArray& out, quint8 tag, const QByteArray& utf8) {
    out.append(char(tag));
    char length[4];
    qToLittleEndian(quint32(utf8.size()), length);
    out.append(length, 4);
    out.append(utf8);
}

} // namespace

const qsizetype MaxEncodedBytes =
    details::MaxAnswerUnits * 3 + 2 * MaxRecordBytes + (lastColumn + 1) * 5;

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
    if (bytes.size() > MaxEncodedBytes)
        return false;
    StoredDetails found;
    found.values.reserve(std::min<qsizetype>(recordCount(bytes), lastColumn + 2));
    qsizetype at = 0;
    int lastSeen = 0;
    qsizetype units = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5)
            return false;
        const auto tag = quint8(bytes[at]);
        const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + at + 1);
        at += 5;
        if (length > quint64(bytes.size() - at) || length > quint64(MaxRecordBytes))
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
        // The values together are bounded as an answer's are; the type and the fault beside them
        // are not among them.
        if (tag >= firstColumn)
            units += text.size();
        if (text.size() > details::MaxValueUnits || units > details::MaxAnswerUnits)
            return false;
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
