#include "search/readers/png_text.h"

#include "search/column_ids.h"
#include "search/entry_format.h"
#include "search/readers/exiv2_support.h"

#include <png.h>

#include <cerrno>
#include <unistd.h>

#include <utility>
#include <vector>

namespace quillmere::readers {

namespace {

// Text chunks sit before the image data; nothing of interest lies further in.
constexpr qint64 readLimit = 16 * 1024 * 1024;
constexpr png_alloc_size_t chunkLimit = 1024 * 1024;

struct Source {
    int fd;
    qint64 offset;
    qint64 limit;
};

// No C++ object lives in the frames that libpng may longjmp through.
void readBytes(png_structp png, png_bytep data, size_t length) {
    auto* source = static_cast<Source*>(png_get_io_ptr(png));
    if (qint64(length) > source->limit - source->offset)
        png_error(png, "read limit");
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(source->fd, data + done, length - done, source->offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            png_error(png, "truncated");
        done += size_t(n);
        source->offset += n;
    }
}

[[noreturn]] void onError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

struct Chunk {
    QString keyword;
    QString text;
};

QString chunkText(const png_text& text) {
    const bool international = text.compression == PNG_ITXT_COMPRESSION_NONE ||
                               text.compression == PNG_ITXT_COMPRESSION_zTXt;
    if (!text.text)
        return {};
    if (international)
        return QString::fromUtf8(text.text, qsizetype(text.itxt_length));
    return QString::fromLatin1(text.text, qsizetype(text.text_length));
}

bool readChunks(int fd, qint64 size, std::vector<Chunk>& chunks) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    Source source{fd, 0, std::min(size, readLimit)};
    volatile bool headerRead = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &source, readBytes);
        png_set_chunk_malloc_max(png, chunkLimit);
        png_set_user_limits(png, 1000000, 1000000);
        png_read_info(png, info);
        headerRead = true;
    }
    if (headerRead) {
        png_textp texts = nullptr;
        const int count = png_get_text(png, info, &texts, nullptr);
        for (int i = 0; i < count; ++i) {
            if (texts[i].key)
                chunks.push_back({QString::fromLatin1(texts[i].key), chunkText(texts[i])});
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return headerRead;
}

} // namespace

bool addPngText(const RegularFile& file, EmbeddedDetails& out) {
    if (!file.isOpen())
        return false;
    std::vector<Chunk> chunks;
    if (!readChunks(file.fd(), file.size(), chunks))
        return false;
    const std::pair<const char*, int> columns[] = {
        {"Title", column::Title},
        {"Author", column::Authors},
        {"Description", column::FileDescription},
        {"Copyright", column::Copyright},
        {"Comment", column::Comments},
        {"Software", column::ProgramName},
    };
    for (const Chunk& chunk : chunks) {
        for (const auto& [keyword, col] : columns) {
            if (chunk.keyword == QLatin1String(keyword))
                out.add(col, chunk.text);
        }
        if (chunk.keyword == QLatin1String("Creation Time") &&
            out.joined(column::DateTaken).isEmpty()) {
            const QDateTime time = parsePhotoTime(chunk.text);
            out.add(column::DateTaken, time.isValid() ? shortDateTime(time) : chunk.text);
        }
    }
    return true;
}

} // namespace quillmere::readers
