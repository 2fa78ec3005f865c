#include "details/readers/exif_tags.h"

#include <exiv2/error.hpp>

#include <algorithm>

namespace quillmere::details::readers {

namespace {

constexpr quint16 ExifPointer = 0x8769;
constexpr quint16 GpsPointer = 0x8825;
constexpr quint16 SubImagesPointer = 0x014a;
constexpr quint16 InteropPointer = 0xa005; // in the Exif directory
constexpr quint16 UserComment = 0x9286;
// exiv2 takes a directory of more entries for damage and reads none of them.
constexpr quint16 MaxEntries = 256;
// A count this large is damage: the entry is left out.
constexpr quint32 MaxCount = 0x10000000;
constexpr quint32 EntryBytes = 12;

class TiffWalk {
public:
    TiffWalk(QByteArrayView tiff, Exiv2::ByteOrder order)
        : data_(reinterpret_cast<const Exiv2::byte*>(tiff.data())), size_(quint32(tiff.size())),
          order_(order) {}

    void readDirectory(quint32 start, bool image, ExifTags& out) {
        if (seen(start))
            return;
        if (quint64(start) + 2 > size_)
            return;
        const quint16 count = Exiv2::getUShort(data_ + start, order_);
        if (count > MaxEntries)
            return;
        for (quint64 at = quint64(start) + 2, i = 0; i < count && at + EntryBytes <= size_;
             ++i, at += EntryBytes) {
            const quint16 tag = Exiv2::getUShort(data_ + at, order_);
            add(at, tag, image, out);
            if (!image) {
                if (tag == InteropPointer)
                    markSeen(subDirectories(at), 0);
                continue;
            }
            if (tag == ExifPointer) {
                // Read where exiv2 decodes it: its tags follow those of IFD0 up to the pointer.
                const std::vector<quint32> starts = subDirectories(at);
                if (!starts.empty())
                    readDirectory(starts.front(), false, out);
                markSeen(starts, 1);
            } else if (tag == GpsPointer || tag == SubImagesPointer) {
                // Not read, but a directory exiv2 met first is not read again as another.
                markSeen(subDirectories(at), 0);
            }
        }
    }

private:
    struct Entry {
        Exiv2::TypeId type;
        quint32 count;
        const Exiv2::byte* data;
        quint32 size;
    };

    // The entry at `at` as exiv2 reads it: data beyond the block gives an empty value.
    bool readEntry(quint64 at, quint16 tag, bool image, Entry& entry) const {
        const quint16 tiffType = Exiv2::getUShort(data_ + at + 2, order_);
        entry.type = Exiv2::TypeId(tiffType);
        if (!image && tag == UserComment && entry.type == Exiv2::undefined)
            entry.type = Exiv2::comment;
        const quint32 typeSize = quint32(std::max(1L, Exiv2::TypeInfo::typeSize(entry.type)));
        entry.count = Exiv2::getULong(data_ + at + 4, order_);
        if (entry.count >= MaxCount)
            return false;
        entry.size = typeSize * entry.count;
        entry.data = data_ + at + 8;
        if (entry.size > 4) {
            const quint32 offset = Exiv2::getULong(data_ + at + 8, order_);
            if (offset == 0 || offset >= size_ || entry.size > size_ - offset)
                entry.size = 0;
            else
                entry.data = data_ + offset;
        }
        return true;
    }

    void add(quint64 at, quint16 tag, bool image, ExifTags& out) const {
        Entry entry{};
        if (!readEntry(at, tag, image, entry))
            return;
        std::unique_ptr<Exiv2::Value> value(Exiv2::Value::create(entry.type).release());
        if (!value)
            return;
        value->read(entry.data, long(entry.size), order_);
        out.push_back({tag, image, std::move(value)});
    }

    // The directories a pointer entry names, up to the first out of bounds; none unless it holds
    // 32-bit offsets.
    std::vector<quint32> subDirectories(quint64 at) const {
        Entry entry{};
        std::vector<quint32> starts;
        if (!readEntry(at, ExifPointer, true, entry) ||
            (entry.type != Exiv2::unsignedLong && entry.type != Exiv2::signedLong &&
             entry.type != Exiv2::tiffIfd))
            return starts;
        // A value read short of its count ends where the data does.
        const quint32 count = std::min(entry.count, entry.size / 4);
        for (quint32 i = 0; i < count && i < 9; ++i) {
            const quint32 offset = Exiv2::getULong(entry.data + 4 * i, order_);
            if (offset > size_)
                break;
            starts.push_back(offset);
        }
        return starts;
    }

    bool seen(quint32 start) {
        if (std::find(seen_.begin(), seen_.end(), start) != seen_.end())
            return true;
        seen_.push_back(start);
        return false;
    }
    void markSeen(const std::vector<quint32>& starts, size_t from) {
        for (size_t i = from; i < starts.size(); ++i)
            seen(starts[i]);
    }

    const Exiv2::byte* const data_;
    const quint32 size_;
    const Exiv2::ByteOrder order_;
    std::vector<quint32> seen_; // directory starts, in the order exiv2 meets them
};

} // namespace

ExifTags readExifTags(QByteArrayView tiff) {
    ExifTags out;
    // exiv2 reads at most 4 GiB; an EXIF block never comes near.
    if (tiff.size() < 8 || quint64(tiff.size()) > 0xffffffffULL)
        return out;
    const auto* bytes = reinterpret_cast<const Exiv2::byte*>(tiff.data());
    Exiv2::ByteOrder order = Exiv2::invalidByteOrder;
    if (bytes[0] == 'I' && bytes[1] == 'I')
        order = Exiv2::littleEndian;
    else if (bytes[0] == 'M' && bytes[1] == 'M')
        order = Exiv2::bigEndian;
    if (order == Exiv2::invalidByteOrder || Exiv2::getUShort(bytes + 2, order) != 42)
        return out;
    const quint32 first = Exiv2::getULong(bytes + 4, order);
    if (first >= quint64(tiff.size()))
        return out;
    try {
        TiffWalk(tiff, order).readDirectory(first, true, out);
    } catch (const Exiv2::AnyError&) {
        // A value exiv2 would not read: what came before stands.
    }
    return out;
}

ExifTags exifTagsOf(const Exiv2::ExifData& exif) {
    ExifTags out;
    for (const Exiv2::Exifdatum& datum : exif) {
        const std::string group = datum.groupName();
        if (group != "Image" && group != "Photo")
            continue;
        std::unique_ptr<Exiv2::Value> value(datum.getValue().release());
        if (value)
            out.push_back({datum.tag(), group == "Image", std::move(value)});
    }
    return out;
}

} // namespace quillmere::details::readers
