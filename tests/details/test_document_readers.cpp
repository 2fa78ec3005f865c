#include "support/readers_here.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include "details/column_ids.h"
#include "details/readers/reader.h"
#include "fixtures/documents.h"
#include "fixtures/legacy_office.h"
#include "fixtures/pdf_variants.h"
#include "fixtures/sample_files.h"
#include "search/detail_columns.h"

#include <QMimeDatabase>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

using namespace quillmere;
using namespace quillmere::test;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::details::readers;
using fixtures::Kind;
using readers::EmbeddedDetails;

Q_DECLARE_METATYPE(fixtures::ZipEntry)
Q_DECLARE_METATYPE(fixtures::PdfCipher)
Q_DECLARE_METATYPE(fixtures::CodePageNamed)

namespace {

constexpr qint64 EntryCap = 1 << 20;

// Entries of a PDF's information dictionary, each value's bytes as they stand.
using RawInfo = QList<std::pair<QByteArray, QByteArray>>;

fixtures::Tags fullTags() {
    fixtures::Tags tags;
    tags.title = QStringLiteral("Quarterly Report");
    tags.author = QStringLiteral("Ada Lovelace");
    tags.subject = QStringLiteral("Finance");
    tags.keywords = {QStringLiteral("alpha"), QStringLiteral("beta")};
    tags.category = QStringLiteral("Reports");
    tags.company = QStringLiteral("Vantrel");
    tags.program = QStringLiteral("Quillmere Writer");
    tags.description = QStringLiteral("Summary of the quarter");
    tags.pages = 3;
    return tags;
}

struct ReadResult {
    bool handled = false;
    EmbeddedDetails details;
};

ReadResult readWith(const readers::Reader& reader, const QString& path) {
    const QMimeDatabase db;
    readers::FileToRead file;
    file.nativePath = QFile::encodeName(path);
    file.mimeType = db.mimeTypeForFile(path);
    file.size = QFileInfo(path).size();
    ReadResult result;
    result.handled = reader.read(file, result.details);
    return result;
}

const readers::Reader& readerOf(Kind kind) {
    return kind == Kind::Pdf ? readers::pdfReader() : readers::officeReader();
}

// Makes the zip's local and central records of `name` declare `size` bytes uncompressed.
QByteArray withDeclaredSize(QByteArray zip, const QByteArray& name, quint32 size) {
    auto put32 = [&](qsizetype at) {
        for (int i = 0; i < 4; ++i)
            zip[at + i] = char((size >> (8 * i)) & 0xff);
    };
    for (qsizetype at = zip.indexOf(name); at >= 0; at = zip.indexOf(name, at + 1)) {
        if (at >= 30 && zip.mid(at - 30, 4) == "PK\x03\x04")
            put32(at - 30 + 22);
        else if (at >= 46 && zip.mid(at - 46, 4) == "PK\x01\x02")
            put32(at - 46 + 24);
    }
    return zip;
}

QByteArray coreXml(const QByteArray& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<cp:coreProperties "
           "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">" +
           inner + "</cp:coreProperties>";
}

QByteArray metaXml(const QByteArray& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<office:document-meta "
           "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
           "xmlns:meta=\"urn:oasis:names:tc:opendocument:xmlns:meta:1.0\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><office:meta>" +
           inner + "</office:meta></office:document-meta>";
}

// Replaces one entry of a generated package and writes it.
void writePackageWith(Kind kind, const QString& path, const QString& entryName,
                      const QByteArray& data) {
    QList<fixtures::ZipEntry> entries = fixtures::documentEntries(kind, fullTags());
    bool replaced = false;
    for (fixtures::ZipEntry& entry : entries) {
        if (entry.name == entryName) {
            entry.data = data;
            replaced = true;
        }
    }
    QVERIFY2(replaced, qPrintable(entryName));
    fixtures::writeZip(path, entries);
}

} // namespace

class TestDocumentReaders : public QObject {
    Q_OBJECT

    search::DetailSources sources_{test::readingHere()};

private:
    QTemporaryDir dir_;
    QString path(const QString& name) const { return dir_.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void columns_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("expected");
        const fixtures::Tags tags = fullTags();
        const QList<Kind> kinds = {Kind::Pdf, Kind::Docx, Kind::Xlsx, Kind::Pptx,
                                   Kind::Odt, Kind::Ods,  Kind::Odp};
        for (Kind kind : kinds) {
            const bool pdf = kind == Kind::Pdf;
            const bool ooxml = kind == Kind::Docx || kind == Kind::Xlsx || kind == Kind::Pptx;
            const bool paged = kind != Kind::Xlsx && kind != Kind::Ods;
            const QList<std::pair<int, QString>> expected = {
                {column::Title, tags.title},
                {column::Authors, tags.author},
                {column::Subject, tags.subject},
                {column::Tags, QStringLiteral("alpha; beta")},
                {column::Comments, pdf ? QString() : tags.description},
                {column::Categories, ooxml ? tags.category : QString()},
                {column::Company, ooxml ? tags.company : QString()},
                {column::ProgramName, tags.program},
                {column::Pages, paged ? QStringLiteral("3") : QString()},
                {column::DateTaken, QString()},
                {column::Copyright, QString()},
                {column::FileDescription, QString()},
            };
            for (const auto& [column, value] : expected)
                QTest::addRow("%s-%d", qPrintable(fixtures::kindName(kind)), column)
                    << kind << column << value;
        }
    }
    void columns() {
        QFETCH(Kind, kind);
        QFETCH(int, column);
        QFETCH(QString, expected);
        const QString file = path(QStringLiteral("full.") + fixtures::extension(kind));
        fixtures::write(kind, file, fullTags());
        const ReadResult result = readWith(readerOf(kind), file);
        QVERIFY(result.handled);
        QCOMPARE(result.details.joined(column), expected);
    }

    void readerChosenByType_data() {
        QTest::addColumn<Kind>("kind");
        for (Kind kind :
             {Kind::Pdf, Kind::Docx, Kind::Xlsx, Kind::Pptx, Kind::Odt, Kind::Ods, Kind::Odp})
            QTest::addRow("%s", qPrintable(fixtures::kindName(kind))) << kind;
    }
    void readerChosenByType() {
        QFETCH(Kind, kind);
        const QString file = path(QStringLiteral("typed.") + fixtures::extension(kind));
        fixtures::write(kind, file, fullTags());
        const QMimeDatabase db;
        QCOMPARE(readers::readerFor(db.mimeTypeForFile(file, QMimeDatabase::MatchExtension)),
                 &readerOf(kind));
        // shared-mime-info knows no content signature for Office Open XML: such a file is only
        // a zip by its bytes.
        const QMimeType byContent = db.mimeTypeForFile(file, QMimeDatabase::MatchContent);
        if (kind == Kind::Docx || kind == Kind::Xlsx || kind == Kind::Pptx)
            QCOMPARE(byContent.name(), QStringLiteral("application/zip"));
        else
            QCOMPARE(readers::readerFor(byContent), &readerOf(kind));
    }

    void nonAsciiTitles_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("title");
        const QStringList titles = {
            QStringLiteral("Bericht über Äpfel"),  QStringLiteral("日本語の題名"),
            QStringLiteral("Smile 😀 please"),      QStringLiteral("<a & b> \"quoted\" 'x'"),
            QStringLiteral("(paren) back\\slash"), QStringLiteral("Ελληνικά; κείμενο")};
        for (Kind kind : {Kind::Pdf, Kind::Docx, Kind::Odt}) {
            for (int i = 0; i < titles.size(); ++i)
                QTest::addRow("%s-%d", qPrintable(fixtures::kindName(kind)), i)
                    << kind << titles[i];
        }
    }
    void nonAsciiTitles() {
        QFETCH(Kind, kind);
        QFETCH(QString, title);
        fixtures::Tags tags;
        tags.title = title;
        tags.author = title;
        const QString file = path(QStringLiteral("intl.") + fixtures::extension(kind));
        fixtures::write(kind, file, tags);
        const ReadResult result = readWith(readerOf(kind), file);
        QVERIFY(result.handled);
        QCOMPARE(result.details.joined(column::Title), title);
        QCOMPARE(result.details.joined(column::Authors), title);
    }

    void pdfPageCount_data() {
        QTest::addColumn<int>("pages");
        for (int pages : {1, 2, 3, 17})
            QTest::addRow("%d", pages) << pages;
    }
    void pdfPageCount() {
        QFETCH(int, pages);
        const QString file = path(QStringLiteral("pages.pdf"));
        QVERIFY(writeBytes(file, fixtures::pdfDocument(pages, {})));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QVERIFY(result.handled);
        QCOMPARE(result.details.joined(column::Pages), QString::number(pages));
        QCOMPARE(result.details.joined(column::Title), QString());
    }

    void pdfCreatorThenProducer() {
        const QString file = path(QStringLiteral("producer.pdf"));
        QVERIFY(writeBytes(file,
                           fixtures::pdfDocument(1, {{"Producer", QStringLiteral("Typesetter 2")},
                                                     {"Creator", QStringLiteral("Editor 9")},
                                                     {"Keywords", QStringLiteral("a,b; c ;;")}})));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QCOMPARE(result.details.joined(column::ProgramName),
                 QStringLiteral("Editor 9; Typesetter 2"));
        QCOMPARE(result.details.joined(column::Tags), QStringLiteral("a; b; c"));
    }

    // Keywords in UTF-16 that hold a lone surrogate are still split at their separators (a
    // regular expression refuses such text and left the list whole).
    void pdfKeywordsWithBrokenText() {
        const QString file = path(QStringLiteral("keywords.pdf"));
        QVERIFY(writeBytes(
            file, fixtures::pdfWithRawStrings(
                      {{"Keywords", QByteArray("\xfe\xff\0a\0;\0b\xd8\x00\0,\0c", 14)}}, {})));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QCOMPARE(result.details.joined(column::Tags),
                 QStringLiteral("a; b") + QChar(0xd800) + QStringLiteral("; c"));
    }

    // A text string is UTF-16BE only when it begins with FE FF, UTF-8 only when it begins with
    // EF BB BF, and PDFDocEncoding throughout otherwise: the bytes FE FF later in it are "þÿ".
    void pdfTextStrings_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::addRow("PDFDocEncoding's own characters")
            << QByteArray("\x93nal \x84 \x80 \x8d\x8e \x92 \xa0 \x18\x1f \x95\x9c caf\xe9")
            << QStringLiteral("ﬁnal — • “” ™ € ˘˜ Łœ café");
        QTest::addRow("FE FF in the middle")
            << QByteArray("Ab\xfe\xff\0C\x93", 7) << QStringLiteral("AbþÿCﬁ");
        QTest::addRow("undefined bytes dropped") << QByteArray("a\x7f"
                                                               "b\x9f"
                                                               "c\xad"
                                                               "d")
                                                 << QStringLiteral("abcd");
        QTest::addRow("UTF-8 with its mark")
            << QByteArray("\xef\xbb\xbfJos\xc3\xa9 \xe6\xbc\xa2") << QStringLiteral("José 漢");
        QTest::addRow("UTF-16 with its mark")
            << QByteArray("\xfe\xff\0J\0o\0s\0\xe9\x6f\x22", 12) << QStringLiteral("José漢");
    }
    void pdfTextStrings() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QString file = path(QStringLiteral("strings.pdf"));
        QVERIFY(
            writeBytes(file, fixtures::pdfWithRawStrings({{"Author", bytes}, {"Title", bytes}})));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QCOMPARE(result.details.joined(column::Authors), expected);
        QCOMPARE(result.details.joined(column::Title), expected);
    }

    // The XMP metadata stream fills, column by column, what the information dictionary lacks.
    void pdfXmpFillsWhatInfoLacks_data() {
        QTest::addColumn<RawInfo>("info");
        QTest::addColumn<QByteArray>("xmp");
        QTest::addColumn<QStringList>("expected"); // title, authors, subject, tags, program
        fixtures::Tags tags;
        tags.title = QStringLiteral("From XMP");
        tags.author = QStringLiteral("Xavier");
        tags.subject = QStringLiteral("Described");
        tags.keywords = {QStringLiteral("x1"), QStringLiteral("x2")};
        tags.program = QStringLiteral("XMP Tool");
        const QByteArray xmp = fixtures::documentXmp(tags);
        using Info = RawInfo;
        QTest::addRow("nothing in the dictionary")
            << Info{} << xmp
            << QStringList{"From XMP", "Xavier", "Described", "x1; x2", "XMP Tool"};
        QTest::addRow("dictionary first")
            << Info{{"Title", "Own"}, {"Keywords", "k"}, {"Producer", "Printer"}} << xmp
            << QStringList{"Own", "Xavier", "Described", "k", "Printer"};
        QTest::addRow("dictionary complete") << Info{{"Title", "T"},
                                                     {"Author", "A"},
                                                     {"Subject", "S"},
                                                     {"Keywords", "K"},
                                                     {"Creator", "C"}}
                                             << xmp << QStringList{"T", "A", "S", "K", "C"};
        fixtures::Tags subjects;
        subjects.title = QStringLiteral("Bag");
        QByteArray bag = fixtures::documentXmp(subjects);
        bag.replace("</dc:title>", "</dc:title><dc:subject><rdf:Bag><rdf:li>s1</rdf:li>"
                                   "<rdf:li>s2</rdf:li></rdf:Bag></dc:subject>");
        QTest::addRow("keywords from XMP's subjects")
            << Info{} << bag << QStringList{"Bag", "", "", "s1; s2", ""};
        QTest::addRow("broken XMP") << Info{{"Author", "A"}} << xmp.left(xmp.size() / 2)
                                    << QStringList{"", "A", "", "", ""};
    }
    void pdfXmpFillsWhatInfoLacks() {
        QFETCH(RawInfo, info);
        QFETCH(QByteArray, xmp);
        QFETCH(QStringList, expected);
        const QString file = path(QStringLiteral("xmp.pdf"));
        QVERIFY(writeBytes(file, fixtures::pdfWithRawStrings(info, xmp)));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QVERIFY(result.handled);
        const QStringList seen = {
            result.details.joined(column::Title), result.details.joined(column::Authors),
            result.details.joined(column::Subject), result.details.joined(column::Tags),
            result.details.joined(column::ProgramName)};
        QCOMPARE(seen, expected);
        QCOMPARE(result.details.joined(column::Pages), QStringLiteral("1"));
    }

    void pdfWithJunkBeforeHeader() {
        // Poppler accepts a header a little way into the file; so must the sniffing.
        const QString file = path(QStringLiteral("junk.pdf"));
        QVERIFY(
            writeBytes(file, QByteArray(200, ' ') +
                                 fixtures::pdfDocument(2, {{"Title", QStringLiteral("Late")}})));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QVERIFY(result.handled);
        QCOMPARE(result.details.joined(column::Title), QStringLiteral("Late"));
    }

    // A password-locked PDF gives nothing but what the file system tells (once a crash that
    // took the whole search down); one that opens without a password gives everything.
    void encryptedPdf_data() {
        QTest::addColumn<fixtures::PdfCipher>("cipher");
        QTest::addColumn<bool>("locked");
        const std::pair<const char*, fixtures::PdfCipher> ciphers[] = {
            {"rc4-40", fixtures::PdfCipher::Rc4With40Bits},
            {"rc4-128", fixtures::PdfCipher::Rc4With128Bits},
            {"aes-128", fixtures::PdfCipher::Aes128},
            {"aes-256", fixtures::PdfCipher::Aes256}};
        for (const auto& [name, cipher] : ciphers) {
            QTest::addRow("%s-user-password", name) << cipher << true;
            QTest::addRow("%s-owner-only", name) << cipher << false;
        }
    }
    void encryptedPdf() {
        QFETCH(fixtures::PdfCipher, cipher);
        QFETCH(bool, locked);
        const QByteArray plain = fixtures::pdfDocument(
            3, {{"Title", QStringLiteral("Statement")}, {"Author", QStringLiteral("The Bank")}});
        const QString file = path(QStringLiteral("encrypted.pdf"));
        QVERIFY(
            writeBytes(file, fixtures::encryptedPdf(plain, cipher, locked ? "user" : "", "owner")));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QVERIFY(result.handled);
        QCOMPARE(result.details.joined(21), locked ? QString() : QStringLiteral("Statement"));
        QCOMPARE(result.details.joined(20), locked ? QString() : QStringLiteral("The Bank"));
        QCOMPARE(result.details.joined(36), locked ? QString() : QStringLiteral("3"));

        // The same through the columns, from a file too large to be read at once.
        const QString large = path(QStringLiteral("encrypted-large.pdf"));
        const QByteArray padded = fixtures::pdfDocument(
            3, {{"Title", QStringLiteral("Statement")}, {"Padding", QString(300 * 1024, u'x')}});
        QVERIFY(writeBytes(large,
                           fixtures::encryptedPdf(padded, cipher, locked ? "user" : "", "owner")));
        DetailColumns columns(QFile::encodeName(large), sources_);
        QCOMPARE(columns.value(column::ItemType), QStringLiteral("PDF document"));
        QCOMPARE(columns.value(column::Pages), locked ? QString() : QStringLiteral("3"));
    }

    void linearisedPdf() {
        const QString file = path(QStringLiteral("linearised.pdf"));
        QVERIFY(writeBytes(file, fixtures::linearisedPdf(fixtures::pdfDocument(
                                     4, {{"Title", QStringLiteral("Fast web view")}}))));
        const ReadResult result = readWith(readers::pdfReader(), file);
        QCOMPARE(result.details.joined(21), QStringLiteral("Fast web view"));
        QCOMPARE(result.details.joined(36), QStringLiteral("4"));
    }

    void pdfReadFromTwoThreads() {
        QStringList files;
        for (int n = 1; n <= 4; ++n) {
            files.append(path(QStringLiteral("thread%1.pdf").arg(n)));
            QVERIFY(writeBytes(files.last(), fixtures::pdfDocument(
                                                 n, {{"Title", QStringLiteral("Doc %1").arg(n)}})));
        }
        QStringList seen[2];
        auto work = [&](int who) {
            for (int round = 0; round < 40; ++round) {
                const QString& file = files[(round + who) % files.size()];
                const ReadResult r = readWith(readers::pdfReader(), file);
                seen[who].append(r.details.joined(column::Title) + '/' +
                                 r.details.joined(column::Pages));
            }
        };
        std::thread other(work, 1);
        work(0);
        other.join();
        for (int who = 0; who < 2; ++who) {
            for (int round = 0; round < 40; ++round) {
                const int n = (round + who) % files.size() + 1;
                QCOMPARE(seen[who][round], QStringLiteral("Doc %1/%1").arg(n));
            }
        }
    }

    // An OpenDocument file's author is its first author, wherever the file puts it; the last
    // editor stands in only when no first author is named.
    void officeKeywordsAndAuthorsOrder_data() {
        QTest::addColumn<QByteArray>("people");
        QTest::addColumn<QString>("authors");
        QTest::addRow("editor written first")
            << QByteArray("<dc:creator>Editor</dc:creator>"
                          "<meta:initial-creator>First</meta:initial-creator>")
            << "First";
        QTest::addRow("editor alone") << QByteArray("<dc:creator>Editor</dc:creator>") << "Editor";
        QTest::addRow("first author blank")
            << QByteArray("<meta:initial-creator> </meta:initial-creator>"
                          "<dc:creator>Editor</dc:creator>")
            << "Editor";
        QTest::addRow("nobody") << QByteArray() << "";
    }
    void officeKeywordsAndAuthorsOrder() {
        QFETCH(QByteArray, people);
        QFETCH(QString, authors);
        const QString file = path(QStringLiteral("order.odt"));
        writePackageWith(Kind::Odt, file, QStringLiteral("meta.xml"),
                         metaXml(people + "<meta:keyword>one, two</meta:keyword>"
                                          "<meta:keyword>three</meta:keyword>"
                                          "<meta:document-statistic meta:page-count=\"-4\"/>"));
        const ReadResult result = readWith(readers::officeReader(), file);
        QVERIFY(result.handled);
        QCOMPARE(result.details.joined(column::Authors), authors);
        QCOMPARE(result.details.joined(column::Tags), QStringLiteral("one; two; three"));
        QCOMPARE(result.details.joined(column::Pages), QString());
    }

    // A package in the ISO strict form of Office Open XML (other namespaces) gives what the
    // transitional form gives.
    void strictOfficeOpenXml_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("pages");
        QTest::addRow("docx") << Kind::Docx << "3";
        QTest::addRow("xlsx") << Kind::Xlsx << "";
        QTest::addRow("pptx") << Kind::Pptx << "3";
    }
    void strictOfficeOpenXml() {
        QFETCH(Kind, kind);
        QFETCH(QString, pages);
        const QString file = path(QStringLiteral("strict.") + fixtures::extension(kind));
        const QList<fixtures::ZipEntry> entries =
            fixtures::strictEntries(fixtures::documentEntries(kind, fullTags()));
        fixtures::writeZip(file, entries);
        const QByteArray app = std::find_if(entries.cbegin(), entries.cend(), [](const auto& e) {
                                   return e.name == QLatin1String("docProps/app.xml");
                               })->data;
        QVERIFY(app.contains("purl.oclc.org/ooxml/officeDocument/extendedProperties"));
        DetailColumns columns(QFile::encodeName(file), sources_);
        QCOMPARE(columns.value(column::Title), fullTags().title);
        QCOMPARE(columns.value(column::Authors), fullTags().author);
        QCOMPARE(columns.value(column::ProgramName), fullTags().program);
        QCOMPARE(columns.value(column::Company), fullTags().company);
        QCOMPARE(columns.value(column::Pages), pages);
        QCOMPARE(columns.problems(), QStringList());
    }

    void malformedXmlKeepsWhatCameBefore_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QByteArray>("xml");
        const QByteArray title = "<dc:title>Kept</dc:title>";
        const QByteArray after = "<dc:subject>Lost</dc:subject>";
        QTest::addRow("docx-mismatched") << Kind::Docx << "docProps/core.xml"
                                         << coreXml(title + "<dc:creator>x</dc:crea>" + after);
        QTest::addRow("docx-bad-entity")
            << Kind::Docx << "docProps/core.xml"
            << coreXml(title + "<dc:creator>&bogus;</dc:creator>" + after);
        QTest::addRow("docx-cut-short") << Kind::Docx << "docProps/core.xml"
                                        << coreXml(title + after).left(coreXml(title).size() - 10);
        QTest::addRow("docx-undeclared-prefix")
            << Kind::Docx << "docProps/core.xml" << coreXml(title + "<zz:x/>" + after);
        QTest::addRow("odt-mismatched")
            << Kind::Odt << "meta.xml" << metaXml(title + "<dc:creator>x</meta:keyword>" + after);
        QTest::addRow("odt-second-root")
            << Kind::Odt << "meta.xml" << metaXml(title) + "<dc:subject>Lost</dc:subject>";
        QTest::addRow("ods-control-characters")
            << Kind::Ods << "meta.xml" << metaXml(title + QByteArray("\x01\x02<", 3) + after);
        QTest::addRow("odt-bad-utf8-later")
            << Kind::Odt << "meta.xml"
            << metaXml(title + "<dc:creator>\xff\xfe\xc3</dc:creator><a></b>" + after);
    }
    void malformedXmlKeepsWhatCameBefore() {
        QFETCH(Kind, kind);
        QFETCH(QString, entry);
        QFETCH(QByteArray, xml);
        const QString file = path(QStringLiteral("broken.") + fixtures::extension(kind));
        writePackageWith(kind, file, entry, xml);
        const ReadResult result = readWith(readers::officeReader(), file);
        QVERIFY(result.handled);
        QCOMPARE(result.details.joined(column::Title), QStringLiteral("Kept"));
        QCOMPARE(result.details.joined(column::Subject), QString());
    }

    void badlyEncodedByteCostsOnlyItsValue() {
        const QString file = path(QStringLiteral("encoding.docx"));
        writePackageWith(Kind::Docx, file, QStringLiteral("docProps/core.xml"),
                         coreXml("<dc:creator>Bj\xf6rk</dc:creator><dc:title>Whole</dc:title>"));
        const ReadResult result = readWith(readers::officeReader(), file);
        QCOMPARE(result.details.joined(column::Title), QStringLiteral("Whole"));
        QCOMPARE(result.details.joined(column::Authors), QStringLiteral("Bj\ufffdrk"));
    }

    void zipBombs_data() {
        QTest::addColumn<bool>("lying");
        QTest::addRow("declared-huge") << false;
        QTest::addRow("declared-small") << true;
    }
    void zipBombs() {
        QFETCH(bool, lying);
        // 8 MB of blanks inside the description, which deflate squeezes to some 8 KB.
        const QByteArray filler(8 << 20, ' ');
        const QByteArray core =
            coreXml("<dc:title>Bomb</dc:title><dc:description>" + filler + "</dc:description>");
        QList<fixtures::ZipEntry> entries = fixtures::documentEntries(Kind::Docx, fullTags());
        for (fixtures::ZipEntry& entry : entries) {
            if (entry.name == QLatin1String("docProps/core.xml"))
                entry.data = core;
        }
        const QString file = path(QStringLiteral("bomb.docx"));
        fixtures::writeZip(file, entries);
        QVERIFY(QFileInfo(file).size() < 1 << 20);
        if (lying)
            QVERIFY(writeBytes(file, withDeclaredSize(readBytes(file), "docProps/core.xml", 4000)));
        const ReadResult result = readWith(readers::officeReader(), file);
        QVERIFY(result.handled);
        // Nothing of the bomb itself; app.xml, a separate entry, is still read.
        QCOMPARE(result.details.joined(column::Title), QString());
        QVERIFY(result.details.joined(column::Comments).size() < EntryCap);
        QCOMPARE(result.details.joined(column::Company), QStringLiteral("Vantrel"));
    }

    void notItsKind_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("pdf");
        const QByteArray text = "Just some words, not a package.\n";
        QTest::addRow("text-as-docx") << "text.docx" << text << false;
        QTest::addRow("text-as-odt") << "text.odt" << text << false;
        QTest::addRow("empty-docx") << "empty.docx" << QByteArray() << false;
        QTest::addRow("pdf-as-xlsx") << "doc.xlsx" << fixtures::pdfDocument(1, {}) << false;
        QTest::addRow("text-as-pdf") << "text.pdf" << text << true;
        QTest::addRow("empty-pdf") << "empty.pdf" << QByteArray() << true;
        QTest::addRow("pdf-header-too-late")
            << "late.pdf" << QByteArray(4096, '\n') + fixtures::pdfDocument(1, {}) << true;
    }
    void notItsKind() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, pdf);
        const QString file = path(name);
        QVERIFY(writeBytes(file, bytes));
        const ReadResult result =
            readWith(pdf ? readers::pdfReader() : readers::officeReader(), file);
        QVERIFY(!result.handled);
        QVERIFY(result.details.isEmpty());
    }

    void plainZipIsNotADocument_data() {
        QTest::addColumn<QList<fixtures::ZipEntry>>("entries");
        QTest::addRow("plain") << QList<fixtures::ZipEntry>{
            {QStringLiteral("readme.txt"), "hello"}, {QStringLiteral("meta.xml"), metaXml("")}};
        QTest::addRow("epub-like") << QList<fixtures::ZipEntry>{
            {QStringLiteral("mimetype"), "application/epub+zip", false},
            {QStringLiteral("META-INF/manifest.xml"), "<x/>"},
            {QStringLiteral("meta.xml"), metaXml("<dc:title>No</dc:title>")}};
    }
    void plainZipIsNotADocument() {
        QFETCH(QList<fixtures::ZipEntry>, entries);
        const QString file = path(QStringLiteral("plain.docx"));
        fixtures::writeZip(file, entries);
        const ReadResult result = readWith(readers::officeReader(), file);
        QVERIFY(!result.handled);
        QVERIFY(result.details.isEmpty());
    }

    // A package is read by its content whatever its name; a plain archive named as one still
    // reports no problem.
    void packagesKnownByContent_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("name");
        QTest::addRow("docx as zip") << Kind::Docx << "report.zip";
        QTest::addRow("xlsx as zip") << Kind::Xlsx << "sheet.ZIP";
        QTest::addRow("docx without extension") << Kind::Docx << "report";
        QTest::addRow("pptx as bin") << Kind::Pptx << "slides.bin";
        QTest::addRow("odt as zip") << Kind::Odt << "letter.zip";
    }
    void packagesKnownByContent() {
        QFETCH(Kind, kind);
        QFETCH(QString, name);
        const QString file = path(name);
        fixtures::write(kind, file, fullTags());
        DetailColumns columns(QFile::encodeName(file), sources_);
        QCOMPARE(columns.value(column::Authors), fullTags().author);
        QCOMPARE(columns.value(column::Title), fullTags().title);
        QCOMPARE(columns.problems(), QStringList());

        const QString plain = path(QStringLiteral("plain.zip"));
        fixtures::writeZip(plain, {{QStringLiteral("readme.txt"), "hello"}});
        DetailColumns archive(QFile::encodeName(plain), sources_);
        QCOMPARE(archive.value(column::Authors), QString());
        QCOMPARE(archive.value(column::ItemType), QStringLiteral("Zip archive"));
        QCOMPARE(archive.problems(), QStringList());
    }

    // Office 97-2003 files: the OLE2 property streams, read through libgsf.
    void legacyOffice_data() {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pages");
        QTest::addRow("doc") << Kind::Doc << "old.doc"
                             << "3";
        QTest::addRow("xls") << Kind::Xls << "old.xls"
                             << "";
        QTest::addRow("ppt") << Kind::Ppt << "old.ppt"
                             << "3";
        QTest::addRow("doc named as text") << Kind::Doc << "old-doc.txt"
                                           << "3";
        QTest::addRow("doc without extension") << Kind::Doc << "old-doc"
                                               << "3";
    }
    void legacyOffice() {
        QFETCH(Kind, kind);
        QFETCH(QString, name);
        QFETCH(QString, pages);
        const fixtures::Tags tags = fullTags();
        const QString file = path(name);
        fixtures::write(kind, file, tags);
        DetailColumns columns(QFile::encodeName(file), sources_);
        QCOMPARE(columns.value(column::Authors), tags.author);
        QCOMPARE(columns.value(column::Title), tags.title);
        QCOMPARE(columns.value(column::Subject), tags.subject);
        QCOMPARE(columns.value(column::Tags), QStringLiteral("alpha; beta"));
        QCOMPARE(columns.value(column::Comments), tags.description);
        QCOMPARE(columns.value(column::Categories), tags.category);
        QCOMPARE(columns.value(column::Company), tags.company);
        QCOMPARE(columns.value(column::ProgramName), tags.program);
        QCOMPARE(columns.value(column::Pages), pages);
        QCOMPARE(columns.problems(), QStringList());
    }

    // Texts in the code page their file names, converted by libgsf from their own bytes, also when
    // only the document summary names it.
    void legacyOfficeCodePages_data() {
        QTest::addColumn<int>("codePage");
        QTest::addColumn<fixtures::CodePageNamed>("named");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("company");
        using Named = fixtures::CodePageNamed;
        QTest::addRow("936 in both") << 936 << Named::InBoth << "演示文稿"
                                     << "公司";
        QTest::addRow("936 in the document summary only")
            << 936 << Named::InDocumentSummaryOnly << "演示文稿"
            << "公司";
        QTest::addRow("1251 in the document summary only")
            << 1251 << Named::InDocumentSummaryOnly << "Отчёт"
            << "Завод";
        QTest::addRow("1252 in the document summary only")
            << 1252 << Named::InDocumentSummaryOnly << "Übersicht"
            << "Café";
    }
    void legacyOfficeCodePages() {
        QFETCH(int, codePage);
        QFETCH(fixtures::CodePageNamed, named);
        QFETCH(QString, title);
        QFETCH(QString, company);
        fixtures::Tags tags = fullTags();
        tags.title = title;
        tags.company = company;
        const QString file = path(QStringLiteral("codepage.ppt"));
        QVERIFY(writeBytes(file, fixtures::legacyOfficeDocument(fixtures::LegacyOffice::PowerPoint,
                                                                tags, codePage, named)));
        DetailColumns columns(QFile::encodeName(file), sources_);
        QCOMPARE(columns.value(column::Title), title);
        QCOMPARE(columns.value(column::Company), company);
        QCOMPARE(columns.value(column::Authors), tags.author);
        QCOMPARE(columns.value(column::Pages), QStringLiteral("3"));
    }

    void legacyOfficeReadFromTwoThreads() {
        QStringList files;
        for (const Kind kind : {Kind::Doc, Kind::Xls, Kind::Ppt}) {
            fixtures::Tags tags = fullTags();
            tags.title = fixtures::kindName(kind);
            files.append(path(QStringLiteral("threads.") + fixtures::extension(kind)));
            fixtures::write(kind, files.last(), tags);
        }
        QStringList seen[2];
        auto work = [&](int who) {
            for (int round = 0; round < 30; ++round) {
                const ReadResult r =
                    readWith(readers::legacyOfficeReader(), files[(round + who) % files.size()]);
                seen[who].append(r.details.joined(21) + '/' + r.details.joined(20));
            }
        };
        std::thread other(work, 1);
        work(0);
        other.join();
        for (int who = 0; who < 2; ++who) {
            for (int round = 0; round < 30; ++round) {
                const QString kind = QFileInfo(files[(round + who) % files.size()]).suffix();
                QCOMPARE(seen[who][round], kind.toUpper() + '/' + fullTags().author);
            }
        }
    }

    void legacyOfficeDamaged_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray doc =
            fixtures::legacyOfficeDocument(fixtures::LegacyOffice::Word, fullTags());
        QTest::addRow("cut in half") << doc.left(doc.size() / 2);
        QTest::addRow("header only") << doc.left(512);
        QTest::addRow("not a compound file") << QByteArray("just some words\n");
        QByteArray scrambled = doc;
        for (qsizetype at = 512; at < scrambled.size(); at += 7)
            scrambled[at] = char(scrambled[at] ^ 0x5a);
        QTest::addRow("scrambled after the header") << scrambled;
    }
    void legacyOfficeDamaged() {
        QFETCH(QByteArray, bytes);
        const QString file = path(QStringLiteral("damaged.doc"));
        QVERIFY(writeBytes(file, bytes));
        const ReadResult result = readWith(readers::legacyOfficeReader(), file);
        // Whatever it makes of the file, nothing is invented from the damage.
        for (int c = 12; c <= 40; ++c) {
            const QString value = result.details.joined(c);
            QVERIFY2(value.isEmpty() || value.size() < 200, qPrintable(value));
        }
    }

    void packageWithoutProperties() {
        // A document that carries no metadata is still this reader's.
        QList<fixtures::ZipEntry> entries = fixtures::documentEntries(Kind::Pptx, fullTags());
        entries.removeIf([](const fixtures::ZipEntry& e) { return e.name.startsWith("docProps"); });
        const QString file = path(QStringLiteral("bare.pptx"));
        fixtures::writeZip(file, entries);
        const ReadResult result = readWith(readers::officeReader(), file);
        QVERIFY(result.handled);
        QVERIFY(result.details.isEmpty());
    }

    void keptDetailsServeAnUnchangedFileAndNotAChangedOne() {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("kept.pdf"));
        const QByteArray native = QFile::encodeName(file);
        const auto titleNow = [this, &native] {
            return DetailColumns(native, sources_).value(column::Title);
        };
        const auto reads = [this] { return sources_.cache().figures().reads; };
        const auto setModified = [&native](qint64 seconds) {
            const timespec times[2] = {{seconds, 0}, {seconds, 0}};
            QCOMPARE(::utimensat(AT_FDCWD, native.constData(), times, 0), 0);
        };

        QVERIFY(writeBytes(file, fixtures::pdfDocument(1, {{"Title", QStringLiteral("Alpha")}})));
        setModified(1'600'000'000);
        const quint64 start = reads();
        QCOMPARE(titleNow(), QStringLiteral("Alpha"));
        QCOMPARE(reads(), start + 1);
        QCOMPARE(titleNow(), QStringLiteral("Alpha"));
        QCOMPARE(reads(), start + 1);

        // Same size, new contents and a new modification time.
        QVERIFY(writeBytes(file, fixtures::pdfDocument(1, {{"Title", QStringLiteral("Omega")}})));
        setModified(1'600'000'100);
        QCOMPARE(titleNow(), QStringLiteral("Omega"));
        QCOMPARE(reads(), start + 2);

        // New size, the old modification time put back: the size alone tells the change.
        QVERIFY(writeBytes(file,
                           fixtures::pdfDocument(1, {{"Title", QStringLiteral("Longer title")}})));
        setModified(1'600'000'100);
        QCOMPARE(titleNow(), QStringLiteral("Longer title"));
        QCOMPARE(reads(), start + 3);
        QCOMPARE(titleNow(), QStringLiteral("Longer title"));
        QCOMPARE(reads(), start + 3);
    }

    void keptDetailsRememberThatTheNameLied() {
        QTemporaryDir dir;
        const QByteArray native = QFile::encodeName(dir.filePath(QStringLiteral("report.docx")));
        QVERIFY(writeBytes(QFile::decodeName(native),
                           fixtures::pdfDocument(2, {{"Title", QStringLiteral("Really a PDF")}})));
        QStringList first;
        QStringList second;
        for (QStringList* seen : {&first, &second}) {
            DetailColumns details(native, sources_);
            const QString typeBefore = details.value(column::ItemType);
            *seen << typeBefore << details.value(column::Title) << details.value(column::ItemType)
                  << details.problems();
        }
        QCOMPARE(first.value(2), QStringLiteral("PDF document"));
        QCOMPARE(second, first);
    }

    void oldestKeptDetailsGoFirst() {
        QTemporaryDir dir;
        QList<QByteArray> files;
        for (const char* name : {"one.pdf", "two.pdf", "three.pdf"}) {
            files.append(QFile::encodeName(dir.filePath(QString::fromLatin1(name))));
            QVERIFY(writeBytes(QFile::decodeName(files.last()),
                               fixtures::pdfDocument(1, {{"Title", QString::fromLatin1(name)}})));
        }
        search::DetailSources::Setup keepingTwo = test::readingHere();
        keepingTwo.cacheLimit = 2;
        search::DetailSources sources(keepingTwo);
        const auto readsFor = [&sources](const QByteArray& path) {
            const quint64 before = sources.cache().figures().reads;
            DetailColumns(path, sources).value(column::Title);
            return sources.cache().figures().reads - before;
        };
        QCOMPARE(readsFor(files[0]), 1u);
        QCOMPARE(readsFor(files[1]), 1u);
        QCOMPARE(readsFor(files[2]), 1u); // "one" is dropped
        QCOMPARE(sources.cache().figures().kept, 2);
        QCOMPARE(readsFor(files[2]), 0u);
        QCOMPARE(readsFor(files[1]), 0u);
        QCOMPARE(readsFor(files[0]), 1u);
    }

    void keptDetailsAreSharedByThreads() {
        QTemporaryDir dir;
        QList<QByteArray> files;
        for (int i = 0; i < 40; ++i) {
            files.append(QFile::encodeName(dir.filePath(QStringLiteral("doc%1.pdf").arg(i))));
            QVERIFY(
                writeBytes(QFile::decodeName(files.last()),
                           fixtures::pdfDocument(1, {{"Title", QStringLiteral("Doc %1").arg(i)}})));
        }
        const quint64 before = sources_.cache().figures().reads;
        std::atomic<int> wrong{0};
        const auto work = [&] {
            for (int round = 0; round < 3; ++round) {
                for (int i = 0; i < files.size(); ++i) {
                    if (DetailColumns(files[i], sources_).value(column::Title) !=
                        QStringLiteral("Doc %1").arg(i))
                        ++wrong;
                }
            }
        };
        std::thread a(work);
        std::thread b(work);
        a.join();
        b.join();
        QCOMPARE(wrong.load(), 0);
        // Both threads may read a file at the same moment once; never again after that.
        QVERIFY(sources_.cache().figures().reads - before <= quint64(2 * files.size()));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestDocumentReaders)
#include "test_document_readers.moc"
