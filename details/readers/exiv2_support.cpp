#include "details/readers/exiv2_support.h"

#include "details/column_ids.h"
#include "details/readers/gif_blocks.h"
#include "details/value_formats.h"

#include <exiv2/error.hpp>
#include <exiv2/jpgimage.hpp>
#include <exiv2/value.hpp>

#include <QTimeZone>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>

#include <unistd.h>

namespace quillmere::details::readers {

namespace {

void lockXmp(void* data, bool lock) {
    auto* mutex = static_cast<std::mutex*>(data);
    if (lock)
        mutex->lock();
    else
        mutex->unlock();
}

// EXIF and IPTC texts that are not UTF-8 were written in Latin-1 by the cameras and programs of
// their time; XMP is always UTF-8.
QString fromStd(const std::string& text) {
    return commentText(QByteArray::fromRawData(text.data(), qsizetype(text.size())));
}

// Windows' XP* tags: UCS-2 little-endian in a BYTE array, ended by a NUL character.
QString decodeUcs2(const Exiv2::Value& value) {
    const long count = value.count();
    std::u16string text;
    text.reserve(size_t(count / 2));
    for (long i = 0; i + 1 < count; i += 2) {
        const auto unit = char16_t((value.toLong(i) & 0xff) | ((value.toLong(i + 1) & 0xff) << 8));
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return QString::fromStdU16String(text);
}

QStringList splitList(const QString& text) {
    QStringList parts;
    for (const QString& part : text.split(u';', Qt::SkipEmptyParts)) {
        const QString trimmed = part.trimmed();
        if (!trimmed.isEmpty())
            parts.append(trimmed);
    }
    return parts;
}

double rationalValue(const Exiv2::Value& value) {
    const Exiv2::Rational r = value.toRational(0);
    if (r.second == 0)
        return -1;
    return double(r.first) / double(r.second);
}

QString fNumberText(double f) {
    if (!(f > 0) || f > 1000)
        return {};
    // Shown in tenths: a value that rounds to none would read as "f/0".
    const double tenths = std::round(f * 10) / 10;
    if (tenths <= 0)
        return {};
    return QStringLiteral("f/") + QString::number(tenths, 'g', 4);
}

// The time as the file holds it: "1/250 sec." when the reciprocal is whole, otherwise the exact
// decimal ("0.4 sec.", "2.5 sec.") or, when no decimal ends, the fraction ("2/3 sec.").
QString exposureText(const Exiv2::Value& value) {
    const Exiv2::Rational r = value.toRational(0);
    if (r.first <= 0 || r.second <= 0)
        return {};
    const qint64 divisor = std::gcd(qint64(r.first), qint64(r.second));
    const qint64 numerator = r.first / divisor;
    const qint64 denominator = r.second / divisor;
    if (denominator == 1)
        return QStringLiteral("%1 sec.").arg(numerator);
    if (numerator == 1)
        return QStringLiteral("1/%1 sec.").arg(denominator);
    // A decimal ends when the denominator has no prime factor but 2 and 5; it then divides
    // 10^digits for the larger of the two counts.
    qint64 rest = denominator;
    int twos = 0;
    int fives = 0;
    for (; rest % 2 == 0; rest /= 2)
        ++twos;
    for (; rest % 5 == 0; rest /= 5)
        ++fives;
    const int digits = std::max(twos, fives);
    if (rest != 1 || digits > 12)
        return QStringLiteral("%1/%2 sec.").arg(numerator).arg(denominator);
    qint64 scale = 1;
    for (int i = 0; i < digits; ++i)
        scale *= 10;
    // At most 2^31 * 5^12, well inside 64 bits.
    const qint64 scaled = numerator * (scale / denominator);
    const QString fraction = QString::number(scaled % scale).rightJustified(digits, u'0');
    return QStringLiteral("%1.%2 sec.").arg(scaled / scale).arg(fraction);
}

QString ratingText(long stars) {
    if (stars < 1 || stars > 5)
        return {};
    return stars == 1 ? QStringLiteral("1 Star") : QStringLiteral("%1 Stars").arg(stars);
}

// "2024:05:01 10:20:30" read by hand: Qt's parser for a format costs far more than the rest of a
// photo's details. Anything else takes the general way.
QString exifDateText(QStringView text) {
    if (text.size() < 19)
        return {};
    int fields[6];
    for (int i = 0; i < 6; ++i) {
        const int at = i == 0 ? 0 : 2 + 3 * i;
        const int digits = i == 0 ? 4 : 2;
        const char16_t separator = i < 2 ? u':' : i == 2 ? u' ' : u':';
        int value = 0;
        for (int d = 0; d < digits; ++d) {
            const QChar c = text[at + d];
            if (c < u'0' || c > u'9')
                return {};
            value = value * 10 + (c.unicode() - u'0');
        }
        if (i < 5 && text[at + digits] != separator)
            return {};
        fields[i] = value;
    }
    const QDate date(fields[0], fields[1], fields[2]);
    const QTime time(fields[3], fields[4], fields[5]);
    if (!date.isValid() || !time.isValid())
        return {};
    return shortDateTime(date, time);
}

// A camera whose clock was never set writes zeros, or blanks between the colons.
bool isUnsetDate(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        return c == u'0' || c == u':' || c == u' ' || c == u'-' || c == u'T';
    });
}

QString dateText(const QString& raw) {
    const QString trimmed = raw.trimmed();
    if (isUnsetDate(trimmed))
        return {};
    QString text = exifDateText(trimmed);
    if (!text.isEmpty())
        return text;
    const QDateTime time = parsePhotoTime(raw);
    return time.isValid() ? shortDateTime(time) : trimmed;
}

// The first value found for each single-valued detail and every value for the lists, by source.
struct Found {
    QString make, model, software, artist, xpAuthor, copyright, description, dateTaken;
    QString fNumber, aperture, exposure, iso, lens, userComment, xpTitle, xpComment, xpKeywords,
        xpSubject, pixelX, pixelY;
    long exifRating = 0;
    QStringList xmpTitle, xmpCreator, xmpSubject, xmpRights, xmpDescription;
    QString xmpDate, xmpMake, xmpModel, xmpCreatorTool, xmpLens;
    long xmpRating = 0;
    QStringList iptcKeywords, iptcObjectName, iptcByline, iptcCopyright, iptcCaption;
};

// The EXIF and TIFF tags read, by number.
namespace exif {
constexpr quint16 Make = 0x010f;
constexpr quint16 Model = 0x0110;
constexpr quint16 Software = 0x0131;
constexpr quint16 Artist = 0x013b;
constexpr quint16 Copyright = 0x8298;
constexpr quint16 ImageDescription = 0x010e;
constexpr quint16 DateTimeOriginal = 0x9003;
constexpr quint16 FNumber = 0x829d;
constexpr quint16 ApertureValue = 0x9202;
constexpr quint16 ExposureTime = 0x829a;
constexpr quint16 IsoSpeedRatings = 0x8827;
constexpr quint16 LensModel = 0xa434;
constexpr quint16 UserComment = 0x9286;
constexpr quint16 XPTitle = 0x9c9b;
constexpr quint16 XPComment = 0x9c9c;
constexpr quint16 XPAuthor = 0x9c9d;
constexpr quint16 XPKeywords = 0x9c9e;
constexpr quint16 XPSubject = 0x9c9f;
constexpr quint16 Rating = 0x4746;
constexpr quint16 PixelXDimension = 0xa002;
constexpr quint16 PixelYDimension = 0xa003;
} // namespace exif

// A tag's text. ASCII tags are taken straight from their bytes, as exiv2 would print them (up to
// the first NUL: a damaged count may reach into the next tag's bytes); its printing goes through a
// string stream, which cost more than the rest of a photo's EXIF.
std::string exifText(const Exiv2::Value& value) {
    if (const auto* ascii = dynamic_cast<const Exiv2::AsciiValue*>(&value))
        return ascii->value_.substr(0, ascii->value_.find('\0'));
    return value.toString();
}

void readExif(const ExifTags& exif, Found& f) {
    for (const ExifTag& each : exif) {
        const uint16_t tag = each.tag;
        const bool image = each.image;
        const Exiv2::Value& value = *each.value;
        // A tag may come with no value at all; exiv2 throws when asked for its first.
        if (value.count() == 0)
            continue;
        const auto text = [&value] { return fromStd(exifText(value)).trimmed(); };
        const auto setOnce = [](QString& slot, const QString& value) {
            if (slot.isEmpty())
                slot = value;
        };
        switch (tag) {
        case exif::Make:
            setOnce(f.make, text());
            break;
        case exif::Model:
            setOnce(f.model, text());
            break;
        case exif::Software:
            setOnce(f.software, text());
            break;
        case exif::Artist:
            setOnce(f.artist, text());
            break;
        case exif::Copyright:
            setOnce(f.copyright, text());
            break;
        case exif::ImageDescription:
            setOnce(f.description, text());
            break;
        case exif::DateTimeOriginal:
            setOnce(f.dateTaken, text());
            break;
        case exif::FNumber:
            setOnce(f.fNumber, fNumberText(rationalValue(value)));
            break;
        case exif::ApertureValue: {
            const double apex = rationalValue(value);
            if (apex >= 0 && apex < 64)
                setOnce(f.aperture, fNumberText(std::pow(2.0, apex / 2)));
            break;
        }
        case exif::ExposureTime:
            setOnce(f.exposure, exposureText(value));
            break;
        case exif::IsoSpeedRatings: {
            const long iso = value.count() > 0 ? value.toLong(0) : 0;
            if (iso > 0)
                setOnce(f.iso, QStringLiteral("ISO-%1").arg(iso));
            break;
        }
        case exif::LensModel:
            setOnce(f.lens, text());
            break;
        case exif::UserComment:
            if (const auto* comment = dynamic_cast<const Exiv2::CommentValue*>(&value))
                setOnce(f.userComment, fromStd(comment->comment()));
            break;
        case exif::XPTitle:
            setOnce(f.xpTitle, decodeUcs2(value));
            break;
        case exif::XPComment:
            setOnce(f.xpComment, decodeUcs2(value));
            break;
        case exif::XPAuthor:
            setOnce(f.xpAuthor, decodeUcs2(value));
            break;
        case exif::XPKeywords:
            setOnce(f.xpKeywords, decodeUcs2(value));
            break;
        case exif::XPSubject:
            setOnce(f.xpSubject, decodeUcs2(value));
            break;
        case exif::Rating:
            if (image && f.exifRating == 0 && value.count() > 0)
                f.exifRating = value.toLong(0);
            break;
        case exif::PixelXDimension:
            setOnce(f.pixelX, text());
            break;
        case exif::PixelYDimension:
            setOnce(f.pixelY, text());
            break;
        default:
            break;
        }
    }
}

void readXmp(const XmpProperties& xmp, Found& f) {
    for (const XmpProperty& property : xmp) {
        const std::string& key = property.key;
        const QString first = property.texts.value(0);
        if (key == "dc.title")
            f.xmpTitle += property.texts;
        else if (key == "dc.creator")
            f.xmpCreator += property.texts;
        else if (key == "dc.subject")
            f.xmpSubject += property.texts;
        else if (key == "dc.rights")
            f.xmpRights += property.texts;
        else if (key == "dc.description")
            f.xmpDescription += property.texts;
        else if (key == "xmp.Rating" && f.xmpRating == 0)
            f.xmpRating = std::lround(first.toDouble());
        else if (key == "xmp.CreatorTool" && f.xmpCreatorTool.isEmpty())
            f.xmpCreatorTool = first;
        else if ((key == "exif.DateTimeOriginal" || key == "photoshop.DateCreated") &&
                 f.xmpDate.isEmpty())
            f.xmpDate = first;
        else if (key == "tiff.Make" && f.xmpMake.isEmpty())
            f.xmpMake = first;
        else if (key == "tiff.Model" && f.xmpModel.isEmpty())
            f.xmpModel = first;
        else if ((key == "aux.Lens" || key == "exifEX.LensModel") && f.xmpLens.isEmpty())
            f.xmpLens = first;
    }
}

void readIptc(const IptcTexts& iptc, Found& f) {
    for (const IptcText& each : iptc) {
        const QString text = fromStd(each.bytes.toStdString());
        switch (each.dataset) {
        case iptc::Keywords:
            f.iptcKeywords.append(text);
            break;
        case iptc::ObjectName:
            f.iptcObjectName.append(text);
            break;
        case iptc::Byline:
            f.iptcByline.append(text);
            break;
        case iptc::Copyright:
            f.iptcCopyright.append(text);
            break;
        case iptc::Caption:
            f.iptcCaption.append(text);
            break;
        default:
            break;
        }
    }
}

void addAll(EmbeddedDetails& out, int column, const QStringList& values) {
    for (const QString& value : values)
        out.add(column, value);
}

} // namespace

DescriptorIo::DescriptorIo(int fd, qint64 size) : fd_(fd), size_(std::max<qint64>(size, 0)) {}

DescriptorIo::~DescriptorIo() {
    munmap();
}

int DescriptorIo::open() {
    position_ = 0;
    eof_ = false;
    error_ = false;
    return 0;
}

int DescriptorIo::close() {
    munmap();
    return 0;
}

long DescriptorIo::write(const Exiv2::byte*, long) {
    return 0;
}

long DescriptorIo::write(Exiv2::BasicIo&) {
    return 0;
}

int DescriptorIo::putb(Exiv2::byte) {
    return EOF;
}

Exiv2::DataBuf DescriptorIo::read(long count) {
    // As exiv2's own FileIo: a request beyond the file's size is refused before allocating.
    if (count < 0 || qint64(count) > size_)
        throw Exiv2::Error(Exiv2::kerInvalidMalloc);
    Exiv2::DataBuf buffer(count);
    buffer.size_ = read(buffer.pData_, count);
    return buffer;
}

long DescriptorIo::read(Exiv2::byte* buffer, long count) {
    if (count <= 0)
        return 0;
    long done = 0;
    while (done < count && position_ < size_) {
        const qint64 windowEnd = windowStart_ + qint64(window_.size());
        if (position_ >= windowStart_ && position_ < windowEnd) {
            const long n = long(std::min<qint64>(count - done, windowEnd - position_));
            std::memcpy(buffer + done, window_.data() + (position_ - windowStart_), size_t(n));
            done += n;
            position_ += n;
            continue;
        }
        const long want = count - done;
        // A large request goes straight into the caller's buffer; a small one fills the window.
        char* target = want >= WindowBytes ? reinterpret_cast<char*>(buffer + done) : nullptr;
        if (!target) {
            window_.resize(WindowBytes);
            target = window_.data();
        }
        const size_t length = size_t(
            std::min<qint64>(target == window_.data() ? WindowBytes : want, size_ - position_));
        ssize_t n;
        do
            n = ::pread(fd_, target, length, position_);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            error_ = n < 0;
            if (target == window_.data())
                window_.resize(0);
            break;
        }
        if (target == window_.data()) {
            window_.resize(qsizetype(n));
            windowStart_ = position_;
        } else {
            done += long(n);
            position_ += n;
        }
    }
    if (done < count)
        eof_ = true;
    return done;
}

int DescriptorIo::getb() {
    Exiv2::byte byte = 0;
    return read(&byte, 1) == 1 ? int(byte) : EOF;
}

void DescriptorIo::transfer(Exiv2::BasicIo&) {
    throw Exiv2::Error(Exiv2::kerCallFailed, path(), "read-only", "transfer");
}

int DescriptorIo::seek(long offset, Position from) {
    qint64 base = 0;
    if (from == cur)
        base = position_;
    else if (from == end)
        base = size_;
    const qint64 target = base + offset;
    if (target < 0)
        return 1;
    position_ = target;
    eof_ = false;
    return 0;
}

Exiv2::byte* DescriptorIo::mmap(bool writeable) {
    if (writeable)
        throw Exiv2::Error(Exiv2::kerCallFailed, path(), "read-only", "mmap");
    munmap();
    if (size_ == 0)
        return nullptr;
    // exiv2 wants TIFF and raw files whole. A copy, not a mapping: a mapped file truncated while
    // it is parsed kills the process with SIGBUS. What can no longer be read stays zero.
    if (size_ > WholeFileCap)
        throw Exiv2::Error(Exiv2::kerCallFailed, path(), "too large", "mmap");
    std::unique_ptr<Exiv2::byte[]> copy(new Exiv2::byte[size_t(size_)]);
    qint64 done = 0;
    while (done < size_) {
        const ssize_t n = ::pread(fd_, copy.get() + done, size_t(size_ - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    if (done < size_)
        std::memset(copy.get() + done, 0, size_t(size_ - done));
    whole_ = std::move(copy);
    return whole_.get();
}

int DescriptorIo::munmap() {
    whole_.reset();
    return 0;
}

long DescriptorIo::tell() const {
    return long(position_);
}

size_t DescriptorIo::size() const {
    return size_t(size_);
}

bool DescriptorIo::isopen() const {
    return true;
}

int DescriptorIo::error() const {
    return error_ ? 1 : 0;
}

bool DescriptorIo::eof() const {
    return eof_;
}

std::string DescriptorIo::path() const {
    return "/proc/self/fd/" + std::to_string(fd_);
}

void prepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::LogMsg::setHandler(nullptr);
        static std::mutex xmpMutex;
        Exiv2::XmpParser::initialize(lockXmp, &xmpMutex);
    });
}

ExifTags decodeOffsetExif(const QByteArray& block) {
    if (block.size() < 4)
        return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.constData());
    const quint32 skip = (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) |
                         (quint32(bytes[2]) << 8) | quint32(bytes[3]);
    if (skip > quint32(block.size() - 4))
        return {};
    return readExifTags(QByteArrayView(block).sliced(4 + qsizetype(skip)));
}

IptcTexts decodeIptc(QByteArrayView photoshop, bool orBareRecords) {
    QByteArray records;
    bool found = false;
    const auto* at = reinterpret_cast<const Exiv2::byte*>(photoshop.data());
    const Exiv2::byte* const end = at + photoshop.size();
    const Exiv2::byte* record = nullptr;
    uint32_t headerSize = 0;
    uint32_t dataSize = 0;
    while (at < end && Exiv2::Photoshop::locateIptcIrb(at, long(end - at), &record, &headerSize,
                                                       &dataSize) == 0) {
        found = true;
        const Exiv2::byte* data = record + headerSize;
        if (data > end || dataSize > quint64(end - data))
            break;
        records.append(reinterpret_cast<const char*>(data), qsizetype(dataSize));
        at = data + dataSize + (dataSize & 1);
    }
    return readIptcRecords(found || !orBareRecords ? QByteArrayView(records) : photoshop);
}

QString dimensionsText(qint64 width, qint64 height) {
    if (width <= 0 || height <= 0)
        return {};
    return QStringLiteral("%1 x %2").arg(width).arg(height);
}

QDateTime parsePhotoTime(const QString& raw) {
    const QString text = raw.trimmed();
    if (text.size() >= 19 && text[4] == u':' && text[7] == u':') {
        QDateTime time =
            QDateTime::fromString(text.left(19), QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (time.isValid())
            return time;
    }
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime::fromString(text, Qt::RFC2822Date);
    if (time.isValid() && time.timeSpec() != Qt::LocalTime)
        time = time.toLocalTime();
    return time;
}

void addPhotoDetails(const ExifTags& exif, const IptcTexts& iptc, const XmpProperties& xmp,
                     const QString& jpegComment, QString dimensions, EmbeddedDetails& out) {
    Found f;
    readExif(exif, f);
    readXmp(xmp, f);
    readIptc(iptc, f);

    const QString taken = !isUnsetDate(f.dateTaken.trimmed()) ? f.dateTaken : f.xmpDate;
    if (!taken.isEmpty())
        out.add(column::DateTaken, dateText(taken));

    addAll(out, column::Tags, f.iptcKeywords);
    addAll(out, column::Tags, f.xmpSubject);
    addAll(out, column::Tags, splitList(f.xpKeywords));

    out.add(column::Rating, ratingText(f.xmpRating != 0 ? f.xmpRating : f.exifRating));

    addAll(out, column::Authors, splitList(f.artist));
    addAll(out, column::Authors, splitList(f.xpAuthor));
    addAll(out, column::Authors, f.xmpCreator);
    addAll(out, column::Authors, f.iptcByline);

    addAll(out, column::Title, f.xmpTitle);
    addAll(out, column::Title, f.iptcObjectName);
    out.add(column::Title, f.xpTitle);

    out.add(column::Subject, f.xpSubject);

    out.add(column::Comments, f.userComment);
    out.add(column::Comments, f.xpComment);
    out.add(column::Comments, jpegComment);

    out.add(column::Copyright, f.copyright);
    addAll(out, column::Copyright, f.xmpRights);
    addAll(out, column::Copyright, f.iptcCopyright);

    out.add(column::CameraModel, !f.model.isEmpty() ? f.model : f.xmpModel);
    if (dimensions.isEmpty())
        dimensions = dimensionsText(f.pixelX.toLongLong(), f.pixelY.toLongLong());
    out.add(column::Dimensions, dimensions);
    out.add(column::CameraMaker, !f.make.isEmpty() ? f.make : f.xmpMake);

    out.add(column::FileDescription, f.description);
    addAll(out, column::FileDescription, f.xmpDescription);
    addAll(out, column::FileDescription, f.iptcCaption);

    out.add(column::ProgramName, f.software);
    out.add(column::ProgramName, f.xmpCreatorTool);

    out.add(column::LensModel, !f.lens.isEmpty() ? f.lens : f.xmpLens);
    out.add(column::FStop, !f.fNumber.isEmpty() ? f.fNumber : f.aperture);
    out.add(column::ExposureTime, f.exposure);
    out.add(column::IsoSpeed, f.iso);
}

} // namespace quillmere::details::readers
