#include "extract/warm_up.h"

#include "details/readers/reader.h"
#include "details/value_formats.h"

#include <libheif/heif.h>

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <iconv.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quillmere::extract {

namespace {

// glibc loads a conversion module, and its list of modules, the first time a conversion between
// two character sets is opened. The descriptors stay open so the modules stay loaded.
void loadConversions() {
    static const char* const pairs[][2] = {
        {"UTF-8", "UCS-2LE"}, {"UTF-8", "UCS-2BE"},    {"UTF-8", "ISO-8859-1"},
        {"UTF-8", "ASCII"},   {"UCS-2LE", "UTF-8"},    {"UCS-2BE", "UTF-8"},
        {"UTF-8", "UTF-16"},  {"ISO-8859-1", "UTF-8"},
    };
    for (const auto& pair : pairs)
        (void)::iconv_open(pair[0], pair[1]);
}

// Dates are written in the user's locale and local time, as in the program itself. Without TZ,
// the C library reloads /etc/localtime whenever Qt asks it to re-read the zone, which the sandbox
// would refuse (and the zone would silently become UTC); naming the same file keeps the zone read
// here for good.
void loadLocaleAndZone() {
    std::setlocale(LC_ALL, "");
    if (!std::getenv("TZ"))
        ::setenv("TZ", ":/etc/localtime", 1);
    ::tzset();
    const QDateTime now = QDateTime::currentDateTime();
    (void)details::shortDateTime(now);
    (void)details::shortDateTime(now.date(), now.time());
    (void)details::shortDateTime(QDateTime::currentDateTimeUtc().toLocalTime());
    (void)QLocale::system().toString(now, QLocale::ShortFormat);
}

void appendBigEndian16(QByteArray& bytes, int value) {
    bytes.append(char((value >> 8) & 0xff));
    bytes.append(char(value & 0xff));
}

void appendLittleEndian(QByteArray& bytes, quint32 value, int size) {
    for (int i = 0; i < size; ++i)
        bytes.append(char((value >> (8 * i)) & 0xff));
}

// A JPEG holding nothing but a camera maker in its EXIF block.
QByteArray tinyPhoto() {
    const QByteArray maker("Warm\0", 5);
    QByteArray tiff("II*\0", 4);
    appendLittleEndian(tiff, 8, 4);      // the first directory
    appendLittleEndian(tiff, 1, 2);      // one entry
    appendLittleEndian(tiff, 0x010f, 2); // Make
    appendLittleEndian(tiff, 2, 2);      // ASCII
    appendLittleEndian(tiff, quint32(maker.size()), 4);
    appendLittleEndian(tiff, 8 + 2 + 12 + 4, 4); // the text, right after the directory
    appendLittleEndian(tiff, 0, 4);              // no next directory
    tiff += maker;
    const QByteArray exif = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray jpeg("\xff\xd8\xff\xe1", 4);
    appendBigEndian16(jpeg, int(exif.size()) + 2);
    jpeg += exif;
    jpeg += QByteArray("\xff\xd9", 2);
    return jpeg;
}

// A PDF of one empty page with a title, its cross-reference table counted out.
QByteArray tinyDocument() {
    const QList<QByteArray> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >>",
        "<< /Title (Warm) /Author (Up) >>",
    };
    QByteArray pdf("%PDF-1.4\n");
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype table = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) +
           " /Root 1 0 R /Info 4 0 R >>\nstartxref\n" + QByteArray::number(table) + "\n%%EOF\n";
    return pdf;
}

// An MPEG audio file of an ID3v2 tag with a title, and a few silent frames.
QByteArray tinySong() {
    QByteArray frame("TIT2", 4);
    const QByteArray title("\0Warm", 5); // Latin-1
    appendBigEndian16(frame, 0);
    appendBigEndian16(frame, int(title.size()));
    appendBigEndian16(frame, 0);
    frame += title;
    QByteArray song("ID3\x03\0\0", 6);
    // A synchsafe size: seven bits a byte.
    const int size = int(frame.size());
    for (int shift = 21; shift >= 0; shift -= 7)
        song.append(char((size >> shift) & 0x7f));
    song += frame;
    // MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417 bytes a frame.
    QByteArray audio(417, '\0');
    audio[0] = char(0xff);
    audio[1] = char(0xfb);
    audio[2] = char(0x90);
    audio[3] = char(0x00);
    for (int i = 0; i < 4; ++i)
        song += audio;
    return song;
}

// Every reader reads each sample once, through the same path a helper takes, so that what the
// libraries start lazily (tables, registries, compiled patterns, resolved symbols) is done here
// once and shared by every helper rather than repeated in each. The samples are made here; no
// file is opened.
void exerciseReaders() {
    for (const QByteArray& sample : {tinyPhoto(), tinyDocument(), tinySong()}) {
        const int fd = ::memfd_create("sample", MFD_CLOEXEC);
        if (fd < 0)
            return;
        if (::write(fd, sample.constData(), size_t(sample.size())) == sample.size()) {
            for (int number = 0; number < details::ReaderFamilyCount; ++number) {
                const details::readers::Reader* reader = details::readers::readerByNumber(number);
                if (!reader)
                    continue;
                details::readers::FileToRead file;
                file.size = sample.size();
                file.descriptor = fd;
                file.confined = true;
                details::readers::EmbeddedDetails found;
                bool incomplete = false;
                try {
                    (void)details::readers::readKeepingWhatWasFound(*reader, file, found,
                                                                    incomplete);
                    for (int c = details::column::FirstEmbedded; c < details::column::Count; ++c)
                        (void)found.joined(c);
                } catch (...) {
                    // Only a warm-up: a helper reads real files whatever happened here.
                }
            }
        }
        ::close(fd);
    }
}

// A long-lived process keeps the memory it frees for its next file; a fresh helper starts with the
// allocator's defaults, which give large blocks back to the system at once and fetch them anew,
// zeroed, for the next file. Kept instead (within the helper's address-space limit).
void keepFreedMemory() {
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
    ::mallopt(M_TOP_PAD, 4 << 20);
}

} // namespace

void warmUp() {
    keepFreedMemory();
    loadLocaleAndZone();
    loadConversions();
    heif_init(nullptr);
    for (int number = 0; number < details::ReaderFamilyCount; ++number) {
        if (const details::readers::Reader* reader = details::readers::readerByNumber(number))
            reader->prepare();
    }
    // Compiled once here rather than inside the sandbox.
    (void)QRegularExpression(QStringLiteral("[;,]")).match(QStringLiteral("a;b"));
    exerciseReaders();
}

} // namespace quillmere::extract
