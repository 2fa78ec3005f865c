#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <exiv2/iptc.hpp>

#include <vector>

namespace quillmere::details::readers {

// The IPTC datasets of the application record that the columns read.
namespace iptc {
constexpr quint8 ObjectName = 5;
constexpr quint8 Keywords = 25;
constexpr quint8 Byline = 80;
constexpr quint8 Copyright = 116;
constexpr quint8 Caption = 120;
} // namespace iptc

// One of those datasets, its bytes as the record holds them.
struct IptcText {
    quint8 dataset = 0;
    QByteArray bytes;
};
using IptcTexts = std::vector<IptcText>;

// The datasets above in IPTC records, by the rules of exiv2's IPTC parser, which the photos'
// details followed before: bytes before a record's marker are skipped, a dataset that may not
// repeat keeps its first value, and a record whose length is damaged loses every dataset. Of one
// dataset, no more is kept than a column could show.
IptcTexts readIptcRecords(QByteArrayView records);

// The same datasets of what exiv2 decoded itself, for the formats it reads whole.
IptcTexts iptcTextsOf(const Exiv2::IptcData& iptc);

} // namespace quillmere::details::readers
