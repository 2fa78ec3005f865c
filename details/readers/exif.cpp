#include "app/fs/error_text.h"
#include "app/fs/regular_file.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/png_text.h"
#include "details/readers/reader.h"

#include <exiv2/error.hpp>
#include <exiv2/image.hpp>

#include <exception>

namespace quillmere::details::readers {

namespace {

class ImageReader final : public Reader {
public:
    void prepare() const override { prepareExiv2(); }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        prepareExiv2();
        const app::fs::RegularFile opened = openToRead(file);
        if (!opened.isOpen())
            return false;
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
            addPhotoDetails(image->exifData(), image->iptcData(), image->xmpData(), comment,
                            dimensionsText(image->pixelWidth(), image->pixelHeight()), out);
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
