#include "details/readers/exiv2_support.h"
#include "details/value_formats.h"
#include "fixtures/documents.h"
#include "fixtures/images.h"
#include "fixtures/jpeg_xl.h"
#include "fixtures/paint_files.h"
#include "search/detail_columns.h"
#include "support/readers_here.h"
#include "support/test_main.h"

#include <QFile>
#include <QScopeGuard>

#include <exiv2/exiv2.hpp>

#include <fcntl.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using quillmere::fixtures::Kind;
using quillmere::fixtures::Tags;
using quillmere::search::DetailColumns;
namespace column = quillmere::details::column;

Q_DECLARE_METATYPE(quillmere::fixtures::Kind)

namespace {

Tags cameraTags() {
    Tags tags;
    tags.cameraMaker = QStringLiteral("Kodak");
    tags.cameraModel = QStringLiteral("EasyShare Z990");
    tags.lens = QStringLiteral("Schneider 4.6-138mm");
    tags.taken = QDateTime(QDate(2024, 5, 1), QTime(10, 20, 30));
    tags.exposureDenominator = 125;
    tags.fNumber = 2.8;
    tags.iso = 100;
    tags.title = QStringLiteral("Harbour at dawn");
    tags.author = QStringLiteral("Mira Holm");
    tags.keywords = {QStringLiteral("harbour"), QStringLiteral("boats")};
    tags.rating = 4;
    tags.program = QStringLiteral("Quillmere Fixtures 1.0");
    tags.copyright = QStringLiteral("(c) Mira Holm");
    tags.description = QStringLiteral("Fishing boats at first light");
    tags.subject = QStringLiteral("Coast");
    tags.comment = QStringLiteral("Shot from the pier");
    tags.width = 80;
    tags.height = 60;
    return tags;
}

QString write(const QTemporaryDir& dir, Kind kind, const QString& name, const Tags& tags) {
    const QString path = dir.filePath(name);
    quillmere::fixtures::writeImage(kind, path, tags);
    return path;
}

QByteArray bigEndian(quint32 value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, 4);
}

QByteArray pngChunk(const QByteArray& type, const QByteArray& data) {
    return bigEndian(quint32(data.size())) + type + data +
           bigEndian(quillmere::fixtures::crc32(type + data));
}

QStringList embedded(DetailColumns& details) {
    QStringList values;
    for (int c = column::FirstEmbedded; c < column::Count; ++c) {
        const QString value = details.value(c);
        if (!value.isEmpty())
            values.append(QStringLiteral("%1 %2: %3").arg(c).arg(DetailColumns::title(c), value));
    }
    return values;
}

// The embedded details of a file of these bytes under this name; an empty list when it cannot be
// written.
QStringList embeddedOf(const QString& name, const QByteArray& bytes,
                       quillmere::search::DetailSources& sources) {
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {QStringLiteral("cannot write ") + path};
    file.close();
    DetailColumns details(QFile::encodeName(path), sources);
    return embedded(details);
}

} // namespace

class TestPhotoDetails : public QObject {
    Q_OBJECT

    quillmere::search::DetailSources sources_{quillmere::test::readingHere()};

private slots:
    void initTestCase() { Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute); }

    void cameraFields_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("itemType");
        QTest::addRow("JPEG") << Kind::Jpeg << "photo.jpg"
                              << "JPEG image";
        QTest::addRow("PNG") << Kind::Png << "photo.png"
                             << "PNG image";
        QTest::addRow("TIFF") << Kind::Tiff << "photo.tif"
                              << "TIFF image";
        QTest::addRow("WebP") << Kind::WebP << "photo.webp"
                              << "WebP image";
        QTest::addRow("HEIC") << Kind::Heic << "photo.heic"
                              << "HEIF image";
        QTest::addRow("JPEG XL") << Kind::Jxl << "photo.jxl"
                                 << "JPEG XL image";
        QTest::addRow("JPEG named as text") << Kind::Jpeg << "photo.txt"
                                            << "plain text document";
        QTest::addRow("JPEG without extension") << Kind::Jpeg << "photo"
                                                << "JPEG image";
    }

    void cameraFields() {
        QFETCH(Kind, kind);
        QFETCH(QString, name);
        QTemporaryDir dir;
        QString path;
        try {
            path = write(dir, kind, name, cameraTags());
        } catch (const std::exception& error) {
            QFAIL(error.what());
        }
        DetailColumns details(QFile::encodeName(path), sources_);
        QTEST(details.value(column::ItemType), "itemType");
        QCOMPARE(details.value(column::CameraMaker), QStringLiteral("Kodak"));
        QCOMPARE(details.value(column::CameraModel), QStringLiteral("EasyShare Z990"));
        QCOMPARE(details.value(column::DateTaken), QStringLiteral("5/1/24 10:20 AM"));
        QCOMPARE(details.value(column::Dimensions), QStringLiteral("80 x 60"));
        QCOMPARE(details.value(column::LensModel), QStringLiteral("Schneider 4.6-138mm"));
        QCOMPARE(details.value(column::ExposureTime), QStringLiteral("1/125 sec."));
        QCOMPARE(details.value(column::FStop), QStringLiteral("f/2.8"));
        QCOMPARE(details.value(column::IsoSpeed), QStringLiteral("ISO-100"));
        QCOMPARE(details.value(column::Title), QStringLiteral("Harbour at dawn"));
        QCOMPARE(details.value(column::Authors), QStringLiteral("Mira Holm"));
        QCOMPARE(details.value(column::Tags), QStringLiteral("harbour; boats"));
        QCOMPARE(details.value(column::Rating), QStringLiteral("4 Stars"));
        QCOMPARE(details.value(column::ProgramName), QStringLiteral("Quillmere Fixtures 1.0"));
        QCOMPARE(details.value(column::Copyright), QStringLiteral("(c) Mira Holm"));
        QCOMPARE(details.value(column::FileDescription),
                 QStringLiteral("Fishing boats at first light"));
        QCOMPARE(details.value(column::Subject), QStringLiteral("Coast"));
        QCOMPARE(details.value(column::Comments), QStringLiteral("Shot from the pier"));
        // Nothing of the audio, video or document columns, and no problem to report.
        for (int c : {column::ContributingArtists, column::Album, column::Length, column::Pages,
                      column::Company, column::Categories})
            QCOMPARE(details.value(c), QString());
        QCOMPARE(details.problems(), QStringList());
    }

    // The time the file holds, never rounded to a reciprocal: 4/10 s once showed "1/3 sec.".
    void exposureTimeIsExact_data() {
        QTest::addColumn<int>("numerator");
        QTest::addColumn<int>("denominator");
        QTest::addColumn<QString>("expected");
        QTest::addRow("0.4") << 4 << 10 << "0.4 sec.";
        QTest::addRow("0.6") << 6 << 10 << "0.6 sec.";
        QTest::addRow("0.8") << 8 << 10 << "0.8 sec.";
        QTest::addRow("1/3") << 1 << 3 << "1/3 sec.";
        QTest::addRow("1/3 stored as 10/30") << 10 << 30 << "1/3 sec.";
        QTest::addRow("1.5") << 15 << 10 << "1.5 sec.";
        QTest::addRow("2.5") << 5 << 2 << "2.5 sec.";
        QTest::addRow("2") << 2 << 1 << "2 sec.";
        QTest::addRow("30") << 300 << 10 << "30 sec.";
        QTest::addRow("1/8000") << 1 << 8000 << "1/8000 sec.";
        QTest::addRow("1/250 stored as 10/2500") << 10 << 2500 << "1/250 sec.";
        QTest::addRow("2/3 has no decimal") << 2 << 3 << "2/3 sec.";
        QTest::addRow("0.333 as stored") << 333 << 1000 << "0.333 sec.";
        QTest::addRow("0.0375") << 375 << 10000 << "0.0375 sec.";
        QTest::addRow("0.0125 is 1/80") << 125 << 10000 << "1/80 sec.";
        QTest::addRow("largest decimal") << 2147483647 << 1024 << "2097151.9990234375 sec.";
        QTest::addRow("too many digits") << 3 << 8192 << "3/8192 sec.";
        QTest::addRow("zero") << 0 << 1 << "";
        QTest::addRow("no denominator") << 1 << 0 << "";
        QTest::addRow("negative") << -1 << 100 << "";
    }
    void exposureTimeIsExact() {
        QFETCH(int, numerator);
        QFETCH(int, denominator);
        Exiv2::ExifData exif;
        exif["Exif.Photo.ExposureTime"] = Exiv2::Rational(numerator, denominator);
        quillmere::details::readers::EmbeddedDetails out;
        quillmere::details::readers::addPhotoDetails(quillmere::details::readers::exifTagsOf(exif),
                                                     {}, {}, QString(), QString(), out);
        QTEST(out.joined(column::ExposureTime), "expected");
    }

    // An F-number too small to show in tenths once read "f/0".
    void fNumbersAsTheLensWasSet_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("numerator");
        QTest::addColumn<int>("denominator");
        QTest::addColumn<QString>("expected");
        const QString fNumber = QStringLiteral("Exif.Photo.FNumber");
        const QString aperture = QStringLiteral("Exif.Photo.ApertureValue");
        QTest::addRow("f/2.8") << fNumber << 28 << 10 << "f/2.8";
        QTest::addRow("f/22") << fNumber << 22 << 1 << "f/22";
        QTest::addRow("f/0.7") << fNumber << 7 << 10 << "f/0.7";
        QTest::addRow("smallest shown") << fNumber << 7 << 100 << "f/0.1";
        QTest::addRow("rounds to nothing") << fNumber << 1 << 100 << "";
        QTest::addRow("just under a twentieth") << fNumber << 49 << 1000 << "";
        QTest::addRow("zero") << fNumber << 0 << 1 << "";
        QTest::addRow("no denominator") << fNumber << 28 << 0 << "";
        QTest::addRow("negative") << fNumber << -28 << 10 << "";
        QTest::addRow("largest") << fNumber << 1000 << 1 << "f/1000";
        QTest::addRow("beyond any lens") << fNumber << 1001 << 1 << "";
        QTest::addRow("aperture of f/1") << aperture << 0 << 1 << "f/1";
        QTest::addRow("aperture of f/2.8") << aperture << 297 << 100 << "f/2.8";
        QTest::addRow("negative aperture") << aperture << -1 << 1 << "";
    }
    void fNumbersAsTheLensWasSet() {
        QFETCH(QString, key);
        QFETCH(int, numerator);
        QFETCH(int, denominator);
        Exiv2::ExifData exif;
        exif[key.toStdString()] = Exiv2::Rational(numerator, denominator);
        quillmere::details::readers::EmbeddedDetails out;
        quillmere::details::readers::addPhotoDetails(quillmere::details::readers::exifTagsOf(exif),
                                                     {}, {}, QString(), QString(), out);
        QTEST(out.joined(column::FStop), "expected");
    }

    // A camera whose clock was never set writes zeros, or blanks between the colons; those once
    // showed as the date taken. A date in another layout is still shown as the file has it.
    void dateTakenOfAnUnsetClock_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("xmp");
        QTest::addColumn<QString>("expected");
        QTest::addRow("zeros") << "0000:00:00 00:00:00"
                               << ""
                               << "";
        QTest::addRow("blanks") << "    :  :     :  :  "
                                << ""
                                << "";
        QTest::addRow("zero date, no time") << "0000:00:00"
                                            << ""
                                            << "";
        QTest::addRow("zeros, the date in XMP") << "0000:00:00 00:00:00"
                                                << "2024-05-01T10:20:30"
                                                << "5/1/24 10:20 AM";
        QTest::addRow("set clock") << "2024:05:01 10:20:30"
                                   << ""
                                   << "5/1/24 10:20 AM";
        QTest::addRow("midnight of a set clock") << "2024:05:01 00:00:00"
                                                 << ""
                                                 << "5/1/24 12:00 AM";
        QTest::addRow("another layout") << "May 2024"
                                        << ""
                                        << "May 2024";
    }
    void dateTakenOfAnUnsetClock() {
        QFETCH(QString, stored);
        QFETCH(QString, xmp);
        Exiv2::ExifData exif;
        exif["Exif.Photo.DateTimeOriginal"] = stored.toStdString();
        quillmere::details::readers::XmpProperties xmpData;
        if (!xmp.isEmpty())
            xmpData.push_back({"exif.DateTimeOriginal", {xmp}});
        quillmere::details::readers::EmbeddedDetails out;
        quillmere::details::readers::addPhotoDetails(quillmere::details::readers::exifTagsOf(exif),
                                                     {}, xmpData, QString(), QString(), out);
        QTEST(out.joined(column::DateTaken), "expected");
    }

    // EXIF and IPTC texts are meant to be ASCII; older cameras and programs wrote Latin-1, whose
    // letters once came out as U+FFFD. Valid UTF-8 stays UTF-8.
    void latinOneTextsReadAsLatinOne() {
        Exiv2::ExifData exif;
        exif["Exif.Image.Artist"] = std::string("Jos\xe9 Mu\xf1oz");
        exif["Exif.Image.Make"] = std::string("M\xc3\xbcller Optik");
        // A damaged count that reaches past the text's NUL into the next tag's bytes.
        exif["Exif.Image.Model"] = std::string("Z990\0Eastman", 12);
        exif["Exif.Image.Copyright"] = std::string("\xa9 J. Mu\xf1oz");
        Exiv2::IptcData iptc;
        iptc["Iptc.Application2.ObjectName"] = std::string("Caf\xe9 at noon");
        iptc["Iptc.Application2.Keywords"] = std::string("caf\xc3\xa9");
        quillmere::details::readers::EmbeddedDetails out;
        quillmere::details::readers::addPhotoDetails(quillmere::details::readers::exifTagsOf(exif),
                                                     quillmere::details::readers::iptcTextsOf(iptc),
                                                     {}, QString(), QString(), out);
        QCOMPARE(out.joined(column::Authors), QStringLiteral("José Muñoz"));
        QCOMPARE(out.joined(column::CameraMaker), QStringLiteral("Müller Optik"));
        QCOMPARE(out.joined(column::CameraModel), QStringLiteral("Z990"));
        QCOMPARE(out.joined(column::Copyright), QStringLiteral("© J. Muñoz"));
        QCOMPARE(out.joined(column::Title), QStringLiteral("Café at noon"));
        QCOMPARE(out.joined(column::Tags), QStringLiteral("café"));
    }

    // A tag may hold no value at all: the first of them once threw out of exiv2 and took every
    // other detail of the photo with it.
    void tagsWithoutAValueLeaveTheOthers() {
        Exiv2::ExifData exif;
        exif["Exif.Image.Make"] = "Kodak";
        exif["Exif.Photo.DateTimeOriginal"] = "2024:05:01 10:20:30";
        for (const char* key :
             {"Exif.Photo.FNumber", "Exif.Photo.ApertureValue", "Exif.Photo.ExposureTime",
              "Exif.Photo.ISOSpeedRatings", "Exif.Image.Rating", "Exif.Photo.PixelXDimension",
              "Exif.Image.XPTitle", "Exif.Image.Artist"}) {
            const Exiv2::ExifKey exifKey(key);
            const Exiv2::Value::AutoPtr empty = Exiv2::Value::create(exifKey.defaultTypeId());
            exif.add(exifKey, empty.get());
        }
        quillmere::details::readers::EmbeddedDetails out;
        quillmere::details::readers::addPhotoDetails(quillmere::details::readers::exifTagsOf(exif),
                                                     {}, {}, QString(), QString(), out);
        QCOMPARE(out.joined(column::CameraMaker), QStringLiteral("Kodak"));
        QCOMPARE(out.joined(column::DateTaken),
                 quillmere::details::shortDateTime(QDate(2024, 5, 1), QTime(10, 20, 30)));
        for (const int c : {column::FStop, column::ExposureTime, column::IsoSpeed, column::Rating,
                            column::Title, column::Authors, column::Dimensions})
            QCOMPARE(out.joined(c), QString());
    }

    // exiv2 takes TIFF and raw files whole. A file cut short meanwhile once raised SIGBUS
    // through the mapping; the copy keeps what was there and zeroes the rest.
    void wholeFileIsACopyNotAMapping() {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("shrinking.tif")));
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        const QByteArray bytes(3 * 65536, 'x');
        QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        quillmere::details::readers::DescriptorIo io(fd, bytes.size());
        const Exiv2::byte* whole = io.mmap();
        QVERIFY(whole);
        QCOMPARE(::ftruncate(fd, 0), 0);
        QCOMPARE(whole[bytes.size() - 1], Exiv2::byte('x'));
        // Read again after the cut: what is gone reads as zero.
        whole = io.mmap();
        QCOMPARE(whole[0], Exiv2::byte(0));
        QCOMPARE(whole[bytes.size() - 1], Exiv2::byte(0));
        QVERIFY_THROWS_EXCEPTION(Exiv2::AnyError, io.mmap(true));

        // A file larger than a parser may take whole is refused, not read.
        QCOMPARE(::ftruncate(fd, quillmere::details::readers::DescriptorIo::WholeFileCap + 1), 0);
        quillmere::details::readers::DescriptorIo huge(
            fd, quillmere::details::readers::DescriptorIo::WholeFileCap + 1);
        QVERIFY_THROWS_EXCEPTION(Exiv2::AnyError, huge.mmap());
    }

    // Pictures whose size is read from the header give it whatever the row order or header form,
    // with the texts some of them keep: the comments of GIF, the any-maps and XCF (wherever they
    // stand, and in UTF-8 or Latin-1), and GIF's XMP, which follows the pictures' data.
    void headerPictures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        Tags tags;
        tags.width = 40;
        tags.height = 30;
        QTemporaryDir dir;
        const auto written = [&](Kind kind, const QString& name, const Tags& with) {
            write(dir, kind, name, with);
            QFile file(dir.filePath(name));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const auto size = [](const char* text) {
            return QStringLiteral("31 Dimensions: ") + QLatin1String(text);
        };
        const auto comment = [](const QString& text) {
            return QStringLiteral("24 Comments: ") + text;
        };
        const QStringList only40x30 = {size("40 x 30")};
        QTest::addRow("BMP") << "p.bmp" << written(Kind::Bmp, "p.bmp", tags) << only40x30;
        QTest::addRow("GIF") << "p.gif" << written(Kind::Gif, "p.gif", tags) << only40x30;
        QTest::addRow("ICO") << "p.ico" << written(Kind::Ico, "p.ico", tags) << only40x30;
        QTest::addRow("PCX") << "p.pcx" << written(Kind::Pcx, "p.pcx", tags) << only40x30;
        QTest::addRow("PPM") << "p.ppm" << written(Kind::Ppm, "p.ppm", tags)
                             << QStringList{comment("written by Quillmere's fixtures"),
                                            size("40 x 30")};
        quillmere::fixtures::writePictureVariant(quillmere::fixtures::PictureVariant::TopDownBmp,
                                                 dir.filePath("td.bmp"), tags);
        QFile topDown(dir.filePath("td.bmp"));
        QVERIFY(topDown.open(QIODevice::ReadOnly));
        QTest::addRow("BMP stored top-down") << "td.bmp" << topDown.readAll() << only40x30;

        Tags texts = tags;
        texts.comment = QStringLiteral("Drawn on the ferry");
        texts.title = QStringLiteral("Gulls");
        texts.author = QStringLiteral("Mira Holm");
        texts.program = QStringLiteral("Frame Tool 2");
        QTest::addRow("GIF with comment and XMP after its picture")
            << "t.gif" << written(Kind::Gif, "t.gif", texts)
            << QStringList{QStringLiteral("20 Authors: Mira Holm"),
                           QStringLiteral("21 Title: Gulls"), comment(texts.comment),
                           size("40 x 30"), QStringLiteral("35 Program name: Frame Tool 2")};
        QTest::addRow("PPM with a comment of two lines")
            << "t.ppm"
            << written(Kind::Ppm, "t.ppm",
                       [&] {
                           Tags lines = tags;
                           lines.comment = QStringLiteral("first line\nsecond line");
                           return lines;
                       }())
            << QStringList{comment("first line second line"), size("40 x 30")};
        QTest::addRow("XCF") << "t.xcf" << quillmere::fixtures::xcfBytes({40, 30}, texts.comment)
                             << QStringList{comment(texts.comment), size("40 x 30")};
        QTest::addRow("XCF of version 11")
            << "v11.xcf" << quillmere::fixtures::xcfBytes({7000, 5}, QStringLiteral("Größe"), 11)
            << QStringList{comment(QStringLiteral("Größe")), size("7000 x 5")};
        QTest::addRow("XCF without comment")
            << "bare.xcf" << quillmere::fixtures::xcfBytes({40, 30}, QString(), 3) << only40x30;

        // A comment before the picture in UTF-8, another after it in Latin-1; the picture's data
        // is not LZW at all, as only its sub-block lengths are walked.
        QByteArray gif("GIF89a\x02\0\x03\0\0\0\0", 13);
        gif += QByteArray("\x21\xfe\x07Gr\xc3\xb6\xc3\x9f"
                          "e\0",
                          11);
        gif += QByteArray(",\0\0\0\0\x02\0\x03\0\0\x02\x03\xff\xff\xff\0", 16);
        gif += QByteArray("\x21\xfe\x05Gr\xf6\xdf"
                          "e\0;",
                          10);
        QTest::addRow("GIF comments before and after the picture")
            << "c.gif" << gif << QStringList{comment(QStringLiteral("Größe")), size("2 x 3")};
        QTest::addRow("GIF cut inside its second comment")
            << "cut.gif" << gif.left(gif.size() - 4)
            << QStringList{comment(QStringLiteral("Größe")), size("2 x 3")};

        QByteArray os2("BM\0\0\0\0\0\0\0\0\x1a\0\0\0\x0c\0\0\0\x07\x01\x05\0\1\0\x18\0", 26);
        QTest::addRow("BMP with the OS/2 header")
            << "os2.bmp" << os2 << QStringList{size("263 x 5")};
        QByteArray icons("\0\0\1\0\2\0", 6);
        icons += QByteArray("\x10\x10", 2) + QByteArray(14, '\0');
        icons += QByteArray("\0\0", 2) + QByteArray(14, '\0'); // 0 stands for 256
        QTest::addRow("icon of two sizes, the larger")
            << "two.ico" << icons << QStringList{size("256 x 256")};
        QTest::addRow("cursor") << "c.cur"
                                << QByteArray("\0\0\2\0\1\0\x20\x18", 8) + QByteArray(14, '\0')
                                << QStringList{size("32 x 24")};
        QTest::addRow("PBM with comments")
            << "c.pbm" << QByteArray("P1\n# made by hand\n  3\n# more\n2\n010101")
            << QStringList{comment("made by hand more"), size("3 x 2")};
        QTest::addRow("PGM with a comment before its largest value")
            << "c.pgm" << QByteArray("P5\n4 2\n# scanned\n255\n01234567")
            << QStringList{comment("scanned"), size("4 x 2")};
        QTest::addRow("PPM with a comment in Latin-1")
            << "l.ppm"
            << QByteArray("P6 1 1\n#Gr\xf6\xdf"
                          "e\n255\nabc")
            << QStringList{comment(QStringLiteral("Größe")), size("1 x 1")};
        QTest::addRow("PAM") << "a.pnm"
                             << QByteArray("P7\n# from the scanner\nWIDTH 5\nHEIGHT 7\nDEPTH 3\n"
                                           "MAXVAL 255\nTUPLTYPE RGB\nENDHDR\n")
                             << QStringList{comment("from the scanner"), size("5 x 7")};
        QTest::addRow("BMP cut inside its header")
            << "cut.bmp" << QByteArray("BM\0\0\0\0", 6) << QStringList();
        QTest::addRow("PPM without a height") << "cut.ppm" << QByteArray("P6\n12") << QStringList();
        QTest::addRow("GIF of no size")
            << "zero.gif" << QByteArray("GIF89a\0\0\0\0", 10) << QStringList();
        QTest::addRow("PCX with its corners swapped")
            << "swap.pcx" << QByteArray("\x0a\x05\x01\x08\x09\0\0\0\x01\0\x01\0", 12)
            << QStringList();
        QTest::addRow("XCF cut inside its header")
            << "cut.xcf" << quillmere::fixtures::xcfBytes({40, 30}, texts.comment).left(20)
            << QStringList();
    }
    void headerPictures() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QTEST(embeddedOf(name, bytes, sources_), "expected");
    }

    // A JPEG XL file's boxes may stand before or after its codestream, or be missing altogether
    // when the file is a bare codestream.
    void jpegXlBoxes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        Exiv2::XmpData xmp;
        xmp["Xmp.dc.title"] = "lang=x-default Pier at night";
        xmp["Xmp.xmp.CreatorTool"] = "Night Tool";
        std::string packet;
        QCOMPARE(Exiv2::XmpParser::encode(packet, xmp), 0);
        QImage image(24, 16, QImage::Format_RGB888);
        image.fill(Qt::darkCyan);
        const QByteArray afterCodestream =
            quillmere::fixtures::jpegXlBytes(image, {}, QByteArray::fromStdString(packet));
        const QStringList both = {QStringLiteral("21 Title: Pier at night"),
                                  QStringLiteral("31 Dimensions: 24 x 16"),
                                  QStringLiteral("35 Program name: Night Tool")};
        QTest::addRow("XMP after the codestream") << afterCodestream << both;
        QTest::addRow("bare codestream") << quillmere::fixtures::jpegXlBytes(image, {}, {})
                                         << QStringList{QStringLiteral("31 Dimensions: 24 x 16")};
        QTest::addRow("XMP box cut inside its XML")
            << afterCodestream.left(afterCodestream.lastIndexOf("Night Tool") + 5)
            << QStringList{QStringLiteral("31 Dimensions: 24 x 16")};
        QTest::addRow("signature alone") << afterCodestream.left(12) << QStringList();
    }
    void jpegXlBoxes() {
        QFETCH(QByteArray, bytes);
        QTEST(embeddedOf(QStringLiteral("p.jxl"), bytes, sources_), "expected");
    }

    void pngTextChunks() {
        Tags tags;
        tags.title = QStringLiteral("Map of the bay");
        tags.author = QStringLiteral("Jonas Veld");
        tags.description = QStringLiteral("Hand-drawn chart");
        tags.copyright = QStringLiteral("Public domain");
        tags.comment = QStringLiteral("Scanned at 300 dpi");
        tags.program = QStringLiteral("Chartmaker 2");
        tags.taken = QDateTime(QDate(2023, 11, 20), QTime(8, 5, 0));
        QTemporaryDir dir;
        const QString path = write(dir, Kind::Png, QStringLiteral("chart.png"), tags);
        // Remove what exiv2 wrote, so only the PNG text chunks are left to find.
        {
            auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
            image->readMetadata();
            image->clearExifData();
            image->clearXmpData();
            image->clearIptcData();
            image->writeMetadata();
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        file.close();
        // A private chunk after the header pushes the text chunks past the first 64 KiB read.
        QByteArray padded = bytes.left(33);
        for (int i = 0; i < 2; ++i)
            padded += pngChunk("prVt", QByteArray(50'000 + i, char('a' + i)));
        padded += bytes.mid(33);
        const QString far = dir.filePath(QStringLiteral("far chart.png"));
        QFile out(far);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(padded), padded.size());
        out.close();

        for (const QString& file : {path, far}) {
            DetailColumns details(QFile::encodeName(file), sources_);
            QCOMPARE(embedded(details),
                     QStringList({"12 Date taken: 11/20/23 8:05 AM", "20 Authors: Jonas Veld",
                                  "21 Title: Map of the bay", "24 Comments: Scanned at 300 dpi",
                                  "25 Copyright: Public domain", "31 Dimensions: 64 x 48",
                                  "34 File description: Hand-drawn chart",
                                  "35 Program name: Chartmaker 2"}));
        }
    }

    // EXIF in PNG's own eXIf chunk, as newer programs write it, rather than in a raw profile; and
    // a text chunk whose checksum fails, read all the same, as other programs read it.
    void pngExifChunkAndABrokenChecksum() {
        QTemporaryDir dir;
        const QString path = write(dir, Kind::Png, QStringLiteral("plain.png"), Tags());
        Exiv2::ExifData exif;
        exif["Exif.Image.Make"] = "Kodak";
        exif["Exif.Photo.DateTimeOriginal"] = "2024:05:01 10:20:30";
        Exiv2::Blob tiff;
        Exiv2::ExifParser::encode(tiff, Exiv2::bigEndian, exif);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray bytes = file.readAll();
        QByteArray brokenText = pngChunk("tEXt", QByteArray("Author\0Ines Lund", 16));
        brokenText[brokenText.size() - 1] = char(brokenText.back() ^ 0x5a);
        const QByteArray withExif =
            bytes.left(33) +
            pngChunk("eXIf", QByteArray(reinterpret_cast<const char*>(tiff.data()),
                                        qsizetype(tiff.size()))) +
            brokenText + bytes.mid(33);
        QVERIFY(file.seek(0));
        QCOMPARE(file.write(withExif), withExif.size());
        file.close();
        DetailColumns details(QFile::encodeName(path), sources_);
        QCOMPARE(details.value(column::CameraMaker), QStringLiteral("Kodak"));
        QCOMPARE(details.value(column::DateTaken), QStringLiteral("5/1/24 10:20 AM"));
        QCOMPARE(details.value(column::Authors), QStringLiteral("Ines Lund"));
    }

    void nonLatinTextSurvives() {
        Tags tags;
        tags.title = QStringLiteral("Fjällstuga – 山小屋");
        tags.keywords = {QStringLiteral("fjäll"), QStringLiteral("雪")};
        tags.author = QStringLiteral("Åsa Ek");
        QTemporaryDir dir;
        const QString path = write(dir, Kind::Jpeg, QStringLiteral("cabin.jpg"), tags);
        DetailColumns details(QFile::encodeName(path), sources_);
        QCOMPARE(details.value(column::Title), tags.title);
        QCOMPARE(details.value(column::Tags), QStringLiteral("fjäll; 雪"));
        QCOMPARE(details.value(column::Authors), tags.author);
    }

    void damagedPictures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("dimensions");
        QTest::addRow("empty JPEG") << "empty.jpg" << QByteArray() << QString();
        QTest::addRow("JPEG start only")
            << "start.jpg" << QByteArray("\xff\xd8\xff", 3) << QString();
        QTest::addRow("text named PNG")
            << "fake.png" << QByteArray("not a picture at all\n") << QString();
        QTest::addRow("PNG signature only")
            << "sig.png" << QByteArray("\x89PNG\r\n\x1a\n", 8) << QString();
        QTest::addRow("TIFF with a looping IFD")
            << "loop.tif"
            << QByteArray("II*\0\x08\0\0\0\x01\0\x11\x01\x04\0\x01\0\0\0\x08\0\0\0"
                          "\x08\0\0\0",
                          26)
            << QString();
        QTest::addRow("WebP header only")
            << "short.webp" << QByteArray("RIFF\x04\0\0\0WEBP", 12) << QString();
        QTest::addRow("HEIC box claiming 4 GB") << "huge.heic"
                                                << QByteArray("\xff\xff\xff\xf0"
                                                              "ftypheic\0\0\0\0heicmif1",
                                                              24)
                                                << QString();
    }

    void damagedPictures() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        DetailColumns details(QFile::encodeName(file.fileName()), sources_);
        QVERIFY(details.exists());
        QTEST(details.value(column::Dimensions), "dimensions");
        QCOMPARE(details.value(column::CameraMaker), QString());
    }

    void contentOverridesAMisleadingPhotoName() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("report.jpg"));
        Tags tags;
        tags.title = QStringLiteral("Quarterly figures");
        tags.pages = 2;
        try {
            quillmere::fixtures::write(Kind::Pdf, path, tags);
        } catch (const std::exception& error) {
            QSKIP(error.what());
        }
        DetailColumns details(QFile::encodeName(path), sources_);
        QCOMPARE(details.value(column::ItemType), QStringLiteral("JPEG image"));
        // The photo reader refuses it, the content says PDF, and the PDF reader reads it.
        QCOMPARE(details.value(column::Title), QStringLiteral("Quarterly figures"));
        QCOMPARE(details.value(column::ItemType), QStringLiteral("PDF document"));
        QCOMPARE(details.value(column::Kind), QStringLiteral("Document"));
        QCOMPARE(details.problems(), QStringList());
    }

    void halfWrittenJpegKeepsItsHeader() {
        QTemporaryDir dir;
        const QString path = write(dir, Kind::Jpeg, QStringLiteral("cut.jpg"), cameraTags());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(file.size() / 2));
        file.close();
        DetailColumns details(QFile::encodeName(path), sources_);
        QCOMPARE(details.value(column::CameraMaker), QStringLiteral("Kodak"));
    }

    void readersRunOnSeveralThreads() {
        QTemporaryDir dir;
        const QList<Kind> kinds = {Kind::Jpeg, Kind::Png, Kind::Tiff, Kind::WebP, Kind::Heic};
        QList<QByteArray> paths;
        for (int i = 0; i < 10; ++i) {
            Tags tags = cameraTags();
            tags.cameraModel = QStringLiteral("Model %1").arg(i);
            const Kind kind = kinds[i % kinds.size()];
            const QString name =
                QStringLiteral("p%1.%2").arg(i).arg(quillmere::fixtures::extension(kind));
            paths.append(QFile::encodeName(write(dir, kind, name, tags)));
        }
        constexpr int threadCount = 4;
        QList<QStringList> seen(threadCount);
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back([this, &paths, &seen, t] {
                for (int round = 0; round < 5; ++round) {
                    for (int i = 0; i < paths.size(); ++i) {
                        DetailColumns details(paths[(i + t) % paths.size()], sources_);
                        seen[t].append(details.value(column::CameraModel));
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        for (int t = 0; t < threadCount; ++t) {
            QCOMPARE(seen[t].size(), 5 * paths.size());
            for (int k = 0; k < seen[t].size(); ++k) {
                const int i = (k % paths.size() + t) % paths.size();
                QCOMPARE(seen[t][k], QStringLiteral("Model %1").arg(i));
            }
        }
    }

    void metadataFarIntoTheFileIsReadAsNearTheStart() {
        // Segments that exiv2 skips push the EXIF block past the first 64 KiB read at once.
        QTemporaryDir dir;
        const QString plain = write(dir, Kind::Jpeg, QStringLiteral("near.jpg"), cameraTags());
        QFile in(plain);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray bytes = in.readAll();
        QByteArray padded = bytes.left(2);
        for (int i = 0; i < 3; ++i) {
            padded += QByteArray("\xff\xef\xff\xff", 4);
            padded += QByteArray(0xffff - 2, char('a' + i));
        }
        padded += bytes.mid(2);
        const QString far = dir.filePath(QStringLiteral("far.jpg"));
        QFile out(far);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(padded), padded.size());
        out.close();

        DetailColumns near(QFile::encodeName(plain), sources_);
        DetailColumns farDetails(QFile::encodeName(far), sources_);
        const QStringList expected = embedded(near);
        QVERIFY(expected.size() > 10);
        QCOMPARE(embedded(farDetails), expected);
        QCOMPARE(farDetails.problems(), QStringList());
    }
};

QUILLMERE_CORE_TEST_MAIN(TestPhotoDetails)
#include "test_photo_details.moc"
