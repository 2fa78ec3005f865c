#include "details/readers/png_chunks.h"
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

// What the chunks before the image data hold.
struct Chunks {
    struct Text {
        QByteArray keyword;
        QByteArray bytes;
        bool utf8;
    };
    std::vector<Text> texts;
    QByteArray exif; // the eXIf chunk
    qint64 width = 0;
    qint64 height = 0;
};

// No C++ object but plain copies lives in the frames that libpng may longjmp through; what was
// read before damage is kept, as libpng leaves it in `info`.
bool readChunks(int fd, qint64 size, QByteArray& window, Chunks& chunks) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    Source source{fd, 0, std::min(size, readLimit), &window, 0};
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &source, readBytes);
        png_set_chunk_malloc_max(png, chunkLimit);
        png_set_user_limits(png, 1000000, 1000000);
        // As other readers do: a chunk whose checksum fails is still read.
        png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
        png_read_info(png, info);
    }
    chunks.width = png_get_image_width(png, info);
    chunks.height = png_get_image_height(png, info);
    const bool headerRead = chunks.width > 0 && chunks.height > 0;
    if (headerRead) {
        png_textp texts = nullptr;
        const int count = png_get_text(png, info, &texts, nullptr);
        for (int i = 0; i < count; ++i) {
            const png_text& t = texts[i];
            if (!t.key || !t.text)
                continue;
            const bool international = t.compression == PNG_ITXT_COMPRESSION_NONE ||
                                       t.compression == PNG_ITXT_COMPRESSION_zTXt;
            chunks.texts.push_back(
                {QByteArray(t.key),
                 QByteArray(t.text, qsizetype(international ? t.itxt_length : t.text_length)),
                 international});
        }
        png_uint_32 exifSize = 0;
        png_bytep exif = nullptr;
        if (png_get_eXIf_1(png, info, &exifSize, &exif) != 0 && exif)
            chunks.exif = QByteArray(reinterpret_cast<const char*>(exif), qsizetype(exifSize));
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return headerRead;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The data of an ImageMagick "Raw profile type" text: a line with the profile's name, one with its
// length, then the bytes in hexadecimal over many lines.
QByteArray rawProfile(const QByteArray& text) {
    qsizetype at = 0;
    if (at < text.size() && text[at] == '\n')
        ++at;
    at = text.indexOf('\n', at);
    if (at < 0)
        return {};
    ++at;
    while (at < text.size() && text[at] == ' ')
        ++at;
    constexpr qint64 limit = qint64(chunkLimit);
    qint64 length = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && length <= limit)
        length = length * 10 + (text[at++] - '0');
    if (length <= 0 || length > limit)
        return {};
    QByteArray bytes;
    bytes.reserve(qsizetype(length));
    int high = -1;
    for (; at < text.size() && bytes.size() < length; ++at) {
        const int digit = hexDigit(text[at]);
        if (digit < 0)
            continue;
        if (high < 0) {
            high = digit;
        } else {
            bytes.append(char(high << 4 | digit));
            high = -1;
        }
    }
    return bytes;
}

// EXIF in a raw profile starts wherever its "Exif\0\0" stands.
QByteArrayView exifOfProfile(const QByteArray& profile) {
    const qsizetype header = profile.indexOf(QByteArrayView("Exif\0\0", 6));
    return header < 0 ? QByteArrayView() : QByteArrayView(profile).sliced(header + 6);
}

// XMP packets, and text written by hand before them, begin at their first '<'.
QByteArrayView xmpOfText(const QByteArray& text) {
    const qsizetype start = text.indexOf('<');
    return start < 0 ? QByteArrayView() : QByteArrayView(text).sliced(start);
}

} // namespace

bool isPng(const QByteArray& head) {
    return head.size() >= 8 &&
           png_sig_cmp(reinterpret_cast<png_const_bytep>(head.data()), 0, 8) == 0;
}

bool addPngDetails(const app::fs::RegularFile& file, EmbeddedDetails& out) {
    if (!file.isOpen())
        return false;
    Chunks chunks;
    ScratchBytes window;
    window.bytes().resize(0);
    if (!readChunks(file.fd(), file.size(), window.bytes(), chunks))
        return false;

    ExifTags exif = readExifTags(chunks.exif);
    IptcTexts iptc;
    QByteArray xmp;
    for (const Chunks::Text& text : chunks.texts) {
        if (text.keyword == "XML:com.adobe.xmp" && xmp.isEmpty()) {
            xmp = xmpOfText(text.bytes).toByteArray();
        } else if (text.keyword == "Raw profile type xmp" && xmp.isEmpty()) {
            xmp = xmpOfText(rawProfile(text.bytes)).toByteArray();
        } else if ((text.keyword == "Raw profile type exif" ||
                    text.keyword == "Raw profile type APP1") &&
                   exif.empty()) {
            exif = readExifTags(exifOfProfile(rawProfile(text.bytes)));
        } else if (text.keyword == "Raw profile type iptc" && iptc.empty()) {
            iptc = decodeIptc(rawProfile(text.bytes), true);
        }
    }
    addPhotoDetails(exif, iptc, readXmpPacket(xmp), QString(),
                    dimensionsText(chunks.width, chunks.height), out);

    const std::pair<const char*, int> columns[] = {
        {"Title", column::Title},
        {"Author", column::Authors},
        {"Description", column::FileDescription},
        {"Copyright", column::Copyright},
        {"Comment", column::Comments},
        {"Software", column::ProgramName},
    };
    for (const Chunks::Text& chunk : chunks.texts) {
        const QString text =
            chunk.utf8 ? QString::fromUtf8(chunk.bytes) : QString::fromLatin1(chunk.bytes);
        for (const auto& [keyword, col] : columns) {
            if (chunk.keyword == keyword)
                out.add(col, text);
        }
        if (chunk.keyword == "Creation Time" && out.joined(column::DateTaken).isEmpty()) {
            const QDateTime time = parsePhotoTime(text);
            out.add(column::DateTaken, time.isValid() ? shortDateTime(time) : text);
        }
    }
    return true;
}

} // namespace quillmere::details::readers
