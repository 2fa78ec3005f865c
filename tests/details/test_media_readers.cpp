#include "details/column_ids.h"
#include "details/readers/reader.h"
#include "fixtures/media.h"
#include "fixtures/sample_files.h"
#include "search/detail_columns.h"
#include "support/readers_here.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QFile>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <thread>
#include <unistd.h>

using quillmere::details::readers::EmbeddedDetails;
using quillmere::details::readers::FileToRead;
using quillmere::fixtures::Kind;
using quillmere::fixtures::Tags;
namespace column = quillmere::details::column;

Q_DECLARE_METATYPE(Kind)

namespace {

// Redirects file descriptor 2 into a temporary file for its lifetime, so a test can see whether a
// library printed anything.
class StderrCapture {
public:
    StderrCapture() {
        if (!file_.open())
            return;
        std::fflush(stderr);
        saved_ = ::dup(2);
        if (saved_ >= 0)
            ::dup2(file_.handle(), 2);
    }
    ~StderrCapture() { restore(); }

    QByteArray text() {
        restore();
        file_.seek(0);
        return file_.readAll();
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

const QList<Kind> audioKinds = {Kind::Mp3, Kind::Flac, Kind::Ogg, Kind::Opus,
                                Kind::M4a, Kind::Wma,  Kind::Wav};
const QList<Kind> videoKinds = {Kind::Mp4, Kind::Mkv, Kind::WebM, Kind::Avi, Kind::Mov};

Tags fullTags(Kind kind) {
    Tags tags;
    tags.title = QStringLiteral("Harbour Lights ") + quillmere::fixtures::kindName(kind);
    tags.artist = QStringLiteral("Mira Olsen");
    tags.album = QStringLiteral("Northern Piers");
    tags.genre = QStringLiteral("Ambient");
    tags.comment = QStringLiteral("Recorded at dusk");
    tags.copyright = QStringLiteral("(c) 2021 Vantrel");
    tags.composer = QStringLiteral("Jon Haldane");
    tags.conductor = QStringLiteral("Eva Varga");
    tags.program = QStringLiteral("QuillEncoder 2.1");
    tags.year = 2021;
    tags.track = 7;
    tags.rating = 4;
    tags.seconds = 3;
    tags.width = 320;
    tags.height = 240;
    return tags;
}

struct ReadResult {
    bool recognised = false;
    EmbeddedDetails details;
    QByteArray stderrText;
};

ReadResult readWith(const quillmere::details::readers::Reader& reader, const QString& path,
                    const QMimeType& type) {
    ReadResult result;
    FileToRead file;
    file.nativePath = QFile::encodeName(path);
    file.mimeType = type;
    file.size = QFileInfo(path).size();
    StderrCapture capture;
    result.recognised = reader.read(file, result.details);
    result.stderrText = capture.text();
    return result;
}

// The reader the MIME type of the name picks, as the detail columns do.
ReadResult readByName(const QString& path) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    const quillmere::details::readers::Reader* reader =
        quillmere::details::readers::readerFor(type);
    if (!reader)
        return {};
    return readWith(*reader, path, type);
}

QStringList allValues(const EmbeddedDetails& details) {
    QStringList values;
    for (int column = column::DateTaken; column <= column::IsoSpeed; ++column)
        values.append(details.joined(column));
    return values;
}

} // namespace

class TestMediaReaders : public QObject {
    Q_OBJECT

    quillmere::search::DetailSources sources_{quillmere::test::readingHere()};

private:
    QTemporaryDir dir_;
    std::map<Kind, QString> tagged_;

    QString path(const QString& name) const { return dir_.filePath(name); }

    QString taggedFile(Kind kind) {
        auto it = tagged_.find(kind);
        if (it != tagged_.end())
            return it->second;
        const QString file = path(QStringLiteral("tagged.") + quillmere::fixtures::extension(kind));
        quillmere::fixtures::writeMedia(kind, file, fullTags(kind));
        tagged_[kind] = file;
        return file;
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void writersMakeSmallFiles_data() {
        QTest::addColumn<Kind>("kind");
        for (Kind kind : audioKinds + videoKinds)
            QTest::addRow("%s", qPrintable(quillmere::fixtures::kindName(kind))) << kind;
    }
    void writersMakeSmallFiles() {
        QFETCH(Kind, kind);
        StderrCapture capture;
        const QString file = taggedFile(kind);
        QCOMPARE(capture.text(), QByteArray());
        const qint64 size = QFileInfo(file).size();
        QVERIFY2(size > 100 && size < 100 * 1024, qPrintable(QString::number(size)));
    }

    void columns_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("expected");
        const auto row = [](Kind kind, int column, const QString& expected) {
            QTest::addRow("%s col %d", qPrintable(quillmere::fixtures::kindName(kind)), column)
                << kind << column << expected;
        };
        for (Kind kind : audioKinds) {
            const Tags tags = fullTags(kind);
            row(kind, column::ContributingArtists, tags.artist);
            row(kind, column::Album, tags.album);
            row(kind, column::Year, QStringLiteral("2021"));
            row(kind, column::Genre, tags.genre);
            row(kind, column::Conductors, tags.conductor);
            row(kind, column::Rating, QStringLiteral("4 Stars"));
            row(kind, column::Title, tags.title);
            row(kind, column::Comments, tags.comment);
            row(kind, column::Copyright, tags.copyright);
            row(kind, column::TrackNumber, QStringLiteral("7"));
            row(kind, column::Length, QStringLiteral("00:00:03"));
            row(kind, column::Composers, tags.composer);
            row(kind, column::ProgramName, tags.program);
            row(kind, column::Dimensions, QString());
        }
        row(Kind::Mp3, column::BitRate, QStringLiteral("128kbps"));
        row(Kind::Wav, column::BitRate, QStringLiteral("128kbps"));
        for (Kind kind : videoKinds) {
            const Tags tags = fullTags(kind);
            // QuickTime's own tags have no track number and no composer; RIFF INFO no composer.
            if (kind != Kind::Mov) {
                row(kind, column::TrackNumber, QStringLiteral("7"));
                if (kind != Kind::Avi)
                    row(kind, column::Composers, tags.composer);
            }
            row(kind, column::ContributingArtists, tags.artist);
            row(kind, column::Album, tags.album);
            row(kind, column::Year, QStringLiteral("2021"));
            row(kind, column::Genre, tags.genre);
            row(kind, column::Title, tags.title);
            row(kind, column::Comments, tags.comment);
            row(kind, column::Copyright, tags.copyright);
            row(kind, column::Length, QStringLiteral("00:00:03"));
            row(kind, column::Dimensions, QStringLiteral("320 x 240"));
            row(kind, column::ProgramName, tags.program);
        }
    }
    void columns() {
        QFETCH(Kind, kind);
        QFETCH(int, column);
        QFETCH(QString, expected);
        const ReadResult result = readByName(taggedFile(kind));
        QVERIFY(result.recognised);
        QCOMPARE(result.details.joined(column), expected);
        QCOMPARE(result.stderrText, QByteArray());
    }

    void bitRateIsWholeKilobits_data() { writersMakeSmallFiles_data(); }
    void bitRateIsWholeKilobits() {
        QFETCH(Kind, kind);
        const ReadResult result = readByName(taggedFile(kind));
        static const QRegularExpression format(QStringLiteral("^[1-9][0-9]*kbps$"));
        QVERIFY2(format.match(result.details.joined(column::BitRate)).hasMatch(),
                 qPrintable(result.details.joined(column::BitRate)));
    }

    void lengthOfLongerFiles_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::addRow("MP3 65 s") << Kind::Mp3 << 65.0 << QStringLiteral("00:01:05");
        QTest::addRow("WAV 61.6 s rounds up") << Kind::Wav << 61.6 << QStringLiteral("00:01:02");
        QTest::addRow("MP4 12 s") << Kind::Mp4 << 12.0 << QStringLiteral("00:00:12");
        QTest::addRow("MKV 7 s") << Kind::Mkv << 7.0 << QStringLiteral("00:00:07");
    }
    void lengthOfLongerFiles() {
        QFETCH(Kind, kind);
        QFETCH(double, seconds);
        QFETCH(QString, expected);
        Tags tags;
        tags.seconds = seconds;
        const QString file =
            path(QStringLiteral("long%1.").arg(seconds) + quillmere::fixtures::extension(kind));
        quillmere::fixtures::writeMedia(kind, file, tags);
        QCOMPARE(readByName(file).details.joined(column::Length), expected);
    }

    // Containers whose length and size are only known from their packets (program and
    // transport streams) or from their own headers; none of them is decoded.
    void lengthAndSizeOfEveryVideoContainer_data() {
        QTest::addColumn<Kind>("kind");
        for (Kind kind : {Kind::Mpeg, Kind::MpegTs, Kind::Ogv, Kind::Avi, Kind::WebM, Kind::Mov,
                          Kind::Mp4, Kind::Mkv})
            QTest::addRow("%s", qPrintable(quillmere::fixtures::kindName(kind))) << kind;
    }
    void lengthAndSizeOfEveryVideoContainer() {
        QFETCH(Kind, kind);
        Tags tags;
        tags.seconds = 4;
        tags.width = 160;
        tags.height = 120;
        const QString file = path(QStringLiteral("plain.") + quillmere::fixtures::extension(kind));
        try {
            quillmere::fixtures::writeMedia(kind, file, tags);
        } catch (const std::exception& e) {
            QFAIL(e.what());
        }
        const ReadResult result = readByName(file);
        QVERIFY(result.recognised);
        QCOMPARE(result.details.joined(27), QStringLiteral("00:00:04"));
        QCOMPARE(result.details.joined(31), QStringLiteral("160 x 120"));
        QCOMPARE(result.stderrText, QByteArray());
    }

    // Files whose first reader leaves columns empty that libavformat fills: raw AAC (which TagLib
    // cannot read at all), an AVIF image sequence through libheif, and AAC in a fragmented MP4,
    // whose movie header lists no samples. The first reader's values stand; a still AVIF gets no
    // length. ASF, named as such rather than as Windows Media, is libavformat's from the start.
    void secondReaderFillsWhatTheFirstLeft_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected"); // "column: value"; "column: *" for any value
        Tags tags = fullTags(Kind::Asf);
        tags.seconds = 3;
        const auto written = [&](Kind kind, const QString& name) {
            const QString file = path(name);
            quillmere::fixtures::write(kind, file, tags);
            QFile in(file);
            return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
        };
        const QByteArray aac = written(Kind::Aac, QStringLiteral("w.aac"));
        QTest::addRow("AAC") << "raw.aac" << aac
                             << QStringList{QStringLiteral("27: 00:00:03"), QStringLiteral("28: *"),
                                            QStringLiteral("31: ")};
        QTest::addRow("AAC by its content")
            << "raw" << aac << QStringList{QStringLiteral("27: 00:00:03")};
        QTest::addRow("ASF") << "clip.asf" << written(Kind::Asf, QStringLiteral("w.asf"))
                             << QStringList{QStringLiteral("21: ") + tags.title,
                                            QStringLiteral("27: 00:00:03"),
                                            QStringLiteral("31: 320 x 240")};
        const QByteArray sequence = written(Kind::Avif, QStringLiteral("w.avif"));
        QTest::addRow("AVIF sequence")
            << "loop.avif" << sequence
            << QStringList{QStringLiteral("27: 00:00:03"), QStringLiteral("31: 320 x 240")};
        // The same file with its brands rewritten to a still picture's: no length is asked for.
        QByteArray still = sequence;
        for (qsizetype at = still.indexOf("avis"); at >= 0 && at < 64; at = still.indexOf("avis"))
            still.replace(at, 4, "avif");
        QTest::addRow("AVIF still")
            << "still.avif" << still
            << QStringList{QStringLiteral("27: "), QStringLiteral("31: 320 x 240")};
        const QString fragmented = path(QStringLiteral("w-fragmented.m4a"));
        quillmere::fixtures::writeMediaVariant(quillmere::fixtures::MediaVariant::FragmentedM4a,
                                               fragmented, tags);
        QFile in(fragmented);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QTest::addRow("fragmented M4A")
            << "stream.m4a" << in.readAll()
            << QStringList{QStringLiteral("27: 00:00:03"), QStringLiteral("28: *")};
    }
    void secondReaderFillsWhatTheFirstLeft() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString file = dir.filePath(name);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        out.close();
        StderrCapture capture;
        quillmere::search::DetailColumns columns(QFile::encodeName(file), sources_);
        for (const QString& row : expected) {
            const int column = row.section(u':', 0, 0).toInt();
            const QString value = row.section(u':', 1).mid(1);
            if (value == u'*')
                QVERIFY2(!columns.value(column).isEmpty(), qPrintable(row));
            else
                QCOMPARE(columns.value(column), value);
        }
        QCOMPARE(columns.problems(), QStringList());
        QCOMPARE(capture.text(), QByteArray());
    }

    void ratingBands_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("stars");
        for (Kind kind : {Kind::Mp3, Kind::Flac, Kind::Wma, Kind::M4a}) {
            for (int stars = 1; stars <= 5; ++stars)
                QTest::addRow("%s %d", qPrintable(quillmere::fixtures::kindName(kind)), stars)
                    << kind << stars;
        }
    }
    void ratingBands() {
        QFETCH(Kind, kind);
        QFETCH(int, stars);
        Tags tags;
        tags.rating = stars;
        tags.seconds = 0.5;
        const QString file =
            path(QStringLiteral("rated%1.").arg(stars) + quillmere::fixtures::extension(kind));
        quillmere::fixtures::writeMedia(kind, file, tags);
        const QString expected =
            stars == 1 ? QStringLiteral("1 Star") : QStringLiteral("%1 Stars").arg(stars);
        QCOMPARE(readByName(file).details.joined(column::Rating), expected);
    }

    void misnamedFileIsReadByContent_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("name");
        QTest::addRow("MP3 as .ogg") << Kind::Mp3 << QStringLiteral("song.ogg");
        QTest::addRow("MP3 as .flac") << Kind::Mp3 << QStringLiteral("song.flac");
        QTest::addRow("FLAC as .mp3") << Kind::Flac << QStringLiteral("song.mp3");
        QTest::addRow("Opus as .m4a") << Kind::Opus << QStringLiteral("song.m4a");
        QTest::addRow("WMA as .wav") << Kind::Wma << QStringLiteral("song.wav");
    }
    void misnamedFileIsReadByContent() {
        QFETCH(Kind, kind);
        QFETCH(QString, name);
        const QString file = path(QStringLiteral("misnamed-") + name);
        QVERIFY(QFile::copy(taggedFile(kind), file));
        const ReadResult result = readByName(file);
        QVERIFY(result.recognised);
        QCOMPARE(result.details.joined(column::Title), fullTags(kind).title);
        QCOMPARE(result.details.joined(column::Length), QStringLiteral("00:00:03"));
        QCOMPARE(result.stderrText, QByteArray());
    }

    // Some taggers put a new ID3v2 tag in front of the old one. The audio was looked for only
    // right after the first tag, so a second tag of a cover's size hid a file's every detail.
    void stackedId3TagsBeforeTheAudio_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("padding");
        QTest::addColumn<QString>("title");
        // The first ID3v2 tag speaks for an MP3; a FLAC's own comment block comes first.
        const QString flacTitle = fullTags(Kind::Flac).title;
        QTest::addRow("MP3, small second tag") << Kind::Mp3 << 16 << "Newer";
        QTest::addRow("MP3, second tag of 100 KB") << Kind::Mp3 << 100'000 << "Newer";
        QTest::addRow("FLAC, small second tag") << Kind::Flac << 16 << flacTitle;
        QTest::addRow("FLAC, second tag of 100 KB") << Kind::Flac << 100'000 << flacTitle;
    }
    void stackedId3TagsBeforeTheAudio() {
        QFETCH(Kind, kind);
        QFETCH(int, padding);
        QFile tagged(taggedFile(kind));
        QVERIFY(tagged.open(QIODevice::ReadOnly));
        const auto id3 = [](const QByteArray& title, int paddingBytes) {
            const QByteArray text = '\0' + title;
            const QByteArray frame =
                QByteArray("TIT2\0\0\0", 7) + char(text.size()) + QByteArray(2, '\0') + text;
            const int size = int(frame.size()) + paddingBytes;
            const char header[10] = {'I',
                                     'D',
                                     '3',
                                     3,
                                     0,
                                     0,
                                     char((size >> 21) & 0x7f),
                                     char((size >> 14) & 0x7f),
                                     char((size >> 7) & 0x7f),
                                     char(size & 0x7f)};
            return QByteArray(header, 10) + frame + QByteArray(paddingBytes, '\0');
        };
        // In front of the file's own tag, if it has one.
        const QByteArray bytes = id3("Newer", 0) + id3("Older", padding) + tagged.readAll();
        const QString file = path(QStringLiteral("stacked-%1-").arg(padding) +
                                  QFileInfo(tagged.fileName()).fileName());
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(out.write(bytes) == bytes.size());
        out.close();
        const ReadResult result = readByName(file);
        QVERIFY(result.recognised);
        QTEST(result.details.joined(column::Title), "title");
        QCOMPARE(result.details.joined(column::Length), QStringLiteral("00:00:03"));
        QCOMPARE(result.stderrText, QByteArray());
    }

    // Bytes that are no audio between the tag and the first frame: the frames are found wherever
    // they start within the first 64 KiB after the tag.
    void framesAfterJunkAreFound_data() {
        QTest::addColumn<int>("junk");
        for (const int junk : {100, 6000, 60000})
            QTest::addRow("%d bytes", junk) << junk;
    }
    void framesAfterJunkAreFound() {
        QFETCH(int, junk);
        QFile tagged(taggedFile(Kind::Mp3));
        QVERIFY(tagged.open(QIODevice::ReadOnly));
        QByteArray bytes = tagged.readAll();
        QVERIFY(bytes.startsWith("ID3"));
        const auto size = [&](int i) { return qsizetype(bytes[i] & 0x7f); };
        const qsizetype tagEnd = 10 + (size(6) << 21 | size(7) << 14 | size(8) << 7 | size(9));
        bytes.insert(tagEnd, QByteArray(junk, '\x01'));
        const QString file = path(QStringLiteral("junk-%1.mp3").arg(junk));
        QVERIFY(quillmere::test::writeBytes(file, bytes));
        const ReadResult result = readByName(file);
        QVERIFY(result.recognised);
        QCOMPARE(result.details.joined(column::Title), fullTags(Kind::Mp3).title);
        QCOMPARE(result.details.joined(column::Length), QStringLiteral("00:00:03"));
    }

    void unknownExtensionFallsBackToContent() {
        const QString file = path(QStringLiteral("recording.bin"));
        QVERIFY(QFile::copy(taggedFile(Kind::Mp3), file));
        QMimeDatabase db;
        QCOMPARE(quillmere::details::readers::readerFor(
                     db.mimeTypeForFile(file, QMimeDatabase::MatchExtension)),
                 nullptr);
        const QMimeType byContent = db.mimeTypeForFile(file, QMimeDatabase::MatchContent);
        const quillmere::details::readers::Reader* reader =
            quillmere::details::readers::readerFor(byContent);
        QVERIFY2(reader, qPrintable(byContent.name()));
        const ReadResult result = readWith(*reader, file, byContent);
        QVERIFY(result.recognised);
        QCOMPARE(result.details.joined(column::ContributingArtists), QStringLiteral("Mira Olsen"));
    }

    void mp4TagsAfterMediaData() {
        const QString file = taggedFile(Kind::Mp4);
        QFile in(file);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray bytes = in.readAll();
        // The premise: the top-level boxes put the media data before the movie header.
        QStringList boxes;
        for (qint64 at = 0; at + 8 <= bytes.size();) {
            const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData() + at);
            const qint64 size = (qint64(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
            boxes.append(QString::fromLatin1(bytes.mid(at + 4, 4)));
            if (size < 8)
                break;
            at += size;
        }
        QVERIFY2(boxes.indexOf(QStringLiteral("mdat")) >= 0 &&
                     boxes.indexOf(QStringLiteral("mdat")) < boxes.indexOf(QStringLiteral("moov")),
                 qPrintable(boxes.join(u',')));
        const ReadResult result = readByName(file);
        QCOMPARE(result.details.joined(column::Title), fullTags(Kind::Mp4).title);
        QCOMPARE(result.details.joined(column::ContributingArtists), QStringLiteral("Mira Olsen"));
    }

    void audioOnlyInVideoContainer() {
        const QString file = path(QStringLiteral("voice.mp4"));
        QVERIFY(QFile::copy(taggedFile(Kind::M4a), file));
        const QMimeType type = QMimeDatabase().mimeTypeForName(QStringLiteral("video/mp4"));
        const ReadResult result = readWith(quillmere::details::readers::videoReader(), file, type);
        QVERIFY(result.recognised);
        QCOMPARE(result.details.joined(column::Length), QStringLiteral("00:00:03"));
        QVERIFY(!result.details.joined(column::BitRate).isEmpty());
        QCOMPARE(result.details.joined(column::Dimensions), QString());
    }

    void notMediaGivesNothing_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        const QByteArray text = "Plain text that only looks like a film by its name.\n";
        QTest::addRow("text as .mp4") << QStringLiteral("notes.mp4") << text;
        QTest::addRow("text as .mkv") << QStringLiteral("notes.mkv") << text;
        QTest::addRow("text as .avi") << QStringLiteral("notes.avi") << text;
        QTest::addRow("text as .mp3") << QStringLiteral("notes.mp3") << text;
        QTest::addRow("text as .flac") << QStringLiteral("notes.flac") << text;
        QTest::addRow("playlist as .mp4")
            << QStringLiteral("list.mp4") << QByteArray("#EXTM3U\n#EXTINF:10,\n/etc/hostname\n");
        QTest::addRow("empty .mp4") << QStringLiteral("empty.mp4") << QByteArray();
        QTest::addRow("empty .ogg") << QStringLiteral("empty.ogg") << QByteArray();
        QTest::addRow("zeros as .wma") << QStringLiteral("zeros.wma") << QByteArray(4096, '\0');
    }
    void notMediaGivesNothing() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString file = path(name);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
        out.close();
        const QMimeType type = QMimeDatabase().mimeTypeForFile(file, QMimeDatabase::MatchExtension);
        const quillmere::details::readers::Reader* reader =
            quillmere::details::readers::readerFor(type);
        QVERIFY2(reader, qPrintable(type.name()));
        const ReadResult result = readWith(*reader, file, type);
        QVERIFY(!result.recognised);
        QVERIFY(result.details.isEmpty());
        QCOMPARE(result.stderrText, QByteArray());
    }

    void damagedFilesAreSurvived_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("damage");
        for (Kind kind : audioKinds + videoKinds) {
            for (const char* damage :
                 {"truncated to 64 bytes", "truncated to 30%", "truncated to 90%", "bits flipped 1",
                  "bits flipped 2", "bits flipped 3", "header flipped", "zero length"})
                QTest::addRow("%s %s", qPrintable(quillmere::fixtures::kindName(kind)), damage)
                    << kind << QString::fromLatin1(damage);
        }
    }
    void damagedFilesAreSurvived() {
        QFETCH(Kind, kind);
        QFETCH(QString, damage);
        QFile in(taggedFile(kind));
        QVERIFY(in.open(QIODevice::ReadOnly));
        QByteArray bytes = in.readAll();
        QVERIFY(bytes.size() > 1000);
        std::mt19937 random(uint(qHash(damage)) ^ uint(kind));
        if (damage == QLatin1String("truncated to 64 bytes"))
            bytes.truncate(64);
        else if (damage == QLatin1String("truncated to 30%"))
            bytes.truncate(bytes.size() * 3 / 10);
        else if (damage == QLatin1String("truncated to 90%"))
            bytes.truncate(bytes.size() * 9 / 10);
        else if (damage == QLatin1String("zero length"))
            bytes.clear();
        else if (damage == QLatin1String("header flipped")) {
            // Sizes and counts in the first kilobyte go wild, keeping the signature.
            for (int i = 0; i < 64; ++i) {
                const int at = 8 + int(random() % 1016);
                bytes[at] = char(bytes[at] ^ (1 << (random() % 8)));
            }
        } else {
            for (int i = 0; i < 200; ++i) {
                const qsizetype at = qsizetype(random() % quint32(bytes.size()));
                bytes[at] = char(bytes[at] ^ (1 << (random() % 8)));
            }
        }
        const QString file =
            path(QStringLiteral("damaged.") + quillmere::fixtures::extension(kind));
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes);
        out.close();
        const ReadResult result = readByName(file);
        QCOMPARE(result.stderrText, QByteArray());
        if (bytes.size() <= 64)
            QCOMPARE(result.details.joined(column::Title), QString());
    }

    void hostileHeaders_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        const QByteArray pad(2048, 'x');
        QTest::addRow("ID3 claiming 256 MB")
            << QStringLiteral("huge.mp3")
            << QByteArray("ID3\x04\x00\x00\x7f\x7f\x7f\x7f", 10) + pad;
        QTest::addRow("MP4 box of 4 GB") << QStringLiteral("huge.mp4")
                                         << QByteArray("\x00\x00\x00\x14"
                                                       "ftypisom\x00\x00\x02\x00isom"
                                                       "\xff\xff\xff\xff"
                                                       "moov",
                                                       28) +
                                                pad;
        QTest::addRow("MP4 box of 64-bit size")
            << QStringLiteral("huge64.m4a")
            << QByteArray("\x00\x00\x00\x14"
                          "ftypM4A \x00\x00\x02\x00isom"
                          "\x00\x00\x00\x01"
                          "moov\x7f\xff\xff\xff\xff\xff\xff\xff",
                          36) +
                   pad;
        QTest::addRow("WAV chunk of 4 GB") << QStringLiteral("huge.wav")
                                           << QByteArray("RIFF\xff\xff\xff\xff"
                                                         "WAVE"
                                                         "fmt \xff\xff\xff\xff",
                                                         20) +
                                                  pad;
        QTest::addRow("Ogg page with no packet")
            << QStringLiteral("page.ogg")
            << QByteArray("OggS\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00"
                          "\x00\x00\x00\x00\x00\x00\xff",
                          27) +
                   pad;
        QTest::addRow("FLAC block of 16 MB")
            << QStringLiteral("huge.flac") << QByteArray("fLaC\x00\xff\xff\xff", 8) + pad;
        QTest::addRow("ASF object of 2^63")
            << QStringLiteral("huge.wma")
            << QByteArray("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"
                          "\xff\xff\xff\xff\xff\xff\xff\x7f\xff\xff\xff\x7f\x01\x02",
                          30) +
                   pad;
        QTest::addRow("Matroska element of 2^56")
            << QStringLiteral("huge.mkv")
            << QByteArray("\x1a\x45\xdf\xa3\x01\xff\xff\xff\xff\xff\xff\xfe", 12) + pad;
        QTest::addRow("AVI list of 4 GB") << QStringLiteral("huge.avi")
                                          << QByteArray("RIFF\xff\xff\xff\xff"
                                                        "AVI LIST\xff\xff\xff\x7f"
                                                        "hdrl",
                                                        24) +
                                                 pad;
    }
    void hostileHeaders() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString file = path(name);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(content);
        out.close();
        const ReadResult result = readByName(file);
        QCOMPARE(result.stderrText, QByteArray());
        QCOMPARE(result.details.joined(column::Title), QString());
    }

    void concurrentReadsAgree() {
        QStringList files;
        for (Kind kind : audioKinds + videoKinds)
            files.append(taggedFile(kind));
        std::vector<QStringList> expected;
        for (const QString& file : files) {
            expected.push_back(allValues(readByName(file).details));
            QVERIFY2(!expected.back().at(21 - 12).isEmpty(), qPrintable(file));
        }
        std::atomic<int> mismatches{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 5; ++round) {
                    for (int i = 0; i < files.size(); ++i) {
                        const int index = (i + t * 3) % int(files.size());
                        const QString& file = files[index];
                        const QMimeType type =
                            QMimeDatabase().mimeTypeForFile(file, QMimeDatabase::MatchExtension);
                        FileToRead request;
                        request.nativePath = QFile::encodeName(file);
                        request.mimeType = type;
                        EmbeddedDetails details;
                        quillmere::details::readers::readerFor(type)->read(request, details);
                        if (allValues(details) != expected[size_t(index)])
                            ++mismatches;
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(mismatches.load(), 0);
    }
};

QUILLMERE_CORE_TEST_MAIN(TestMediaReaders)
#include "test_media_readers.moc"
