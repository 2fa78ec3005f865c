#include "support/readers_here.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include "details/column_ids.h"
#include "details/readers/reader.h"
#include "fixtures/corrupt.h"
#include "fixtures/sample_files.h"
#include "fixtures/unusual_samples.h"
#include "search/detail_columns.h"

#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::details::readers;
using fixtures::Kind;

namespace {

// Sends everything written to file descriptor 2 into a temporary file until finish().
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        char name[] = "/tmp/quillmere-stderr-XXXXXX";
        file_ = ::mkstemp(name);
        if (file_ < 0)
            return;
        ::unlink(name);
        saved_ = ::dup(2);
        ::dup2(file_, 2);
    }
    ~StderrCapture() { finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    bool isActive() const { return file_ >= 0 && saved_ >= 0; }

    QByteArray finish() {
        QByteArray text;
        if (file_ < 0)
            return text;
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        char buffer[4096];
        ssize_t n;
        while ((n = ::pread(file_, buffer, sizeof buffer, text.size())) > 0 && text.size() < 65536)
            text.append(buffer, n);
        ::close(file_);
        file_ = -1;
        return text;
    }

private:
    int file_ = -1;
    int saved_ = -1;
};

const readers::Reader* const AllReaders[] = {
    &readers::imageReader(),  &readers::imageHeaderReader(),  &readers::heifReader(),
    &readers::audioReader(),  &readers::videoReader(),        &readers::pdfReader(),
    &readers::officeReader(), &readers::legacyOfficeReader(), &readers::jpegXlReader(),
    &readers::aacReader(),    &readers::mp4AudioReader(),     &readers::avifReader()};

fixtures::Tags sampleTags() {
    fixtures::Tags tags;
    tags.title = QStringLiteral("Robust Title");
    tags.artist = QStringLiteral("Some Artist");
    tags.album = QStringLiteral("Album");
    tags.genre = QStringLiteral("Genre");
    tags.comment = QStringLiteral("A comment");
    tags.copyright = QStringLiteral("Copyright holder");
    tags.author = QStringLiteral("An Author");
    tags.subject = QStringLiteral("Subject");
    tags.keywords = {QStringLiteral("one"), QStringLiteral("two")};
    tags.category = QStringLiteral("Category");
    tags.company = QStringLiteral("Company");
    tags.program = QStringLiteral("Program");
    tags.description = QStringLiteral("Description");
    tags.cameraMaker = QStringLiteral("Maker");
    tags.cameraModel = QStringLiteral("Model");
    tags.year = 2021;
    tags.track = 4;
    tags.pages = 2;
    tags.width = 32;
    tags.height = 24;
    tags.seconds = 1;
    return tags;
}

bool writeNative(const QByteArray& path, const QByteArray& bytes) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    ::close(fd);
    return ok;
}

// Reads every column through the provider and hands the file to every reader directly, as the
// provider's fall-back by content may. Returns what went wrong, empty when all was well.
QString readEverything(const QByteArray& nativePath, bool directly,
                       search::DetailSources& sources) {
    const QString expectedName = QFile::decodeName(nativePath.mid(nativePath.lastIndexOf('/') + 1));
    QString wrong;
    try {
        DetailColumns columns(nativePath, sources);
        for (int column = 0; column < column::Count; ++column) {
            const QString value = columns.value(column);
            if (column == 0 && value != expectedName)
                wrong += QStringLiteral("name read as \"%1\"; ").arg(value);
        }
        columns.exists();
        columns.problems();
    } catch (const std::exception& e) {
        wrong += QStringLiteral("provider threw: %1; ").arg(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        wrong += QStringLiteral("provider threw; ");
    }
    if (!directly)
        return wrong;
    static const QMimeDatabase db;
    const QString path = QFile::decodeName(nativePath);
    readers::FileToRead file;
    file.nativePath = nativePath;
    file.mimeType = db.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    file.size = QFileInfo(path).size();
    for (const readers::Reader* reader : AllReaders) {
        try {
            readers::EmbeddedDetails details;
            reader->read(file, details);
            for (int column = 0; column < column::Count; ++column)
                details.joined(column);
        } catch (...) {
            wrong += QStringLiteral("a reader threw; ");
        }
    }
    return wrong;
}

// One valid file of the corpus: a usual one of each kind, or an unusual variant.
struct Sample {
    QString name; // the kind's name, or what is unusual about it
    QString extension;
    QByteArray bytes;
};

} // namespace

class TestRobustness : public QObject {
    Q_OBJECT

    quillmere::search::DetailSources sources_{quillmere::test::readingHere()};

private:
    QTemporaryDir dir_;
    QList<Sample> samples_;

    QByteArray nativeIn(const QString& folder, const QString& name) const {
        QDir(dir_.path()).mkpath(folder);
        return QFile::encodeName(dir_.filePath(folder + '/' + name));
    }

private slots:
    // Every kind and every unusual variant is written, or the test fails: a writer that
    // stopped working must not quietly shrink the corpus.
    void initTestCase() {
        QVERIFY(dir_.isValid());
        for (Kind kind : fixtures::allKinds()) {
            const QString path =
                dir_.filePath(QStringLiteral("valid.") + fixtures::extension(kind));
            try {
                fixtures::write(kind, path, sampleTags());
            } catch (const std::exception& e) {
                QFAIL(qPrintable(
                    QStringLiteral("the %1 writer failed: %2")
                        .arg(fixtures::kindName(kind), QString::fromLocal8Bit(e.what()))));
            }
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            samples_.append({fixtures::kindName(kind), fixtures::extension(kind), file.readAll()});
            QVERIFY2(!samples_.last().bytes.isEmpty(), qPrintable(path));
        }
        try {
            for (const fixtures::UnusualSample& unusual :
                 fixtures::unusualSamples(sampleTags(), dir_.path()))
                samples_.append({unusual.name, unusual.extension, unusual.bytes});
        } catch (const std::exception& e) {
            QFAIL(qPrintable(QStringLiteral("an unusual variant's writer failed: ") +
                             QString::fromLocal8Bit(e.what())));
        }
        QCOMPARE(samples_.size(), fixtures::allKinds().size() + 14);
    }

    // The unusual variants are read as well as the usual files.
    void unusualVariantsAreRead_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("expected");
        const fixtures::Tags tags = sampleTags();
        QTest::addRow("encrypted-pdf") << "encrypted-pdf" << int(column::Title) << tags.title;
        QTest::addRow("locked-pdf") << "locked-pdf" << int(column::ItemType) << "PDF document";
        QTest::addRow("locked-pdf title") << "locked-pdf" << int(column::Title) << "";
        QTest::addRow("linearised-pdf") << "linearised-pdf" << int(column::Pages) << "2";
        QTest::addRow("big-endian-tiff")
            << "big-endian-tiff" << int(column::CameraModel) << tags.cameraModel;
        QTest::addRow("big-endian-tiff size")
            << "big-endian-tiff" << int(column::Dimensions) << "32 x 24";
        QTest::addRow("top-down-bmp") << "top-down-bmp" << int(column::Dimensions) << "32 x 24";
        QTest::addRow("progressive-jpeg")
            << "progressive-jpeg" << int(column::CameraMaker) << tags.cameraMaker;
        QTest::addRow("progressive-jpeg size")
            << "progressive-jpeg" << int(column::Dimensions) << "32 x 24";
        QTest::addRow("vbr-mp3-xing") << "vbr-mp3-xing" << int(column::Length) << "00:00:01";
        QTest::addRow("vbr-mp3-xing title") << "vbr-mp3-xing" << int(column::Title) << tags.title;
        QTest::addRow("chained-ogg") << "chained-ogg" << int(column::Title) << tags.title;
        QTest::addRow("mp4-index-at-end")
            << "mp4-index-at-end" << int(column::Length) << "00:00:01";
        QTest::addRow("zip64-docx") << "zip64-docx" << int(column::Authors) << tags.author;
        QTest::addRow("strict-docx") << "strict-docx" << int(column::Pages) << "2";
        QTest::addRow("strict-docx program")
            << "strict-docx" << int(column::ProgramName) << tags.program;
        QTest::addRow("cp936-ppt") << "cp936-ppt" << int(column::Title) << "演示文稿";
        QTest::addRow("xmp-pdf title") << "xmp-pdf" << int(column::Title) << tags.title;
        QTest::addRow("xmp-pdf author") << "xmp-pdf" << int(column::Authors) << "ﬁnal þÿ Draft";
        QTest::addRow("xmp-pdf program") << "xmp-pdf" << int(column::ProgramName) << tags.program;
        QTest::addRow("fragmented-m4a") << "fragmented-m4a" << int(column::Length) << "00:00:01";
    }
    void unusualVariantsAreRead() {
        QFETCH(QString, name);
        QFETCH(int, column);
        QFETCH(QString, expected);
        const auto sample = std::find_if(samples_.cbegin(), samples_.cend(),
                                         [&](const Sample& s) { return s.name == name; });
        QVERIFY(sample != samples_.cend());
        const QByteArray path = nativeIn(QStringLiteral("unusual"), name + '.' + sample->extension);
        QVERIFY(writeNative(path, sample->bytes));
        DetailColumns columns(path, sources_);
        QCOMPARE(columns.value(column), expected);
        QCOMPARE(columns.problems(), QStringList());
    }

    void variantMaker_data() {
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<QString>("extension");
        for (const Sample& sample : samples_)
            QTest::addRow("%s", qPrintable(sample.name)) << sample.bytes << sample.extension;
        QTest::addRow("tiny") << QByteArray("abc") << QStringLiteral("txt");
    }
    void variantMaker() {
        QFETCH(QByteArray, original);
        QFETCH(QString, extension);
        const QList<fixtures::Variant> first = fixtures::corruptedVariants(original, extension, 7);
        const QList<fixtures::Variant> again = fixtures::corruptedVariants(original, extension, 7);
        const QList<fixtures::Variant> other = fixtures::corruptedVariants(original, extension, 8);
        QCOMPARE(first.size(), again.size());
        QSet<QString> names;
        bool someFlipDiffers = false;
        for (int i = 0; i < first.size(); ++i) {
            const fixtures::Variant& v = first[i];
            QVERIFY2(!names.contains(v.name), qPrintable(v.name));
            names.insert(v.name);
            QCOMPARE(v.bytes, again[i].bytes);
            if (v.name == QLatin1String("zero-length")) {
                QVERIFY(v.bytes.isEmpty());
            } else if (v.name.startsWith(QLatin1String("truncated-"))) {
                QVERIFY(v.bytes.size() < original.size() && !v.bytes.isEmpty());
                QVERIFY(original.startsWith(v.bytes));
            } else if (v.name.startsWith(QLatin1String("flipped-"))) {
                QCOMPARE(v.bytes.size(), original.size());
                int bits = 0;
                for (qsizetype b = 0; b < original.size(); ++b)
                    bits += qPopulationCount(quint8(original[b] ^ v.bytes[b]));
                if (v.name == QLatin1String("flipped-1"))
                    QCOMPARE(bits, 1);
                const auto match = std::find_if(other.begin(), other.end(),
                                                [&](const auto& o) { return o.name == v.name; });
                QVERIFY(match != other.end());
                someFlipDiffers = someFlipDiffers || match->bytes != v.bytes;
            } else if (v.name.startsWith(QLatin1String("as-"))) {
                QCOMPARE(v.bytes, original);
                QVERIFY(v.extension.compare(extension, Qt::CaseInsensitive) != 0);
                QCOMPARE(v.name, QStringLiteral("as-") + v.extension);
            } else {
                QCOMPARE(v.name, QStringLiteral("huge-header"));
                QVERIFY(v.bytes != original);
            }
            if (!v.name.startsWith(QLatin1String("as-")))
                QCOMPARE(v.extension, extension);
        }
        QVERIFY(someFlipDiffers);
        QVERIFY(names.contains(QStringLiteral("zero-length")));
        QVERIFY(names.contains(QStringLiteral("flipped-1")));
        if (original.size() > 64) {
            QVERIFY(names.contains(QStringLiteral("truncated-half")));
            QVERIFY(names.contains(QStringLiteral("huge-header")));
        }
    }

    void hugeHeaderClaimsMore_data() {
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<QByteArray>("mark"); // a length field that must be changed
        const QByteArray pdf = "%PDF-1.4\n1 0 obj << /Length 12 >> stream\nabcdefghijkl\nendstream";
        QTest::addRow("pdf") << pdf << QByteArray("/Length 104857600");
        QByteArray id3("ID3\x04\x00\x00\x00\x00\x01\x00TIT2\x00\x00\x00\x05\x00\x00\x00Song", 24);
        QTest::addRow("id3") << id3 << QByteArray("ID3\x04\x00\x00\x7f\x7f\x7f\x7f", 10);
        QByteArray riff("RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00", 20);
        QTest::addRow("riff") << riff << QByteArray("RIFF\xf0\xff\xff\xff", 8);
    }
    void hugeHeaderClaimsMore() {
        QFETCH(QByteArray, original);
        QFETCH(QByteArray, mark);
        const QByteArray huge = fixtures::withHugeHeader(original);
        QVERIFY2(huge.contains(mark), huge.toHex().constData());
    }

    void everyVariant_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        for (const Sample& sample : samples_) {
            QTest::addRow("%s-valid", qPrintable(sample.name))
                << sample.name + QStringLiteral("-valid.") + sample.extension << sample.bytes;
            for (const fixtures::Variant& v :
                 fixtures::corruptedVariants(sample.bytes, sample.extension, 1)) {
                const QString name = sample.name + '-' + v.name + '.' + v.extension;
                QTest::addRow("%s", qPrintable(name)) << name << v.bytes;
            }
        }
    }
    void everyVariant() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        const QByteArray path = nativeIn(QStringLiteral("variants"), name);
        QVERIFY(writeNative(path, bytes));
        StderrCapture capture;
        QVERIFY(capture.isActive());
        const QString wrong = readEverything(path, true, sources_);
        const QByteArray printed = capture.finish();
        QCOMPARE(wrong, QString());
        QCOMPARE(printed, QByteArray());
    }

    void thousandCorruptFiles() {
        const int wanted = sanitizerBuild() ? 200 : 1000;
        QList<QByteArray> paths;
        for (quint32 seed = 100; paths.size() < wanted; ++seed) {
            for (const Sample& sample : samples_) {
                const QList<fixtures::Variant> variants =
                    fixtures::corruptedVariants(sample.bytes, sample.extension, seed);
                for (const fixtures::Variant& v : variants) {
                    // The damage that depends on the seed; the rest was covered above.
                    if (!v.name.startsWith(QLatin1String("flipped-")) || paths.size() >= wanted)
                        continue;
                    const QString name = QStringLiteral("%1-%2-%3.%4")
                                             .arg(seed)
                                             .arg(sample.name, v.name, v.extension);
                    paths.append(nativeIn(QStringLiteral("many"), name));
                    QVERIFY(writeNative(paths.last(), v.bytes));
                }
            }
        }
        QStringList wrong;
        StderrCapture capture;
        QVERIFY(capture.isActive());
        for (const QByteArray& path : paths) {
            const QString problem = readEverything(path, true, sources_);
            if (!problem.isEmpty())
                wrong.append(QFile::decodeName(path) + ": " + problem);
        }
        const QByteArray printed = capture.finish();
        QCOMPARE(paths.size(), wanted);
        QCOMPARE(wrong, QStringList());
        QCOMPARE(printed, QByteArray());
    }

    void entriesNeverToOpen_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("target"); // empty: a FIFO
        QTest::addRow("fifo") << QByteArray("pipe.pdf") << QByteArray();
        QTest::addRow("fifo-docx") << QByteArray("pipe.docx") << QByteArray();
        QTest::addRow("dev-null-link") << QByteArray("null.docx") << QByteArray("/dev/null");
        QTest::addRow("dev-zero-link") << QByteArray("zero.mp3") << QByteArray("/dev/zero");
        QTest::addRow("dangling-link") << QByteArray("gone.jpg") << QByteArray("/nonexistent/x");
        QTest::addRow("invalid-utf8-name") << QByteArray("caf\xe9.pdf") << QByteArray("-");
    }
    void entriesNeverToOpen() {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, target);
        const QByteArray path = nativeIn(QStringLiteral("special"), QString()) + name;
        ::unlink(path.constData());
        // Qt cannot remove a name that is not valid UTF-8 when the folder is cleaned up.
        const auto removeEntry = qScopeGuard([&] { ::unlink(path.constData()); });
        if (target.isEmpty())
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        else if (target == "-")
            QVERIFY(writeNative(path, "%PDF-1.4\n% cut short\n"));
        else
            QCOMPARE(::symlink(target.constData(), path.constData()), 0);

        // The read runs on its own thread, so that a hang fails the test instead of blocking it.
        auto outcome = std::make_shared<std::promise<QString>>();
        std::future<QString> result = outcome->get_future();
        const bool fifo = target.isEmpty();
        StderrCapture capture;
        std::thread([this, outcome, path, fifo] {
            QString wrong = readEverything(path, false, sources_);
            // The document readers refuse what is not a regular file, without opening a FIFO.
            readers::FileToRead file;
            file.nativePath = path;
            for (const readers::Reader* reader :
                 {&readers::pdfReader(), &readers::officeReader()}) {
                readers::EmbeddedDetails details;
                if (reader->read(file, details) && (fifo || !details.isEmpty()))
                    wrong += QStringLiteral("a document reader took it; ");
            }
            outcome->set_value(wrong);
        }).detach();
        if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            // Lets a reader stuck opening the FIFO go, so the thread can end.
            const int writer = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0)
                ::close(writer);
            result.wait_for(std::chrono::seconds(5));
            capture.finish();
            QFAIL("reading the entry did not finish within 20 s");
        }
        const QByteArray printed = capture.finish();
        QCOMPARE(result.get(), QString());
        QCOMPARE(printed, QByteArray());
    }
};

QUILLMERE_CORE_TEST_MAIN(TestRobustness)
#include "test_robustness.moc"
