#include "app/fs/regular_file.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/reader.h"
#include "details/readers/scratch_bytes.h"

#include <jxl/decode.h>

#include <QMimeType>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace quillmere::details::readers {
namespace {

// The picture's size from the codestream header and its EXIF and XMP boxes, which may stand
// before or after the codestream: the file is fed to libjxl a window at a time, never decoded.
constexpr qint64 WindowBytes = 64 * 1024;
// How far into a file the boxes are looked for.
constexpr qint64 BoxSearchBytes = 16 * 1024 * 1024;
// Larger EXIF or XMP boxes are not photo metadata worth reading.
constexpr size_t BoxLimit = 4 * 1024 * 1024;

struct DecoderDeleter {
    void operator()(JxlDecoder* decoder) const { JxlDecoderDestroy(decoder); }
};
using Decoder = std::unique_ptr<JxlDecoder, DecoderDeleter>;

Decoder newDecoder() {
    Decoder decoder(JxlDecoderCreate(nullptr));
    if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_BOX) !=
                        JXL_DEC_SUCCESS)
        return nullptr;
    // Brotli-compressed ("brob") boxes are handed over decompressed; without Brotli they stay
    // unread.
    JxlDecoderSetDecompressBoxes(decoder.get(), JXL_TRUE);
    return decoder;
}

// The box being collected: its contents grow as libjxl asks for more room, up to the limit.
class BoxCollector {
public:
    void start(JxlDecoder* decoder, QByteArray* target) {
        target_ = target;
        if (!target_)
            return;
        target_->clear();
        grow(decoder);
    }

    // JXL_DEC_BOX_NEED_MORE_OUTPUT: false when the box is over the limit and is given up.
    bool grow(JxlDecoder* decoder) {
        if (!target_)
            return false;
        const size_t left = JxlDecoderReleaseBoxBuffer(decoder);
        const qsizetype used = target_->size() - qsizetype(left);
        const size_t next = std::max<size_t>(size_t(target_->size()) * 2, 4096);
        if (next > BoxLimit) {
            target_->clear();
            target_ = nullptr;
            return false;
        }
        target_->resize(qsizetype(next));
        return JxlDecoderSetBoxBuffer(decoder, reinterpret_cast<uint8_t*>(target_->data() + used),
                                      next - size_t(used)) == JXL_DEC_SUCCESS;
    }

    // At the next box or the end: what was written stays, the rest is cut off.
    void finish(JxlDecoder* decoder) {
        const size_t left = JxlDecoderReleaseBoxBuffer(decoder);
        if (target_)
            target_->truncate(target_->size() - qsizetype(left));
        target_ = nullptr;
    }

private:
    QByteArray* target_ = nullptr;
};

struct Found {
    bool basicInfo = false;
    qint64 width = 0;
    qint64 height = 0;
    QByteArray exif;
    QByteArray xmp;
};

// Feeds the file to the decoder until every box has been seen or the budget is spent. False when
// libjxl rejects the file before its basic information.
bool walk(const app::fs::RegularFile& file, JxlDecoder* decoder, Found& found) {
    ScratchBytes scratch;
    QByteArray& window = scratch.bytes();
    qint64 position = 0;
    qsizetype kept = 0; // bytes at the window's start that libjxl has not taken yet
    BoxCollector box;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder);
        switch (status) {
        case JXL_DEC_BASIC_INFO: {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(decoder, &info) == JXL_DEC_SUCCESS) {
                found.basicInfo = true;
                found.width = info.xsize;
                found.height = info.ysize;
            }
            continue;
        }
        case JXL_DEC_BOX: {
            box.finish(decoder);
            JxlBoxType type;
            if (JxlDecoderGetBoxType(decoder, type, JXL_TRUE) != JXL_DEC_SUCCESS)
                continue;
            QByteArray* target = nullptr;
            if (std::memcmp(type, "Exif", 4) == 0 && found.exif.isEmpty())
                target = &found.exif;
            else if (std::memcmp(type, "xml ", 4) == 0 && found.xmp.isEmpty())
                target = &found.xmp;
            box.start(decoder, target);
            continue;
        }
        case JXL_DEC_BOX_NEED_MORE_OUTPUT:
            if (!box.grow(decoder))
                return found.basicInfo;
            continue;
        case JXL_DEC_NEED_MORE_INPUT: {
            const auto unused = qsizetype(JxlDecoderReleaseInput(decoder));
            if (unused > window.size())
                return found.basicInfo;
            kept = unused;
            if (position >= file.size() || position >= BoxSearchBytes) {
                box.finish(decoder);
                return found.basicInfo;
            }
            // The bytes libjxl has not taken go first again, the next ones after them.
            const QByteArray rest = window.right(kept);
            window.resize(kept + WindowBytes);
            std::memcpy(window.data(), rest.constData(), size_t(kept));
            const QByteArray next = file.read(position, WindowBytes);
            std::memcpy(window.data() + kept, next.constData(), size_t(next.size()));
            window.resize(kept + next.size());
            position += next.size();
            if (next.isEmpty() ||
                JxlDecoderSetInput(decoder, reinterpret_cast<const uint8_t*>(window.constData()),
                                   size_t(window.size())) != JXL_DEC_SUCCESS)
                return found.basicInfo;
            if (position >= file.size())
                JxlDecoderCloseInput(decoder);
            continue;
        }
        case JXL_DEC_SUCCESS:
            box.finish(decoder);
            return found.basicInfo;
        default: // JXL_DEC_ERROR, or an event that was not asked for
            box.finish(decoder);
            return found.basicInfo;
        }
    }
}

ssize_t dropWritten(void*, const char*, size_t size) {
    return ssize_t(size);
}

// libjxl reports every fault of a damaged file on the C library's stderr stream, and offers no way
// to divert it. While it parses, that stream is one that drops what is written to it, one parse
// at a time, since the stream is the whole process's: what another thread writes there meanwhile
// is dropped too. The stream needs no descriptor, so it works inside the sandbox.
class QuietStderr {
public:
    QuietStderr() : lock_(mutex()) {
        static FILE* const dropping = [] {
            FILE* stream = fopencookie(nullptr, "w", {nullptr, &dropWritten, nullptr, nullptr});
            if (stream)
                std::setvbuf(stream, nullptr, _IONBF, 0);
            return stream;
        }();
        saved_ = stderr;
        if (dropping)
            stderr = dropping;
    }
    ~QuietStderr() { stderr = saved_; }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    static std::mutex& mutex() {
        static std::mutex shared;
        return shared;
    }
    std::lock_guard<std::mutex> lock_;
    FILE* saved_;
};

// The smallest codestream: its signature, a size header of 8 by 8 pixels and default metadata.
// Decoding it once sets up what libjxl prepares on first use.
constexpr unsigned char TinyCodestream[] = {0xff, 0x0a, 0x41, 0x02, 0x00, 0x00, 0x00, 0x00};

class JpegXlReader final : public Reader {
public:
    void prepare() const override {
        prepareExiv2();
        const QuietStderr quiet;
        const Decoder decoder = newDecoder();
        if (!decoder)
            return;
        JxlDecoderSetInput(decoder.get(), TinyCodestream, sizeof TinyCodestream);
        JxlDecoderCloseInput(decoder.get());
        for (int event = 0; event < 4; ++event) {
            const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
            if (status == JXL_DEC_ERROR || status == JXL_DEC_SUCCESS ||
                status == JXL_DEC_NEED_MORE_INPUT)
                break;
        }
    }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        prepareExiv2();
        const app::fs::RegularFile opened = openToRead(file);
        if (!opened.isOpen())
            return false;
        const QByteArray head = opened.read(0, 12);
        const JxlSignature signature = JxlSignatureCheck(
            reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
        if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER)
            return false;
        Found found;
        {
            const QuietStderr quiet;
            const Decoder decoder = newDecoder();
            if (!decoder || !walk(opened, decoder.get(), found))
                return false;
        }
        const ExifTags exif = decodeOffsetExif(found.exif);
        const XmpProperties xmp = readXmpPacket(found.xmp);
        try {
            addPhotoDetails(exif, {}, xmp, QString(), dimensionsText(found.width, found.height),
                            out);
        } catch (const std::exception&) {
        }
        return true;
    }
};

} // namespace

const Reader& jpegXlReader() {
    static const JpegXlReader reader;
    return reader;
}

} // namespace quillmere::details::readers
