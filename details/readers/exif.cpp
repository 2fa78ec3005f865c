#include "app/fs/error_text.h"
#include "app/fs/regular_file.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/jpeg_segments.h"
#include "details/readers/png_chunks.h"
#include "details/readers/reader.h"

#include <exiv2/error.hpp>
#include <exiv2/image.hpp>

#include <exception>

namespace quillmere::details::readers {

namespace {

// JPEG and PNG are walked here rather than by exiv2, which hands every XMP packet to its general
// toolkit and decodes every directory of the EXIF data, maker notes included, and builds a key
// object for every IPTC dataset.
void addJpegDetails(const JpegSegments& jpeg, EmbeddedDetails& out) {
    addPhotoDetails(readExifTags(jpeg.exif), decodeIptc(jpeg.photoshop, false),
                    readXmpPacket(jpeg.xmp), QString::fromUtf8(jpeg.comment),
                    dimensionsText(jpeg.width, jpeg.height), out);
}

// Other formats through exiv2.
bool addExiv2Details(const app::fs::RegularFile& opened, EmbeddedDetails& out) {
    // Read through the descriptor of the file checked to be regular, so a FIFO swapped in since
    // cannot block, and no byte of the user's file name reaches exiv2's URL handling.
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(
        Exiv2::BasicIo::AutoPtr(new DescriptorIo(opened.fd(), opened.size())));
    if (!image.get())
        return false;
    // exiv2 also parses some video containers and would report the file's full path.
    if (image->mimeType().rfind("image/", 0) != 0)
        return false;
    try {
        image->readMetadata();
    } catch (const Exiv2::AnyError&) {
        // A damaged file: keep what was read before the damage.
    }
    // The packet as read; otherwise exiv2 would write it anew from what it decoded.
    image->writeXmpFromPacket(true);
    const std::string& packet = image->xmpPacket();
    addPhotoDetails(exifTagsOf(image->exifData()), iptcTextsOf(image->iptcData()),
                    readXmpPacket(QByteArrayView(packet.data(), qsizetype(packet.size()))),
                    QString::fromStdString(image->comment()),
                    dimensionsText(image->pixelWidth(), image->pixelHeight()), out);
    return true;
}

class ImageReader final : public Reader {
public:
    void prepare() const override { prepareExiv2(); }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        prepareExiv2();
        const app::fs::RegularFile opened = openToRead(file);
        if (!opened.isOpen())
            return false;
        try {
            // The format by its first bytes, read once: each walk reads a window of its own.
            const QByteArray head = opened.read(0, 8);
            JpegSegments jpeg;
            if (head.startsWith("\xff\xd8") && readJpegSegments(opened, jpeg)) {
                addJpegDetails(jpeg, out);
                return true;
            }
            if (isPng(head))
                return addPngDetails(opened, out);
            return addExiv2Details(opened, out);
        } catch (const Exiv2::AnyError&) {
            return false;
        } catch (const std::exception&) {
            return false;
        }
    }
};

} // namespace

const Reader& imageReader() {
    static const ImageReader reader;
    return reader;
}

} // namespace quillmere::details::readers
