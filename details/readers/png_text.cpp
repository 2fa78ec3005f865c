#include "details/readers/png_text.h"
#include "details/readers/scratch_bytes.h"

#include "details/column_ids.h"
#include "details/readers/exiv2_support.h"
#include "details/value_formats.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include <utility>
#include <vector>

namespace quillmere::details::readers {

namespace {

// Text chunks sit before the image data; nothing of interest lies further in.
constexpr qint64 readLimit = 16 * 1024 * 1024;
constexpr png_alloc_size_t chunkLimit = 1024 * 1024;

struct Source {
    int fd;
    qint64 offset;
    qint64 limit;
    // What the last read brought in: libpng asks for each chunk's parts separately.
    QByteArray* window;
    qint64 windowStart;
};

constexpr qint64 windowBytes = 64 * 1024;

// Fills `data` from the file itself; false when the file ends first.
bool readFile(const Source& source, qint64 offset, char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(source.fd, data + done, length - done, offset + qint64(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// No C++ object lives in the frames that libpng may longjmp through.
void readBytes(png_structp png, png_bytep data, size_t length) {
    auto* source = static_cast<Source*>(png_get_io_ptr(png));
    if (qint64(length) > source->limit - source->offset)
        png_error(png, "read limit");
    QByteArray& window = *source->window;
    const qint64 end = source->offset + qint64(length);
    const bool inWindow =
        source->offset >= source->windowStart && end <= source->windowStart + window.size();
    if (!inWindow && qint64(length) < windowBytes) {
        const qint64 want = std::min(windowBytes, source->limit - source->offset);
        window.resize(want);
        source->windowStart = source->offset;
        const ssize_t n = ::pread(source->fd, window.data(), size_t(want), source->offset);
        window.resize(n > 0 ? qsizetype(n) : 0); // a short read leaves the rest to readFile
    }
    if (source->offset >= source->windowStart && end <= source->windowStart + window.size()) {
        std::memcpy(data, window.constData() + (source->offset - source->windowStart), length);
    } else if (!readFile(*source, source->offset, reinterpret_cast<char*>(data), length)) {
        png_error(png, "truncated");
    }
    source->offset = end;
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

bool readChunks(int fd, qint64 size, QByteArray& window, std::vector<Chunk>& chunks) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    Source source{fd, 0, std::min(size, readLimit), &window, 0};
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

bool addPngText(const app::fs::RegularFile& file, EmbeddedDetails& out) {
    if (!file.isOpen())
        return false;
    std::vector<Chunk> chunks;
    ScratchBytes window;
    window.bytes().resize(0);
    if (!readChunks(file.fd(), file.size(), window.bytes(), chunks))
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

} // namespace quillmere::details::readers
