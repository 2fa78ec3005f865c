#include "app/fs/regular_file.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/reader.h"

#include <exiv2/error.hpp>

#include <libheif/heif.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <unistd.h>

namespace quillmere::details::readers {

namespace {

// Larger EXIF or XMP blocks are not photo metadata worth reading.
constexpr size_t metadataLimit = 4 * 1024 * 1024;

struct Cursor {
    const app::fs::RegularFile* file;
    int64_t position;
};

int64_t cursorPosition(void* data) {
    return static_cast<Cursor*>(data)->position;
}

int cursorRead(void* buffer, size_t size, void* data) {
    auto* cursor = static_cast<Cursor*>(data);
    if (int64_t(size) > cursor->file->size() - cursor->position)
        return 1;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(cursor->file->fd(), static_cast<char*>(buffer) + done,
                                  size - done, cursor->position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 1;
        done += size_t(n);
        cursor->position += n;
    }
    return 0;
}

int cursorSeek(int64_t position, void* data) {
    auto* cursor = static_cast<Cursor*>(data);
    if (position < 0 || position > cursor->file->size())
        return 1;
    cursor->position = position;
    return 0;
}

heif_reader_grow_status cursorGrow(int64_t target, void* data) {
    const auto* cursor = static_cast<Cursor*>(data);
    return target > cursor->file->size() ? heif_reader_grow_status_size_beyond_eof
                                         : heif_reader_grow_status_size_reached;
}

const heif_reader fileReader = {1, cursorPosition, cursorRead, cursorSeek, cursorGrow};

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};

// The first metadata block of the type (and content type, when given) that is of a sane size.
QByteArray metadataBlock(const heif_image_handle* handle, const char* type,
                         const char* contentType = nullptr) {
    heif_item_id ids[8] = {};
    const int count = heif_image_handle_get_list_of_metadata_block_IDs(handle, type, ids, 8);
    for (int i = 0; i < count; ++i) {
        if (contentType) {
            const char* actual = heif_image_handle_get_metadata_content_type(handle, ids[i]);
            if (!actual || std::strcmp(actual, contentType) != 0)
                continue;
        }
        const size_t size = heif_image_handle_get_metadata_size(handle, ids[i]);
        if (size == 0 || size > metadataLimit)
            continue;
        QByteArray block(qsizetype(size), Qt::Uninitialized);
        if (heif_image_handle_get_metadata(handle, ids[i], block.data()).code == heif_error_Ok)
            return block;
    }
    return {};
}

class HeifReader final : public Reader {
public:
    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        prepareExiv2();
        const app::fs::RegularFile opened = openToRead(file);
        if (!opened.isOpen())
            return false;
        std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
        if (!context)
            return false;
        Cursor cursor{&opened, 0};
        if (heif_context_read_from_reader(context.get(), &fileReader, &cursor, nullptr).code !=
            heif_error_Ok)
            return false;
        heif_image_handle* rawHandle = nullptr;
        if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
            return true;
        const std::unique_ptr<heif_image_handle, HandleDeleter> handle(rawHandle);
        const QString dimensions = dimensionsText(heif_image_handle_get_width(handle.get()),
                                                  heif_image_handle_get_height(handle.get()));
        const ExifTags exif = decodeOffsetExif(metadataBlock(handle.get(), "Exif"));
        const XmpProperties xmp =
            readXmpPacket(metadataBlock(handle.get(), "mime", "application/rdf+xml"));
        try {
            addPhotoDetails(exif, {}, xmp, QString(), dimensions, out);
        } catch (const std::exception&) {
        }
        return true;
    }
};

} // namespace

const Reader& heifReader() {
    static const HeifReader reader;
    return reader;
}

} // namespace quillmere::details::readers
