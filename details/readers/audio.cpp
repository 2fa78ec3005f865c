#include "app/fs/error_text.h"
#include "app/fs/regular_file.h"
#include "details/column_ids.h"
#include "details/media_values.h"
#include "details/readers/reader.h"
#include "details/readers/scratch_bytes.h"

#include <aifffile.h>
#include <apefile.h>
#include <asffile.h>
#include <flacfile.h>
#include <id3v2framefactory.h>
#include <id3v2tag.h>
#include <infotag.h>
#include <mp4file.h>
#include <mpcfile.h>
#include <mpegfile.h>
#include <oggflacfile.h>
#include <opusfile.h>
#include <popularimeterframe.h>
#include <speexfile.h>
#include <tdebuglistener.h>
#include <tpropertymap.h>
#include <trueaudiofile.h>
#include <vorbisfile.h>
#include <wavfile.h>
#include <wavpackfile.h>

#include <QMimeType>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace quillmere::details::readers {
namespace {

// TagLib reports oddities of damaged files through its debug listener, which writes to stderr.
class SilentListener final : public TagLib::DebugListener {
public:
    void printMessage(const TagLib::String&) override {}
};

void silenceTagLib() {
    static SilentListener listener;
    static const bool installed = [] {
        TagLib::setDebugListener(&listener);
        return true;
    }();
    (void)installed;
}

// An open regular file as TagLib's input, read with pread through one window. TagLib's own
// FileStream moves the file offset before nearly every read and measures the file by seeking
// to its end and back: dozens of calls per file where one or two reads suffice.
class DescriptorStream final : public TagLib::IOStream {
public:
    explicit DescriptorStream(const app::fs::RegularFile& file) : file_(file) {}

    TagLib::FileName name() const override { return name_.constData(); }

    TagLib::ByteVector readBlock(unsigned long length) override {
        const qint64 left = std::max<qint64>(file_.size() - position_, 0);
        const qint64 wanted = std::min<qint64>(qint64(length), left);
        if (wanted <= 0)
            return {};
        const qint64 windowEnd = windowStart_ + window_.size();
        if (position_ >= windowStart_ && position_ + wanted <= windowEnd) {
            TagLib::ByteVector bytes(window_.constData() + (position_ - windowStart_),
                                     unsigned(wanted));
            position_ += wanted;
            return bytes;
        }
        if (wanted >= WindowBytes) {
            const QByteArray bytes = file_.read(position_, wanted);
            position_ += bytes.size();
            return TagLib::ByteVector(bytes.constData(), unsigned(bytes.size()));
        }
        // TagLib looks for the last MPEG frame block by block backwards from the end: a read
        // before the window gets a window that ends with it, so the next blocks are in it too.
        const bool backwards = !window_.isEmpty() && position_ < windowStart_;
        const qint64 start =
            backwards ? std::max<qint64>(0, position_ + wanted - WindowBytes) : position_;
        file_.readInto(window_, start, WindowBytes);
        windowStart_ = start;
        const qint64 offset = position_ - windowStart_;
        const qint64 got = std::clamp<qint64>(window_.size() - offset, 0, wanted);
        position_ += got;
        return TagLib::ByteVector(window_.constData() + offset, unsigned(got));
    }

    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return file_.isOpen(); }

    void seek(long offset, Position from) override {
        qint64 base = 0;
        if (from == Current)
            base = position_;
        else if (from == End)
            base = file_.size();
        // As fseek: a place before the start is refused, one past the end is taken.
        if (base + offset >= 0)
            position_ = base + offset;
    }

    long tell() const override { return long(position_); }
    long length() override { return long(file_.size()); }
    void truncate(long) override {}

private:
    static constexpr qint64 WindowBytes = 64 * 1024;

    const app::fs::RegularFile& file_;
    const QByteArray name_ = app::fs::descriptorPath(file_.fd());
    qint64 position_ = 0;
    ScratchBytes scratch_;
    QByteArray& window_ = scratch_.bytes();
    qint64 windowStart_ = 0;
};

enum class Format {
    None,
    Mpeg,
    Flac,
    OggVorbis,
    OggOpus,
    OggFlac,
    OggSpeex,
    Mp4,
    Asf,
    Wav,
    Aiff,
    Ape,
    WavPack,
    Musepack,
    TrueAudio
};

constexpr qint64 HeadBytes = 512;
constexpr int MaxStackedTags = 8;
// How far into a file without a known signature an MPEG frame is looked for.
constexpr qint64 MpegSearchBytes = 64 * 1024;

bool startsWith(const QByteArray& bytes, qint64 at, const char* magic, qint64 length) {
    return at >= 0 && at + length <= bytes.size() &&
           std::memcmp(bytes.constData() + at, magic, size_t(length)) == 0;
}

// The length of the MPEG audio frame whose header starts at `p`, or 0 when it is no header.
int mpegFrameLength(const unsigned char* p) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return 0;
    const int version = (p[1] >> 3) & 3; // 0: 2.5, 2: 2, 3: 1
    const int layer = (p[1] >> 1) & 3;   // 1: III, 2: II, 3: I
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;
    static const int bitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static const int rates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int layerIndex = 3 - layer; // 0: I, 1: II, 2: III
    const int bitrate = bitrates[mpeg1 ? 0 : 1][layerIndex][bitrateIndex] * 1000;
    const int rate = rates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int padding = (p[2] >> 1) & 1;
    if (layerIndex == 0)
        return (12 * bitrate / rate + padding) * 4;
    const int factor = (layerIndex == 2 && !mpeg1) ? 72 : 144;
    return factor * bitrate / rate + padding;
}

// True when two consecutive MPEG frames start within the first bytes after `offset`.
bool hasMpegFrames(const app::fs::RegularFile& file, qint64 offset) {
    ScratchBytes scratch;
    QByteArray& bytes = scratch.bytes();
    file.readInto(bytes, offset, MpegSearchBytes);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qint64 size = bytes.size();
    for (qint64 i = 0; i + 4 <= size; ++i) {
        const int length = mpegFrameLength(p + i);
        if (length <= 0)
            continue;
        const qint64 next = i + length;
        if (next + 4 > size)
            return next >= file.size() - offset; // a single frame that fills the file
        if (mpegFrameLength(p + next) > 0 && (p[next + 1] & 0xFE) == (p[i + 1] & 0xFE))
            return true;
    }
    return false;
}

Format oggFormat(const QByteArray& head) {
    if (head.size() < 27)
        return Format::None;
    const qint64 packet = 27 + static_cast<unsigned char>(head[26]);
    if (startsWith(head, packet, "\x01vorbis", 7))
        return Format::OggVorbis;
    if (startsWith(head, packet, "OpusHead", 8))
        return Format::OggOpus;
    if (startsWith(head, packet,
                   "\x7f"
                   "FLAC",
                   5))
        return Format::OggFlac;
    if (startsWith(head, packet, "Speex   ", 8))
        return Format::OggSpeex;
    return Format::None;
}

// The format by the file's first bytes, whatever its name says.
Format sniff(const app::fs::RegularFile& file) {
    QByteArray head = file.read(0, HeadBytes);
    qint64 audioStart = 0;
    // Some taggers put a new ID3v2 tag in front of the old one instead of replacing it.
    for (int tags = 0; tags < MaxStackedTags && startsWith(head, 0, "ID3", 3) && head.size() >= 10;
         ++tags) {
        const auto* h = reinterpret_cast<const unsigned char*>(head.constData());
        const qint64 tagSize = (qint64(h[6] & 0x7f) << 21) | (qint64(h[7] & 0x7f) << 14) |
                               (qint64(h[8] & 0x7f) << 7) | qint64(h[9] & 0x7f);
        audioStart += 10 + tagSize + ((h[5] & 0x10) ? 10 : 0);
        head = file.read(audioStart, HeadBytes);
    }
    if (startsWith(head, 0, "fLaC", 4))
        return Format::Flac;
    if (startsWith(head, 0, "MAC ", 4))
        return Format::Ape;
    if (startsWith(head, 0, "TTA1", 4))
        return Format::TrueAudio;
    if (startsWith(head, 0, "wvpk", 4))
        return Format::WavPack;
    if (startsWith(head, 0, "MPCK", 4) || startsWith(head, 0, "MP+", 3))
        return Format::Musepack;
    if (audioStart == 0) {
        if (startsWith(head, 0, "OggS", 4))
            return oggFormat(head);
        if (startsWith(head, 4, "ftyp", 4))
            return Format::Mp4;
        if (startsWith(head, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C",
                       16))
            return Format::Asf;
        if (startsWith(head, 0, "RIFF", 4) && startsWith(head, 8, "WAVE", 4))
            return Format::Wav;
        if (startsWith(head, 0, "FORM", 4) &&
            (startsWith(head, 8, "AIFF", 4) || startsWith(head, 8, "AIFC", 4)))
            return Format::Aiff;
    }
    return hasMpegFrames(file, audioStart) ? Format::Mpeg : Format::None;
}

std::unique_ptr<TagLib::File> openAs(Format format, TagLib::IOStream* stream) {
    using Style = TagLib::AudioProperties::ReadStyle;
    constexpr Style style = Style::Average;
    auto* frames = TagLib::ID3v2::FrameFactory::instance();
    switch (format) {
    case Format::Mpeg:
        return std::make_unique<TagLib::MPEG::File>(stream, frames, true, style);
    case Format::Flac:
        return std::make_unique<TagLib::FLAC::File>(stream, frames, true, style);
    case Format::OggVorbis:
        return std::make_unique<TagLib::Ogg::Vorbis::File>(stream, true, style);
    case Format::OggOpus:
        return std::make_unique<TagLib::Ogg::Opus::File>(stream, true, style);
    case Format::OggFlac:
        return std::make_unique<TagLib::Ogg::FLAC::File>(stream, true, style);
    case Format::OggSpeex:
        return std::make_unique<TagLib::Ogg::Speex::File>(stream, true, style);
    case Format::Mp4:
        return std::make_unique<TagLib::MP4::File>(stream, true, style);
    case Format::Asf:
        return std::make_unique<TagLib::ASF::File>(stream, true, style);
    case Format::Wav:
        return std::make_unique<TagLib::RIFF::WAV::File>(stream, true, style);
    case Format::Aiff:
        return std::make_unique<TagLib::RIFF::AIFF::File>(stream, true, style);
    case Format::Ape:
        return std::make_unique<TagLib::APE::File>(stream, true, style);
    case Format::WavPack:
        return std::make_unique<TagLib::WavPack::File>(stream, true, style);
    case Format::Musepack:
        return std::make_unique<TagLib::MPC::File>(stream, true, style);
    case Format::TrueAudio:
        return std::make_unique<TagLib::TrueAudio::File>(stream, frames, true, style);
    case Format::None:
        break;
    }
    return nullptr;
}

QString text(const TagLib::String& s) {
    return QString::fromStdString(s.to8Bit(true));
}

// Adds every value of `key`; when the map has none, the single value of the plain tag.
void addValues(EmbeddedDetails& out, int column, const TagLib::PropertyMap& map, const char* key,
               const TagLib::String& fallback = {}) {
    const auto it = map.find(key);
    if (it != map.end() && !it->second.isEmpty()) {
        for (const TagLib::String& value : it->second)
            out.add(column, text(value));
    } else if (!fallback.isEmpty()) {
        out.add(column, text(fallback));
    }
}

int ratingOfId3v2(const TagLib::ID3v2::Tag* tag) {
    if (!tag)
        return 0;
    for (const TagLib::ID3v2::Frame* frame : tag->frameList("POPM")) {
        const auto* popm = dynamic_cast<const TagLib::ID3v2::PopularimeterFrame*>(frame);
        const int stars = popm ? starsFromPopularimeter(popm->rating()) : 0;
        if (stars > 0)
            return stars;
    }
    return 0;
}

int ratingOfMp4(const TagLib::MP4::Tag* tag) {
    if (!tag)
        return 0;
    for (const char* key : {"rate", "----:com.apple.iTunes:RATING"}) {
        if (!tag->contains(key))
            continue;
        const TagLib::MP4::Item item = tag->item(key);
        for (const TagLib::String& value : item.toStringList()) {
            if (const int stars = starsFromRatingText(text(value)))
                return stars;
        }
        if (const int stars = starsFromPercent(item.toInt()))
            return stars;
    }
    return 0;
}

int ratingOfAsf(const TagLib::ASF::Tag* tag) {
    if (!tag)
        return 0;
    for (const TagLib::ASF::Attribute& attribute : tag->attribute("WM/SharedUserRating")) {
        int stars = 0;
        switch (attribute.type()) {
        case TagLib::ASF::Attribute::DWordType:
        case TagLib::ASF::Attribute::WordType:
        case TagLib::ASF::Attribute::QWordType:
            stars =
                starsFromPercent(int(std::min<unsigned long long>(attribute.toULongLong(), 1000)));
            break;
        case TagLib::ASF::Attribute::UnicodeType:
            stars = starsFromPercent(text(attribute.toString()).toInt());
            break;
        default:
            break;
        }
        if (stars > 0)
            return stars;
    }
    return 0;
}

int ratingOfProperties(const TagLib::PropertyMap& map) {
    for (const char* key : {"RATING", "FMPS_RATING"}) {
        const auto it = map.find(key);
        if (it == map.end())
            continue;
        for (const TagLib::String& value : it->second) {
            const int stars = starsFromRatingText(text(value));
            if (stars > 0)
                return stars;
        }
    }
    return 0;
}

// The rating and the encoding program, which each format keeps in its own place.
void addFormatSpecific(TagLib::File& file, const TagLib::PropertyMap& map, EmbeddedDetails& out) {
    int stars = 0;
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(&file))
        stars = mpeg->hasID3v2Tag() ? ratingOfId3v2(mpeg->ID3v2Tag()) : 0;
    else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(&file))
        stars = flac->hasID3v2Tag() ? ratingOfId3v2(flac->ID3v2Tag()) : 0;
    else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(&file)) {
        stars = wav->hasID3v2Tag() ? ratingOfId3v2(wav->ID3v2Tag()) : 0;
        if (wav->hasInfoTag()) {
            const TagLib::RIFF::Info::Tag* info = wav->InfoTag();
            out.add(column::Copyright, text(info->fieldText("ICOP")));
            out.add(column::Composers, text(info->fieldText("IMUS")));
            out.add(column::ProgramName, text(info->fieldText("ISFT")));
        }
    } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(&file))
        stars = aiff->hasID3v2Tag() ? ratingOfId3v2(aiff->tag()) : 0;
    else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(&file)) {
        stars = ratingOfAsf(asf->tag());
        for (const char* key : {"WM/EncodingSettings", "WM/ToolName"}) {
            for (const TagLib::ASF::Attribute& attribute : asf->tag()->attribute(key)) {
                if (attribute.type() == TagLib::ASF::Attribute::UnicodeType)
                    out.add(column::ProgramName, text(attribute.toString()));
            }
        }
    } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(&file)) {
        // MP4's encoding tool item, which TagLib files under ENCODEDBY.
        const TagLib::MP4::Tag* tag = mp4->tag();
        stars = ratingOfMp4(tag);
        if (tag && tag->contains("\251too")) {
            for (const TagLib::String& value : tag->item("\251too").toStringList())
                out.add(column::ProgramName, text(value));
        }
    }
    if (stars == 0)
        stars = ratingOfProperties(map);
    out.add(column::Rating, starsText(stars));
}

void readTags(TagLib::File& file, EmbeddedDetails& out) {
    const TagLib::PropertyMap map = file.properties();
    const TagLib::Tag* tag = file.tag();
    const TagLib::String none;
    addValues(out, column::ContributingArtists, map, "ARTIST", tag ? tag->artist() : none);
    addValues(out, column::Album, map, "ALBUM", tag ? tag->album() : none);
    int year = tag ? int(tag->year()) : 0;
    if (year <= 0) {
        const auto it = map.find("DATE");
        if (it != map.end() && !it->second.isEmpty())
            year = yearOfDate(text(it->second.front()));
    }
    if (year > 0)
        out.add(column::Year, QString::number(year));
    addValues(out, column::Genre, map, "GENRE", tag ? tag->genre() : none);
    addValues(out, column::Conductors, map, "CONDUCTOR");
    addValues(out, column::Title, map, "TITLE", tag ? tag->title() : none);
    addValues(out, column::Comments, map, "COMMENT", tag ? tag->comment() : none);
    addValues(out, column::Copyright, map, "COPYRIGHT");
    int track = tag ? int(tag->track()) : 0;
    if (track <= 0) {
        const auto it = map.find("TRACKNUMBER");
        if (it != map.end() && !it->second.isEmpty())
            track = leadingNumber(text(it->second.front()));
    }
    if (track > 0)
        out.add(column::TrackNumber, QString::number(track));
    addValues(out, column::Composers, map, "COMPOSER");
    addValues(out, column::ProgramName, map, "ENCODING");
    addValues(out, column::ProgramName, map, "ENCODER");
    addFormatSpecific(file, map, out);
}

class AudioReader final : public Reader {
public:
    void prepare() const override { silenceTagLib(); }

    bool read(const FileToRead& request, EmbeddedDetails& out) const override {
        try {
            return readFile(request, out);
        } catch (...) {
            return false;
        }
    }

private:
    static bool readFile(const FileToRead& request, EmbeddedDetails& out) {
        silenceTagLib();
        const app::fs::RegularFile file = openToRead(request);
        if (!file.isOpen())
            return false;
        const Format format = sniff(file);
        if (format == Format::None)
            return false;
        DescriptorStream stream(file);
        const std::unique_ptr<TagLib::File> audio = openAs(format, &stream);
        if (!audio || !audio->isValid())
            return false;
        readTags(*audio, out);
        if (const TagLib::AudioProperties* properties = audio->audioProperties()) {
            out.add(column::Length, lengthText(properties->lengthInMilliseconds()));
            out.add(column::BitRate, bitRateText(properties->bitrate()));
        }
        return true;
    }
};

} // namespace

const Reader& audioReader() {
    static const AudioReader reader;
    return reader;
}

} // namespace quillmere::details::readers
