#include "app/fs/regular_file.h"
#include "details/column_ids.h"
#include "details/media_values.h"
#include "details/readers/reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <QMimeType>
#include <QSize>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>

#include <cerrno>
#include <unistd.h>

namespace quillmere::details::readers {
namespace {

// Demuxers that describe video files, and raw AAC for the audio that TagLib cannot read. Anything
// else libavformat knows (text as "tty", playlists, image sequences, network references) is
// refused.
constexpr const char* FormatWhitelist =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,asf,flv,mpeg,mpegts,ogg,aac";
// Enough for the probe of every whitelisted format; a hostile file cannot make it read more.
constexpr const char* ProbeBytes = "1048576";
// How much of an audio-only file's packets its stream information is taken from, in
// microseconds.
constexpr int64_t AudioAnalysis = 100'000;
// No legitimate header takes this long to read from a local disk.
constexpr auto OpenDeadline = std::chrono::seconds(3);

void quietLibav() {
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)quiet;
}

// Reading a stream's parameters opens its decoder, and a decoder builds its tables the first time
// one is opened. Opened once here, so that the tables are built before the helpers are forked
// and shared by all of them. Only FFmpeg's own decoders, on one thread: a wrapped library may
// start threads, which a process that forks must not have.
void openCommonDecoders() {
    static const AVCodecID ids[] = {
        AV_CODEC_ID_H264,      AV_CODEC_ID_HEVC,   AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG2VIDEO,
        AV_CODEC_ID_VP8,       AV_CODEC_ID_VP9,    AV_CODEC_ID_AV1,   AV_CODEC_ID_THEORA,
        AV_CODEC_ID_MJPEG,     AV_CODEC_ID_VORBIS, AV_CODEC_ID_OPUS,  AV_CODEC_ID_AAC,
        AV_CODEC_ID_MP3,       AV_CODEC_ID_FLAC,   AV_CODEC_ID_ALAC,  AV_CODEC_ID_AC3,
        AV_CODEC_ID_PCM_S16LE,
    };
    for (const AVCodecID id : ids) {
        const AVCodec* codec = avcodec_find_decoder(id);
        if (!codec || std::strncmp(codec->name, "lib", 3) == 0)
            continue;
        AVCodecContext* context = avcodec_alloc_context3(codec);
        if (!context)
            continue;
        context->thread_count = 1;
        (void)avcodec_open2(context, codec, nullptr);
        avcodec_free_context(&context);
    }
}

struct Deadline {
    std::chrono::steady_clock::time_point end;
};

int pastDeadline(void* opaque) {
    return std::chrono::steady_clock::now() > static_cast<const Deadline*>(opaque)->end ? 1 : 0;
}

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

// libavformat reads the file through its descriptor: it never opens a name, so it can run where
// opening is forbidden, and it reads the very file that was checked to be regular.
class DescriptorInput {
public:
    explicit DescriptorInput(const app::fs::RegularFile& file) : file_(file) {
        constexpr int BufferBytes = 32 * 1024;
        auto* buffer = static_cast<unsigned char*>(av_malloc(BufferBytes));
        if (!buffer)
            return;
        io_ = avio_alloc_context(buffer, BufferBytes, 0, this, &readPacket, nullptr, &seek);
        if (!io_)
            av_free(buffer);
    }
    ~DescriptorInput() {
        if (io_) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
    }
    DescriptorInput(const DescriptorInput&) = delete;
    DescriptorInput& operator=(const DescriptorInput&) = delete;

    AVIOContext* context() const { return io_; }

private:
    static int readPacket(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<DescriptorInput*>(opaque);
        for (;;) {
            const ssize_t n = ::pread(self->file_.fd(), buffer, size_t(size), self->position_);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return AVERROR(EIO);
            if (n == 0)
                return AVERROR_EOF;
            self->position_ += n;
            return int(n);
        }
    }
    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<DescriptorInput*>(opaque);
        const qint64 size = self->file_.size();
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return size;
        case SEEK_SET:
            break;
        case SEEK_CUR:
            offset += self->position_;
            break;
        case SEEK_END:
            offset += size;
            break;
        default:
            return AVERROR(EINVAL);
        }
        if (offset < 0)
            return AVERROR(EINVAL);
        self->position_ = offset;
        return offset;
    }

    const app::fs::RegularFile& file_;
    AVIOContext* io_ = nullptr;
    qint64 position_ = 0;
};

QString tag(const AVDictionary* metadata, const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
    return entry && entry->value ? QString::fromUtf8(entry->value) : QString();
}

void readTags(const AVDictionary* metadata, EmbeddedDetails& out) {
    out.add(column::ContributingArtists, tag(metadata, "artist"));
    out.add(column::Album, tag(metadata, "album"));
    out.add(column::Album, tag(metadata, "product")); // AVI's IPRD
    int year = yearOfDate(tag(metadata, "date"));
    if (year == 0)
        year = yearOfDate(tag(metadata, "year"));
    if (year > 0)
        out.add(column::Year, QString::number(year));
    out.add(column::Genre, tag(metadata, "genre"));
    out.add(column::Title, tag(metadata, "title"));
    out.add(column::Comments, tag(metadata, "comment"));
    out.add(column::Copyright, tag(metadata, "copyright"));
    const int track = leadingNumber(tag(metadata, "track"));
    if (track > 0)
        out.add(column::TrackNumber, QString::number(track));
    out.add(column::Composers, tag(metadata, "composer"));
    out.add(column::ProgramName, tag(metadata, "encoder"));
    out.add(column::ProgramName, tag(metadata, "software")); // AVI's ISFT
}

qint64 durationMilliseconds(const AVFormatContext& context) {
    if (context.duration != AV_NOPTS_VALUE && context.duration > 0)
        return context.duration / (AV_TIME_BASE / 1000);
    // Without stream probing the container total may be missing; the longest stream stands in.
    qint64 longest = 0;
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        const AVStream* stream = context.streams[i];
        if (stream->duration == AV_NOPTS_VALUE || stream->duration <= 0 ||
            stream->time_base.num <= 0 || stream->time_base.den <= 0)
            continue;
        const qint64 ms = av_rescale_q(stream->duration, stream->time_base, AVRational{1, 1000});
        longest = std::max(longest, ms);
    }
    return longest;
}

// The size of the first video stream that is not a cover picture; invalid when none has one.
QSize videoSize(const AVFormatContext& context) {
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        const AVStream* stream = context.streams[i];
        const AVCodecParameters* codec = stream->codecpar;
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC) && codec->width > 0 &&
            codec->height > 0)
            return {codec->width, codec->height};
    }
    return {};
}

// A video stream, not a cover picture, whose size the header did not give.
bool lacksVideoSize(const AVFormatContext& context) {
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        const AVStream* stream = context.streams[i];
        const AVCodecParameters* codec = stream->codecpar;
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
            (codec->width <= 0 || codec->height <= 0))
            return true;
    }
    return false;
}

bool isAudioOnly(const AVFormatContext& context) {
    for (unsigned i = 0; i < context.nb_streams; ++i) {
        if (context.streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            return false;
    }
    return context.nb_streams > 0;
}

// The demuxer that a file's first bytes name without doubt, or nullptr. Probing instead asks every
// demuxer libavformat knows to score the file, which costs as much as the opening itself; the
// probe would pick the same demuxer for these signatures, and is still used for any other file.
const AVInputFormat* demuxerBySignature(const QByteArray& head) {
    const auto at = [&head](qsizetype offset, const char* magic, qsizetype length) {
        return head.size() >= offset + length &&
               std::memcmp(head.constData() + offset, magic, size_t(length)) == 0;
    };
    const char* name = nullptr;
    if (at(4, "ftyp", 4))
        name = "mov";
    else if (at(0, "\x1a\x45\xdf\xa3", 4))
        name = "matroska";
    else if (at(0, "RIFF", 4) && at(8, "AVI ", 4))
        name = "avi";
    // The ASF header object's GUID holds zero bytes; its length is given.
    // NOLINTNEXTLINE(bugprone-string-literal-with-embedded-nul)
    else if (at(0, "\x30\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c", 16))
        name = "asf";
    else if (head.size() >= 2 && quint8(head[0]) == 0xff && (quint8(head[1]) & 0xf6) == 0xf0)
        name = "aac"; // an ADTS frame header: sync word, layer 0
    return name ? av_find_input_format(name) : nullptr;
}

class VideoReader final : public Reader {
public:
    void prepare() const override {
        quietLibav();
        openCommonDecoders();
    }

    // An ASF file named as such is read as Windows Media video is, whatever it holds; one named
    // as Windows Media audio is TagLib's.
    bool read(const FileToRead& request, EmbeddedDetails& out) const override {
        try {
            return readFile(request, out);
        } catch (...) {
            return false;
        }
    }

private:
    static AVFormatContext* newContext(Deadline& deadline, const DescriptorInput& input) {
        AVFormatContext* context = avformat_alloc_context();
        if (context) {
            context->interrupt_callback.callback = &pastDeadline;
            context->interrupt_callback.opaque = &deadline;
            context->pb = input.context();
            context->flags |= AVFMT_FLAG_CUSTOM_IO;
        }
        return context;
    }

    static AVDictionary* openOptions() {
        AVDictionary* options = nullptr;
        av_dict_set(&options, "format_whitelist", FormatWhitelist, 0);
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        av_dict_set(&options, "probesize", ProbeBytes, 0);
        av_dict_set(&options, "analyzeduration", "0", 0);
        return options;
    }

    static bool readFile(const FileToRead& request, EmbeddedDetails& out) {
        quietLibav();
        const app::fs::RegularFile file = openToRead(request);
        if (!file.isOpen())
            return false;

        Deadline deadline{std::chrono::steady_clock::now() + OpenDeadline};
        // A fresh input for each attempt: a failed opening leaves its buffer in no known state.
        std::optional<DescriptorInput> input(std::in_place, file);
        if (!input->context())
            return false;
        AVFormatContext* raw = newContext(deadline, *input);
        if (!raw)
            return false;
        AVDictionary* options = openOptions();
        const AVInputFormat* known = demuxerBySignature(file.read(0, 16));
        int opened = avformat_open_input(&raw, nullptr, known, &options);
        av_dict_free(&options);
        if (opened < 0 && known) {
            // Not what the signature promised after all: let the probe decide, as it always did.
            input.emplace(file);
            if (!input->context())
                return false;
            raw = newContext(deadline, *input);
            if (!raw)
                return false;
            options = openOptions();
            opened = avformat_open_input(&raw, nullptr, nullptr, &options);
            av_dict_free(&options);
        }
        if (opened < 0)
            return false; // libavformat has freed the context
        const std::unique_ptr<AVFormatContext, InputCloser> context(raw);
        // A program or transport stream has no header: its streams, their sizes and its length
        // are only known from the packets. Those are read within the same byte budget and
        // deadline; the length comes from the time stamps at both ends of the file. Audio alone
        // (raw AAC, say) needs only its first packets: its length comes from its frame headers.
        if (durationMilliseconds(*context) <= 0 || lacksVideoSize(*context)) {
            if (isAudioOnly(*context))
                context->max_analyze_duration = AudioAnalysis;
            avformat_find_stream_info(context.get(), nullptr);
        }

        readTags(context->metadata, out);
        const qint64 ms = durationMilliseconds(*context);
        out.add(column::Length, lengthText(ms));
        qint64 bitRate = context->bit_rate;
        if (bitRate <= 0 && ms > 0)
            bitRate = file.size() * 8 * 1000 / ms;
        out.add(column::BitRate, bitRateText((bitRate + 500) / 1000));
        const QSize size = videoSize(*context);
        if (size.isValid())
            out.add(column::Dimensions,
                    QStringLiteral("%1 x %2").arg(size.width()).arg(size.height()));
        return true;
    }
};

} // namespace

const Reader& videoReader() {
    static const VideoReader reader;
    return reader;
}

} // namespace quillmere::details::readers
