#include "app/fs/error_text.h"
#include "app/fs/regular_file.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/jpeg_segments.h"
#include "details/readers/png_text.h"
#include "details/readers/reader.h"

#include <exiv2/error.hpp>
#include <exiv2/image.hpp>
#include <exiv2/jpgimage.hpp>

#include <exception>

namespace quillmere::details::readers {

namespace {

// The IPTC records of the Photoshop resource blocks that hold them, joined.
QByteArray iptcRecords(const QByteArray& photoshop) {
    QByteArray records;
    const auto* at = reinterpret_cast<const Exiv2::byte*>(photoshop.constData());
    const Exiv2::byte* const end = at + photoshop.size();
    const Exiv2::byte* record = nullptr;
    uint32_t headerSize = 0;
    uint32_t dataSize = 0;
    while (at < end && Exiv2::Photoshop::locateIptcIrb(at, long(end - at), &record, &headerSize,
                                                       &dataSize) == 0) {
        const Exiv2::byte* data = record + headerSize;
        if (data > end || dataSize > quint64(end - data))
            break;
        records.append(reinterpret_cast<const char*>(data), qsizetype(dataSize));
        at = data + dataSize + (dataSize & 1);
    }
    return records;
}

// A JPEG's segments are walked here rather than by exiv2, which hands every XMP packet to its
// general toolkit; the EXIF and IPTC blocks still go to exiv2's parsers.
void addJpegDetails(const JpegSegments& jpeg, EmbeddedDetails& out) {
    Exiv2::ExifData exif;
    try {
        if (!jpeg.exif.isEmpty() &&
            Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(jpeg.exif.data()),
                                      uint32_t(jpeg.exif.size())) == Exiv2::invalidByteOrder)
            exif.clear();
    } catch (const std::exception&) {
        exif.clear();
    }
    Exiv2::IptcData iptc;
    try {
        const QByteArray records = iptcRecords(jpeg.photoshop);
        if (!records.isEmpty() &&
            Exiv2::IptcParser::decode(iptc, reinterpret_cast<const Exiv2::byte*>(records.data()),
                                      uint32_t(records.size())) != 0)
            iptc.clear();
    } catch (const std::exception&) {
        iptc.clear();
    }
    addPhotoDetails(exif, iptc, readXmpPacket(jpeg.xmp), QString::fromUtf8(jpeg.comment),
                    dimensionsText(jpeg.width, jpeg.height), out);
}

class ImageReader final : public Reader {
public:
    void prepare() const override { prepareExiv2(); }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        prepareExiv2();
        const app::fs::RegularFile opened = openToRead(file);
        if (!opened.isOpen())
            return false;
        JpegSegments jpeg;
        try {
            if (readJpegSegments(opened, jpeg)) {
                addJpegDetails(jpeg, out);
                return true;
            }
        } catch (const std::exception&) {
            return false;
        }
        bool isPng = false;
        try {
            // Read through the descriptor of the file checked to be regular, so a FIFO swapped in
            // since cannot block, and no byte of the user's file name reaches exiv2's URL handling.
            Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(
                Exiv2::BasicIo::AutoPtr(new DescriptorIo(opened.fd(), opened.size())));
            if (!image.get())
                return false;
            const std::string mime = image->mimeType();
            // exiv2 also parses some video containers and would report the file's full path.
            if (mime.rfind("image/", 0) != 0)
                return false;
            isPng = mime == "image/png";
            try {
                image->readMetadata();
            } catch (const Exiv2::AnyError&) {
                // A damaged file: keep what was read before the damage.
            }
            QString comment;
            if (!isPng)
                comment = QString::fromStdString(image->comment());
            addPhotoDetails(image->exifData(), image->iptcData(),
                            readXmpPacket(QByteArrayView(image->xmpPacket().data(),
                                                         qsizetype(image->xmpPacket().size()))),
                            comment, dimensionsText(image->pixelWidth(), image->pixelHeight()),
                            out);
        } catch (const Exiv2::AnyError&) {
            return false;
        } catch (const std::exception&) {
            return false;
        }
        if (isPng)
            addPngText(opened, out);
        return true;
    }
};

} // namespace

const Reader& imageReader() {
    static const ImageReader reader;
    return reader;
}

} // namespace quillmere::details::readers
