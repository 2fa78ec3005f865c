#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

namespace quillmere::search::store {

// What the embedded details of one file came to, in a form that looks the same whenever it is
// shown again: no text here depends on the locale, except the Date taken values (see
// dependsOnDisplayFormat).
// Why a file's embedded details could not be read, when the same file would fail the same way
// again.
enum class FaultKind : quint8 {
    None = 0,
    // The reader of its type could not make sense of it; the text is that MIME type.
    Rejected = 1,
    // The reader failed in its helper: it crashed, ran out of memory or processor time, or
    // answered nonsense; the text is the cause as the helper's end was described.
    ReaderFailed = 2,
};

struct StoredDetails {
    QList<std::pair<int, QString>> values; // columns 12 to 40 that have a value, in column order
    QString contentType; // the content's MIME type, when the name's type was wrong
    FaultKind fault = FaultKind::None;
    QString faultText; // as FaultKind says; empty without a fault

    // Date taken is written in the locale's short date format and the local time zone.
    bool dependsOnDisplayFormat() const;

    bool operator==(const StoredDetails&) const = default;
};

// A compact byte form for the store. decode() takes any bytes: false when they do not hold a
// well-formed record, or hold more than the bounds of one file's answer (which this program
// never stores), so a damaged or planted entry is only a miss.
QByteArray encode(const StoredDetails& details);
// The most bytes decode() accepts: larger entries need not even be loaded.
extern const qsizetype MaxEncodedBytes;
bool decode(const QByteArray& bytes, StoredDetails& out);

} // namespace quillmere::search::store
