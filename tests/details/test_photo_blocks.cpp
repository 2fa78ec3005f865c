// The blocks of photo metadata that our own code walks: XMP packets, EXIF directories, IPTC
// records, and the segments of a JPEG.

#include "details/column_ids.h"
#include "details/readers/exif_tags.h"
#include "details/readers/iptc_records.h"
#include "details/readers/reader.h"
#include "details/readers/xmp_packet.h"
#include "support/test_main.h"

#include <QTemporaryDir>

using namespace quillmere::details::readers;
namespace column = quillmere::details::column;

namespace {

QString describe(const XmpProperties& properties) {
    QStringList parts;
    for (const XmpProperty& p : properties)
        parts.append(QString::fromStdString(p.key) + u'=' + p.texts.join(u'|'));
    return parts.join(u' ');
}

QByteArray packet(const QByteArray& description, const QByteArray& declarations = {}) {
    return "<?xpacket begin=\"\xef\xbb\xbf\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" " +
           declarations + description + "</rdf:Description></rdf:RDF></x:xmpmeta>\n" +
           QByteArray(200, ' ') + "\n<?xpacket end=\"w\"?>";
}

QByteArray utf16WithMark(const QByteArray& utf8) {
    const QString text = QString::fromUtf8(utf8);
    return QByteArray("\xff\xfe") +
           QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

QByteArray segment(int marker, const QByteArray& body) {
    const int length = int(body.size()) + 2;
    return QByteArray("\xff") + char(marker) + char(length >> 8) + char(length & 0xff) + body;
}

// A Photoshop resource block holding IPTC records.
QByteArray iptcResource(const QByteArray& records) {
    QByteArray block = QByteArray("8BIM\x04\x04\0\0", 8);
    const quint32 size = quint32(records.size());
    block += char(size >> 24);
    block += char((size >> 16) & 0xff);
    block += char((size >> 8) & 0xff);
    block += char(size & 0xff);
    block += records;
    if (records.size() % 2)
        block += '\0';
    return block;
}

QByteArray iptcRecord(int dataset, const QByteArray& text) {
    return QByteArray("\x1c\x02") + char(dataset) + char(text.size() >> 8) +
           char(text.size() & 0xff) + text;
}

// Little-endian TIFF data, built directory by directory: an entry's value goes into the entry
// when it fits in four bytes, else after all directories, where `offset` (if given) points
// instead.
class Tiff {
public:
    struct Entry {
        quint16 tag;
        quint16 type;
        quint32 count;
        QByteArray value;
        qint64 offset = -1;
    };
    // Adds a directory; its entries may point to directories by index with pointerTo().
    int directory(std::vector<Entry> entries) {
        directories_.push_back(std::move(entries));
        return int(directories_.size()) - 1;
    }
    static QByteArray pointerTo(int directory) { return QByteArray("@") + char(directory); }
    static QByteArray text(const QByteArray& ascii) { return ascii + '\0'; }

    QByteArray bytes() const {
        std::vector<quint32> at;
        quint32 next = 8;
        for (const auto& entries : directories_) {
            at.push_back(next);
            next += 2 + 12 * quint32(entries.size()) + 4;
        }
        QByteArray out("II*\0", 4);
        append(out, at.front());
        QByteArray data;
        for (const auto& entries : directories_) {
            append16(out, quint16(entries.size()));
            for (const Entry& e : entries) {
                append16(out, e.tag);
                append16(out, e.type);
                append(out, e.count);
                if (e.value.startsWith('@') && e.value.size() == 2) {
                    append(out, at[size_t(e.value[1])]);
                } else if (e.value.size() <= 4) {
                    out += e.value.leftJustified(4, '\0');
                } else {
                    append(out, e.offset >= 0 ? quint32(e.offset) : next + quint32(data.size()));
                    data += e.value;
                }
            }
            append(out, 0);
        }
        return out + data;
    }

private:
    static void append16(QByteArray& out, quint16 v) {
        out += char(v & 0xff);
        out += char(v >> 8);
    }
    static void append(QByteArray& out, quint32 v) {
        append16(out, quint16(v & 0xffff));
        append16(out, quint16(v >> 16));
    }
    std::vector<std::vector<Entry>> directories_;
};

QString describe(const ExifTags& tags) {
    QStringList parts;
    for (const ExifTag& t : tags) {
        const auto* comment = dynamic_cast<const Exiv2::CommentValue*>(t.value.get());
        parts.append(QString::number(t.tag, 16) + (t.image ? u'I' : u'P') + u'=' +
                     QString::fromStdString(comment ? comment->comment() : t.value->toString()));
    }
    return parts.join(u' ');
}

} // namespace

class TestPhotoBlocks : public QObject {
    Q_OBJECT

private slots:
    void xmpPacketsReadAsTheirTextSays_data() {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("expected");
        QTest::addRow("attributes and elements, arrays in order")
            << packet("xmp:Rating=\"4\" xmp:CreatorTool=\"Tool &amp; Co\"><dc:creator><rdf:Seq>"
                      "<rdf:li>B</rdf:li><rdf:li>A</rdf:li></rdf:Seq></dc:creator>"
                      "<dc:subject><rdf:Bag><rdf:li>x</rdf:li><rdf:li/></rdf:Bag></dc:subject>")
            << "xmp.Rating=4 xmp.CreatorTool=Tool & Co dc.creator=B|A dc.subject=x|";
        QTest::addRow("languages: x-default first, then by normalised tag, the last of one tag")
            << packet("><dc:title><rdf:Alt><rdf:li xml:lang=\"fr\">un</rdf:li>"
                      "<rdf:li xml:lang=\"EN-us\">one</rdf:li><rdf:li "
                      "xml:lang=\"x-default\">def</rdf:li>"
                      "<rdf:li xml:lang=\"en-US\">two</rdf:li></rdf:Alt></dc:title>")
            << "dc.title=def|two|un";
        QTest::addRow("an alternative without languages is a list")
            << packet("><dc:title><rdf:Alt><rdf:li>a</rdf:li><rdf:li xml:lang=\"de\">b</rdf:li>"
                      "</rdf:Alt></dc:title>")
            << "dc.title=a|b";
        QTest::addRow("structures, qualified items and unknown namespaces are left out")
            << packet(
                   "><dc:rights rdf:parseType=\"Resource\"><dc:x>s</dc:x></dc:rights>"
                   "<dc:source><rdf:Description><dc:y>t</dc:y></rdf:Description></dc:source>"
                   "<dc:format dc:z=\"u\"/><o:other>v</o:other><dc:coverage rdf:resource=\"r\"/>"
                   "<dc:type><rdf:Bag><rdf:li rdf:parseType=\"Resource\"><rdf:value>w</rdf:value>"
                   "</rdf:li><rdf:li>kept</rdf:li></rdf:Bag></dc:type>",
                   "xmlns:o=\"urn:other\" ")
            << "dc.coverage=r dc.type=kept";
        QTest::addRow("any prefix, the default namespace, references, CDATA and line ends")
            << packet("><t:Make>&#x4B;odak&#33;</t:Make><Model "
                      "xmlns=\"http://ns.adobe.com/tiff/1.0/\">"
                      "<![CDATA[<Z> 9]]>\r\n</Model>",
                      "xmlns:t=\"http://ns.adobe.com/tiff/1.0/\" ")
            << "tiff.Make=Kodak! tiff.Model=<Z> 9\n";
        QTest::addRow("grouped by namespace in order of first use; a second value is dropped")
            << packet("><p:DateCreated>1</p:DateCreated><e:DateTimeOriginal>2</e:DateTimeOriginal>"
                      "<p:Caption>3</p:Caption><p:DateCreated>4</p:DateCreated>",
                      "xmlns:p=\"http://ns.adobe.com/photoshop/1.0/\" "
                      "xmlns:e=\"http://ns.adobe.com/exif/1.0/\" ")
            << "photoshop.DateCreated=1 exif.DateTimeOriginal=2 dc.description=3";
        QTest::addRow("an alias counts only where its property is missing")
            << packet("pdf:Author=\"alias\" pdf:Title=\"alias title\"><dc:title>"
                      "<rdf:Alt><rdf:li xml:lang=\"x-default\">real</rdf:li></rdf:Alt></dc:title>",
                      "xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\" ")
            << "dc.creator=alias dc.title=real";
        QTest::addRow("a NUL inside a text is text")
            << packet(QByteArray("><dc:format>a\0b</dc:format>", 27))
            << QString(QStringLiteral("dc.format=a") + QChar(0) + u'b');
        QTest::addRow("not UTF-8: Latin-1") << packet("xmp:Label=\"Caf\xe9\">") << "xmp.Label=Café";
        QTest::addRow("UTF-16 with its mark")
            << utf16WithMark(packet("xmp:CreatorTool=\"é\">")) << "xmp.CreatorTool=é";
        // Faults of form give nothing at all, and nothing declared is expanded.
        QTest::addRow("a document type")
            << QByteArray("<!DOCTYPE x [<!ENTITY a \"aaaa\">]>") + packet("xmp:Rating=\"&a;\">")
            << "";
        QTest::addRow("an unknown entity") << packet("xmp:Rating=\"&b;\">") << "";
        QTest::addRow("a bad character reference") << packet("xmp:Rating=\"&#xD800;\">") << "";
        QTest::addRow("mismatched tags") << packet("><dc:title>a</dc:creator>") << "";
        QTest::addRow("an unbound prefix") << packet("><q:title>a</q:title>") << "";
        QTest::addRow("cut short") << packet("xmp:Rating=\"4\">").left(300) << "";
        QTest::addRow("too many elements")
            << packet(QByteArray(">") + QByteArray("<dc:a/>").repeated(100'001)) << "";
        QTest::addRow("nested too deep")
            << packet(QByteArray(">") + QByteArray("<dc:a>").repeated(100000)) << "";
        QTest::addRow("nothing but text") << QByteArray("no markup at all") << "";
    }
    void xmpPacketsReadAsTheirTextSays() {
        QFETCH(QByteArray, packet);
        QFETCH(QString, expected);
        QCOMPARE(describe(readXmpPacket(packet)), expected);
    }

    // Every reader's values: control characters dropped (C0, DEL and C1 alike), line breaks and
    // tabs as blanks, blanks trimmed, each distinct value once; other text as it is.
    void valuesLoseControlCharacters() {
        EmbeddedDetails out;
        out.add(column::Title, QStringLiteral(" \x1b[31mRed\u0085\u009b\x7f\r\nsky\t "));
        out.add(column::Title, QStringLiteral("[31mRed  sky"));
        out.add(column::Title, QStringLiteral("\u00a0Caf\u00e9 \u200e\U0001F600"));
        out.add(column::Title, QStringLiteral("\x01\x02 \t"));
        out.add(column::Count, QStringLiteral("nowhere"));
        QCOMPARE(out.joined(column::Title),
                 QStringLiteral("[31mRed  sky; Caf\u00e9 \u200e\U0001F600"));
    }

    // EXIF directories are read as exiv2 reads them, in its order and by its bounds, so that the
    // first of two values that compete for a column stays the same: the Exif directory's tags
    // where IFD0 points to it, a directory met before not read again, a value beyond the data
    // left empty, a directory of more than 256 entries not read at all.
    void exifDirectoriesReadInExiv2sOrder() {
        constexpr quint16 Ascii = 2, Short = 3, Long = 4, Undefined = 7;
        const QByteArray taken = Tiff::text("2021:01:01 10:00:00");
        Tiff tiff;
        tiff.directory({{0x010f, Ascii, 6, Tiff::text("Kodak")},
                        {0x8769, Long, 1, Tiff::pointerTo(1)},
                        {0x9003, Ascii, 20, Tiff::text("2020:01:01 10:00:00")},
                        {0x8825, Long, 1, Tiff::pointerTo(1)},
                        {0x013b, Ascii, 40, QByteArray(40, 'x'), 100000}});
        tiff.directory({{0x9003, Ascii, 20, taken},
                        {0x9286, Undefined, 13, QByteArray("ASCII\0\0\0Pier", 12) + '\0'},
                        {0x8769, Long, 1, Tiff::pointerTo(0)}});
        const QByteArray bytes = tiff.bytes();
        QCOMPARE(describe(readExifTags(bytes)),
                 QStringLiteral("10fI=Kodak 8769I=74 9003P=2021:01:01 10:00:00 9286P=Pier "
                                "8769P=8 9003I=2020:01:01 10:00:00 8825I=74 13bI="));

        // Cut anywhere, nothing out of bounds is read, and a tag keeps its whole value or none.
        const QStringList whole = describe(readExifTags(bytes)).split(u' ');
        for (qsizetype cut = 0; cut < bytes.size(); ++cut) {
            const QString part = describe(readExifTags(bytes.left(cut)));
            for (const QString& tag : part.split(u' ', Qt::SkipEmptyParts))
                QVERIFY2(tag.endsWith(u'=') || whole.contains(tag), qPrintable(part));
        }

        // A pointer that is no 32-bit offset is no directory; a comment not stored as undefined
        // bytes is plain text.
        Tiff shortPointer;
        shortPointer.directory({{0x8769, Short, 1, QByteArray("\x1a\0", 2)}});
        shortPointer.directory({{0x9286, Ascii, 5, Tiff::text("Pier")}});
        QCOMPARE(describe(readExifTags(shortPointer.bytes())), QStringLiteral("8769I=26"));
        Tiff asciiComment;
        asciiComment.directory({{0x8769, Long, 1, Tiff::pointerTo(1)}});
        asciiComment.directory({{0x9286, Ascii, 5, Tiff::text("Pier")}});
        QCOMPARE(describe(readExifTags(asciiComment.bytes())),
                 QStringLiteral("8769I=26 9286P=Pier"));
        QVERIFY(!dynamic_cast<const Exiv2::CommentValue*>(
            readExifTags(asciiComment.bytes()).back().value.get()));

        std::vector<Tiff::Entry> many(257, {0x010f, Ascii, 4, Tiff::text("abc")});
        Tiff tooMany;
        tooMany.directory(many);
        QVERIFY(readExifTags(tooMany.bytes()).empty());
        many.pop_back();
        Tiff most;
        most.directory(many);
        QCOMPARE(readExifTags(most.bytes()).size(), size_t(256));
        QVERIFY(readExifTags(QByteArray("MM\0*\0\0\0\x08", 8)).empty());
        QVERIFY(readExifTags(QByteArray("II+\0\x08\0\0\0\0\0", 10)).empty());
    }

    // IPTC records as exiv2 read them: bytes before a marker skipped, other records left out, a
    // title or caption that may not repeat keeps its first value while keywords and authors
    // repeat, an extended length read, and a length that runs past the data loses them all.
    void iptcRecordsReadAsExiv2ReadThem() {
        const auto describe = [](const IptcTexts& texts) {
            QStringList parts;
            for (const IptcText& t : texts)
                parts.append(QString::number(t.dataset) + u'=' + QString::fromLatin1(t.bytes));
            return parts.join(u' ');
        };
        QByteArray extended("\x1c\x02\x78\x80\x02\x00\x05Quay!", 12);
        const QByteArray records = "junk" + iptcRecord(5, "Pier") + iptcRecord(25, "sea") +
                                   QByteArray("\x1c\x01\x05\0\x04"
                                              "Envl",
                                              9) +
                                   iptcRecord(5, "Second") + iptcRecord(25, "boat") +
                                   iptcRecord(80, "Mira") + extended + iptcRecord(120, "Later");
        QCOMPARE(describe(readIptcRecords(records)),
                 QStringLiteral("5=Pier 25=sea 25=boat 80=Mira 120=Quay!"));
        QCOMPARE(describe(readIptcRecords(records.chopped(1))), QString());

        // A crafted block of 300,000 keywords keeps what a column can show, and what follows.
        QByteArray many;
        for (int i = 0; i < 300'000; ++i)
            many += iptcRecord(25, "k");
        const IptcTexts bounded = readIptcRecords(many + iptcRecord(5, "Last"));
        QVERIFY(bounded.size() > 20'000 && bounded.size() < 40'000);
        QCOMPARE(describe({bounded.back()}), QStringLiteral("5=Last"));
        QCOMPARE(describe(readIptcRecords(QByteArray("\x1c\x02\x05\x80\x05", 5) + "123456")),
                 QString());
    }

    // A JPEG written segment by segment, then cut at every length: each cut reads without fault
    // and gives no detail that the whole file lacks; the whole file gives every detail, with the
    // IPTC records of two Photoshop segments joined and the comment's trailing NULs gone.
    void jpegSegmentsReadWholeAndCut() {
        const QByteArray records = iptcRecord(5, "Harbour") + iptcRecord(80, "Mira Holm");
        const QByteArray photoshop = QByteArray("Photoshop 3.0\0", 14);
        const QByteArray resource = iptcResource(records);
        QByteArray jpeg("\xff\xd8");
        jpeg += segment(0xe0, QByteArray("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
        jpeg += segment(0xfe, QByteArray("Pier at night\0\0", 15));
        jpeg += segment(0xe1, QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) +
                                  packet("xmp:Rating=\"3\" xmp:CreatorTool=\"Night Tool\">"));
        jpeg += segment(0xed, photoshop + resource.left(10));
        jpeg += "\xff\xff"; // fill bytes before a marker
        jpeg += segment(0xed, photoshop + resource.mid(10));
        jpeg += segment(0xc0, QByteArray("\x08\x01\xe0\x02\x80\x03", 6));
        jpeg += segment(0xda, QByteArray("\x01\x01\0\0\x3f\0", 6));
        jpeg += QByteArray(64, '\x55') + "\xff\xd9";

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("photo.jpg"));
        const auto read = [&path](const QByteArray& bytes, EmbeddedDetails& out) {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file.write(bytes) != bytes.size())
                return false;
            file.close();
            FileToRead request;
            request.nativePath = QFile::encodeName(path);
            request.size = bytes.size();
            return imageReader().read(request, out);
        };
        const QList<int> columns{column::Title,  column::Authors,    column::Comments,
                                 column::Rating, column::Dimensions, column::ProgramName};
        EmbeddedDetails whole;
        QVERIFY(read(jpeg, whole));
        QCOMPARE(whole.joined(column::Title), QStringLiteral("Harbour"));
        QCOMPARE(whole.joined(column::Authors), QStringLiteral("Mira Holm"));
        QCOMPARE(whole.joined(column::Comments), QStringLiteral("Pier at night"));
        QCOMPARE(whole.joined(column::Rating), QStringLiteral("3 Stars"));
        QCOMPARE(whole.joined(column::Dimensions), QStringLiteral("640 x 480"));
        QCOMPARE(whole.joined(column::ProgramName), QStringLiteral("Night Tool"));
        for (qsizetype cut = 0; cut < jpeg.size(); ++cut) {
            EmbeddedDetails part;
            read(jpeg.left(cut), part);
            for (const int c : columns) {
                const QString value = part.joined(c);
                QVERIFY2(value.isEmpty() || value == whole.joined(c),
                         qPrintable(QStringLiteral("cut at %1: %2").arg(cut).arg(value)));
            }
        }
    }
};

QUILLMERE_TEST_MAIN(TestPhotoBlocks)
#include "test_photo_blocks.moc"
