#pragma once

#include "app/fs/regular_file.h"
#include "details/readers/exif_tags.h"
#include "details/readers/iptc_records.h"
#include "details/readers/reader.h"
#include "details/readers/scratch_bytes.h"
#include "details/readers/xmp_packet.h"

#include <exiv2/basicio.hpp>
#include <exiv2/exif.hpp>
#include <exiv2/iptc.hpp>

#include <QDateTime>

#include <memory>

namespace quillmere::details::readers {

// An open regular file as exiv2's input, read through the descriptor with its own buffer; never
// mapped into memory. exiv2's
// FileIo reopens the file by name each time it is opened (three times per picture) and moves
// the file offset before every read; this one costs one read for most pictures. Read-only; the
// descriptor stays the caller's and must outlive it.
class DescriptorIo final : public Exiv2::BasicIo {
public:
    DescriptorIo(int fd, qint64 size);
    ~DescriptorIo() override;

    int open() override;
    int close() override;
    long write(const Exiv2::byte* data, long count) override;
    long write(Exiv2::BasicIo& source) override;
    int putb(Exiv2::byte data) override;
    Exiv2::DataBuf read(long count) override;
    long read(Exiv2::byte* buffer, long count) override;
    int getb() override;
    void transfer(Exiv2::BasicIo& source) override;
    int seek(long offset, Position from) override;
    Exiv2::byte* mmap(bool writeable = false) override;
    int munmap() override;
    long tell() const override;
    size_t size() const override;
    bool isopen() const override;
    int error() const override;
    bool eof() const override;
    std::string path() const override;

    // The largest file handed to exiv2 whole (TIFF and raw files are parsed from one block).
    static constexpr qint64 WholeFileCap = qint64(256) << 20;

private:
    static constexpr long WindowBytes = 64 * 1024;

    int fd_;
    qint64 size_;
    qint64 position_ = 0;
    bool eof_ = false;
    bool error_ = false;
    ScratchBytes scratch_;
    QByteArray& window_ = scratch_.bytes();
    qint64 windowStart_ = 0;
    std::unique_ptr<Exiv2::byte[]> whole_; // what mmap() handed out
};

// Mutes exiv2's log and initialises its XMP toolkit with a lock, once, before any thread parses.
void prepareExiv2();

// The tags of an EXIF block as HEIF and JPEG XL store it: the big-endian offset from the block's
// fifth byte to the TIFF header, then the TIFF data. None when the block is too short or points
// past its end.
ExifTags decodeOffsetExif(const QByteArray& block);

// The IPTC records of Photoshop resource blocks, joined. Where there is no such block and
// `orBareRecords` is set, the data is taken as records itself (as PNG's raw profiles may hold
// them). Records exiv2 cannot parse add nothing.
IptcTexts decodeIptc(QByteArrayView photoshop, bool orBareRecords);

// Everything the photo columns take from EXIF, IPTC and XMP, each column's sources in the order
// EXIF, then XMP or IPTC as the column's table row lists them. `dimensions` is the caller's
// measure of the picture (e.g. from its header); EXIF pixel sizes fill in when it is empty.
void addPhotoDetails(const ExifTags& exif, const IptcTexts& iptc, const XmpProperties& xmp,
                     const QString& jpegComment, QString dimensions, EmbeddedDetails& out);

// "4000 x 3000"; empty when either side is not positive.
QString dimensionsText(qint64 width, qint64 height);

// An EXIF ("2024:05:01 10:20:30"), XMP/ISO 8601 or RFC 2822 time; invalid when unreadable.
QDateTime parsePhotoTime(const QString& raw);

} // namespace quillmere::details::readers
