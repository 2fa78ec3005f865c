#include "details/readers/summary_code_page.h"

namespace quillmere::details::readers {
namespace {

constexpr qsizetype SetHeaderBytes = 28; // byte order, version, system, class, section count
constexpr qsizetype SectionEntry = 20;   // format identifier and offset
constexpr quint32 CodePageProperty = 1;
constexpr quint32 TwoByteInteger = 2; // VT_I2
constexpr qsizetype Added = 8 + 8;    // one more identifier and offset, one more value

quint32 le32(const QByteArray& b, qsizetype at) {
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 |
           quint32(quint8(b[at + 2])) << 16 | quint32(quint8(b[at + 3])) << 24;
}

void putLe32(QByteArray& b, qsizetype at, quint32 value) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((value >> (8 * i)) & 0xff);
}

QByteArray le32Bytes(quint32 value) {
    QByteArray bytes(4, '\0');
    putLe32(bytes, 0, value);
    return bytes;
}

} // namespace

QByteArray withCodePageNamed(const QByteArray& set, int codePage) {
    if (set.size() < SetHeaderBytes + SectionEntry || le32(set, 0) != 0x0000fffe)
        return {};
    const quint32 sections = le32(set, 24);
    if (sections == 0 || sections > 16 ||
        SetHeaderBytes + SectionEntry * qsizetype(sections) > set.size())
        return {};
    const qsizetype start = le32(set, SetHeaderBytes + 16);
    if (start < SetHeaderBytes + SectionEntry * qsizetype(sections) || start > set.size() - 8)
        return {};
    const qsizetype size = le32(set, start);
    const qsizetype count = le32(set, start + 4);
    if (size < 8 + 8 * count || count > 4096 || size > set.size() - start)
        return {};
    for (qsizetype i = 0; i < count; ++i) {
        if (le32(set, start + 8 + 8 * i) == CodePageProperty)
            return {};
    }
    // The section grows by one entry in its table and one value at its end; every offset into it
    // past its table, and every later section, moves accordingly.
    QByteArray section = le32Bytes(quint32(size + Added)) + le32Bytes(quint32(count + 1));
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype entry = start + 8 + 8 * i;
        section += set.mid(entry, 4) + le32Bytes(le32(set, entry + 4) + 8);
    }
    section += le32Bytes(CodePageProperty) + le32Bytes(quint32(size + 8));
    section += set.mid(start + 8 + 8 * count, size - 8 - 8 * count);
    section += le32Bytes(TwoByteInteger) + le32Bytes(quint32(quint16(codePage)));
    QByteArray out = set.left(start) + section + set.mid(start + size);
    for (quint32 s = 1; s < sections; ++s) {
        const qsizetype at = SetHeaderBytes + SectionEntry * qsizetype(s) + 16;
        const quint32 offset = le32(set, at);
        if (offset > quint32(start))
            putLe32(out, at, offset + quint32(Added));
    }
    return out;
}

} // namespace quillmere::details::readers
