#include "details/readers/iptc_records.h"

#include <exiv2/datasets.hpp>

#include <algorithm>
#include <array>

namespace quillmere::details::readers {

namespace {

constexpr unsigned char Marker = 0x1c;
constexpr quint8 ApplicationRecord = 2;

bool isRead(quint8 dataset) {
    return dataset == iptc::ObjectName || dataset == iptc::Keywords || dataset == iptc::Byline ||
           dataset == iptc::Copyright || dataset == iptc::Caption;
}

// Beyond this much of one dataset nothing more can show, as a column's value is cut at 32,768
// characters; each text counts its bytes and what holding it costs. A crafted block of a few
// megabytes could otherwise ask for a million texts.
constexpr qsizetype MaxBytesPerDataset = qsizetype(1) << 20;
constexpr qsizetype CostPerText = 32;

class Kept {
public:
    void keep(quint8 record, quint8 dataset, QByteArrayView bytes, IptcTexts& out) {
        if (record != ApplicationRecord || !isRead(dataset))
            return;
        qsizetype& kept = bytes_[dataset];
        if (kept > 0 && !Exiv2::IptcDataSets::dataSetRepeatable(dataset, record))
            return;
        if (kept >= MaxBytesPerDataset)
            return;
        kept += bytes.size() + CostPerText;
        out.push_back({dataset, bytes.toByteArray()});
    }

private:
    std::array<qsizetype, 256> bytes_{}; // by dataset; more than 0 once one was kept
};

} // namespace

IptcTexts readIptcRecords(QByteArrayView records) {
    IptcTexts out;
    Kept kept;
    const auto* p = reinterpret_cast<const unsigned char*>(records.data());
    const auto* const end = p + records.size();
    while (end - p >= 6) {
        if (*p++ != Marker)
            continue;
        const quint8 record = *p++;
        const quint8 dataset = *p++;
        quint64 size = 0;
        if (*p & 0x80) {
            // An extended dataset: its length says how many bytes its length takes.
            const unsigned lengthBytes = ((unsigned(p[0]) << 8) | p[1]) & 0x7fff;
            p += 2;
            if (lengthBytes > 4 || lengthBytes > quint64(end - p))
                return {};
            for (unsigned i = 0; i < lengthBytes; ++i)
                size = (size << 8) | *p++;
        } else {
            size = (unsigned(p[0]) << 8) | p[1];
            p += 2;
        }
        if (size > quint64(end - p))
            return {};
        kept.keep(record, dataset, QByteArrayView(p, qsizetype(size)), out);
        p += size;
    }
    return out;
}

IptcTexts iptcTextsOf(const Exiv2::IptcData& iptc) {
    IptcTexts out;
    for (const Exiv2::Iptcdatum& datum : iptc) {
        if (datum.record() == ApplicationRecord && datum.tag() <= 0xff &&
            isRead(quint8(datum.tag()))) {
            const std::string text = datum.toString();
            out.push_back({quint8(datum.tag()), QByteArray(text.data(), qsizetype(text.size()))});
        }
    }
    return out;
}

} // namespace quillmere::details::readers
