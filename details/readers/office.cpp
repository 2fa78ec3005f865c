#include "app/fs/regular_file.h"
#include "details/column_ids.h"
#include "details/readers/reader.h"
#include "details/readers/scratch_bytes.h"

#include <zip.h>

#include <QRegularExpression>
#include <QXmlStreamReader>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace quillmere::details::readers {
namespace {

// No metadata part of a real document comes near this; a larger one is a bomb or junk.
constexpr qint64 EntryCap = 1 << 20;

const QString DcNs = QStringLiteral("http://purl.org/dc/elements/1.1/");
const QString CoreNs =
    QStringLiteral("http://schemas.openxmlformats.org/package/2006/metadata/core-properties");
const QString AppNs =
    QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/extended-properties");
// The same properties in a document saved in the ISO strict form.
const QString StrictAppNs =
    QStringLiteral("http://purl.oclc.org/ooxml/officeDocument/extendedProperties");
const QString MetaNs = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:meta:1.0");
const QString ZipType = QStringLiteral("application/zip");

class Archive {
public:
    explicit Archive(const FileToRead& request) {
        const app::fs::RegularFile file = openToRead(request);
        if (!file.isOpen() || file.size() < 22) // smaller than an end-of-directory record
            return;
        if (file.size() <= WholeFileBytes) {
            openInMemory(file);
            return;
        }
        const int fd = ::fcntl(file.fd(), F_DUPFD_CLOEXEC, app::fs::LowestCopiedFd);
        if (fd < 0)
            return;
        FILE* stream = ::fdopen(fd, "rb");
        if (!stream) {
            ::close(fd);
            return;
        }
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_filep_create(stream, 0, -1, &error);
        if (!source) {
            std::fclose(stream);
            zip_error_fini(&error);
            return;
        }
        zip_ = zip_open_from_source(source, ZIP_RDONLY, &error);
        if (!zip_)
            zip_source_free(source); // also closes the stream
        zip_error_fini(&error);
    }
    ~Archive() {
        if (zip_)
            zip_discard(zip_);
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    bool isOpen() const { return zip_ != nullptr; }

private:
    // A small package is read at once; libzip reads a file through stdio, seeking before
    // nearly every read.
    static constexpr qint64 WholeFileBytes = 1024 * 1024;

    void openInMemory(const app::fs::RegularFile& file) {
        QByteArray& bytes = scratch_.bytes();
        if (file.readInto(bytes, 0, file.size()) != file.size())
            return;
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source =
            zip_source_buffer_create(bytes.constData(), zip_uint64_t(bytes.size()), 0, &error);
        if (source) {
            zip_ = zip_open_from_source(source, ZIP_RDONLY, &error);
            if (!zip_)
                zip_source_free(source);
        }
        zip_error_fini(&error);
    }

public:
    bool has(const char* name) const { return zip_name_locate(zip_, name, ZIP_FL_NOCASE) >= 0; }

    // The entry's bytes, or nothing when it is missing, encrypted, or larger than `cap` (as
    // declared or as it turns out while inflating). A read error keeps what came before it.
    QByteArray entry(const char* name, qint64 cap = EntryCap) const {
        const zip_int64_t index = zip_name_locate(zip_, name, ZIP_FL_NOCASE);
        if (index < 0)
            return {};
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip_, zip_uint64_t(index), 0, &st) != 0)
            return {};
        if ((st.valid & ZIP_STAT_SIZE) && st.size > zip_uint64_t(cap))
            return {};
        zip_file_t* file = zip_fopen_index(zip_, zip_uint64_t(index), 0);
        if (!file)
            return {};
        // The declared size may lie: the buffer grows as data arrives, never past the cap.
        const qint64 expected = (st.valid & ZIP_STAT_SIZE) ? qint64(st.size) : 64 * 1024;
        QByteArray bytes(qMin(expected, cap) + 1, Qt::Uninitialized);
        qint64 got = 0;
        while (got <= cap) {
            if (got == bytes.size())
                bytes.resize(qMin(bytes.size() * 2, cap + 1));
            const zip_int64_t n =
                zip_fread(file, bytes.data() + got, zip_uint64_t(bytes.size() - got));
            if (n <= 0)
                break;
            got += n;
        }
        zip_fclose(file);
        if (got > cap)
            return {};
        bytes.truncate(got);
        return bytes;
    }

private:
    ScratchBytes scratch_; // the package's bytes when read at once; outlives zip_
    zip_t* zip_ = nullptr;
};

// Calls `take` for each element at `depth` (the root is 1); `take` returns true when it has
// consumed the element through its end. Stops quietly at the first fault in the XML.
template <typename Take> void forEachElementAt(const QByteArray& bytes, int depth, Take take) {
    // Qt rejects a whole document over one badly encoded byte; decoding it here first turns
    // such a byte into a replacement character, so a damaged part still gives its other values.
    const bool utf16 = bytes.startsWith("\xff\xfe") || bytes.startsWith("\xfe\xff");
    QXmlStreamReader xml;
    if (utf16)
        xml.addData(bytes);
    else
        xml.addData(QString::fromUtf8(bytes));
    int level = 0;
    while (!xml.atEnd() && !xml.hasError()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++level;
            if (level == depth && take(xml))
                --level;
        } else if (token == QXmlStreamReader::EndElement) {
            --level;
        }
    }
}

// The element's text, or nothing when the XML breaks inside it.
QString textOf(QXmlStreamReader& xml) {
    const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
    return xml.hasError() ? QString() : text;
}

void addKeywords(EmbeddedDetails& out, const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[;,]"));
    for (const QString& keyword : text.split(separators))
        out.add(column::Tags, keyword);
}

void addPageCount(EmbeddedDetails& out, QStringView text) {
    bool ok = false;
    const qint64 pages = text.trimmed().toLongLong(&ok);
    if (ok && pages > 0)
        out.add(column::Pages, QString::number(pages));
}

void readCoreProperties(const QByteArray& bytes, EmbeddedDetails& out) {
    forEachElementAt(bytes, 2, [&](QXmlStreamReader& xml) {
        const QStringView ns = xml.namespaceUri();
        const QStringView name = xml.name();
        int column = -1;
        if (ns == DcNs) {
            if (name == u"title")
                column = column::Title;
            else if (name == u"subject")
                column = column::Subject;
            else if (name == u"creator")
                column = column::Authors;
            else if (name == u"description")
                column = column::Comments;
        } else if (ns == CoreNs) {
            if (name == u"keywords")
                column = column::Tags;
            else if (name == u"category")
                column = column::Categories;
        }
        if (column < 0)
            return false;
        const QString text = textOf(xml);
        if (column == 18)
            addKeywords(out, text);
        else
            out.add(column, text);
        return true;
    });
}

void readAppProperties(const QByteArray& bytes, EmbeddedDetails& out) {
    forEachElementAt(bytes, 2, [&](QXmlStreamReader& xml) {
        if (xml.namespaceUri() != AppNs && xml.namespaceUri() != StrictAppNs)
            return false;
        const QStringView name = xml.name();
        if (name == u"Company")
            out.add(column::Company, textOf(xml));
        else if (name == u"Application")
            out.add(column::ProgramName, textOf(xml));
        else if (name == u"Pages" || name == u"Slides")
            addPageCount(out, textOf(xml));
        else
            return false;
        return true;
    });
}

void readOpenDocumentMeta(const QByteArray& bytes, EmbeddedDetails& out) {
    // The document's author is its first author; the last editor (dc:creator) stands in only
    // when the file names none.
    QStringList initialCreators;
    QStringList creators;
    forEachElementAt(bytes, 3, [&](QXmlStreamReader& xml) {
        const QStringView ns = xml.namespaceUri();
        const QStringView name = xml.name();
        if (ns == DcNs) {
            if (name == u"title")
                out.add(column::Title, textOf(xml));
            else if (name == u"subject")
                out.add(column::Subject, textOf(xml));
            else if (name == u"description")
                out.add(column::Comments, textOf(xml));
            else if (name == u"creator")
                creators.append(textOf(xml));
            else
                return false;
            return true;
        }
        if (ns != MetaNs)
            return false;
        if (name == u"initial-creator")
            initialCreators.append(textOf(xml));
        else if (name == u"keyword")
            addKeywords(out, textOf(xml));
        else if (name == u"generator")
            out.add(column::ProgramName, textOf(xml));
        else if (name == u"document-statistic")
            addPageCount(out, xml.attributes().value(MetaNs, QStringLiteral("page-count")));
        else
            return false;
        return name != u"document-statistic"; // only an attribute read: its end is ahead
    });
    for (const QString& author : initialCreators)
        out.add(column::Authors, author);
    if (out.joined(column::Authors).isEmpty()) {
        for (const QString& author : creators)
            out.add(column::Authors, author);
    }
}

bool isOpenDocument(const Archive& archive) {
    const QByteArray mimetype = archive.entry("mimetype", 256);
    if (mimetype.startsWith("application/vnd.oasis.opendocument."))
        return true;
    return mimetype.isEmpty() && archive.has("META-INF/manifest.xml") && archive.has("meta.xml");
}

class OfficeReader final : public Reader {
public:
    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        try {
            const Archive archive(file);
            if (!archive.isOpen())
                return false;
            if (archive.has("[Content_Types].xml")) {
                readCoreProperties(archive.entry("docProps/core.xml"), out);
                readAppProperties(archive.entry("docProps/app.xml"), out);
                return true;
            }
            if (isOpenDocument(archive)) {
                readOpenDocumentMeta(archive.entry("meta.xml"), out);
                return true;
            }
            // An archive that is named one holds nothing to read; a "document" that is only an
            // archive is not of this reader's kind.
            return file.mimeType.name() == ZipType;
        } catch (...) {
            return true; // out of memory while inflating or parsing: keep what was read
        }
    }
};

} // namespace

const Reader& officeReader() {
    static const OfficeReader reader;
    return reader;
}

} // namespace quillmere::details::readers
