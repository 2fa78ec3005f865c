#include "app/fs/regular_file.h"
#include "details/column_ids.h"
#include "details/readers/exiv2_support.h"
#include "details/readers/reader.h"
#include "details/readers/scratch_bytes.h"

#include <poppler-document.h>
#include <poppler-global.h>

#include <QByteArrayView>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include <sys/mman.h>

namespace quillmere::details::readers {
namespace {

// A PDF's header may be preceded by junk; poppler itself looks this far for it.
constexpr qint64 HeaderWindow = 1024;
constexpr qint64 WholeFileBytes = 256 * 1024;

void swallowPopplerMessage(const std::string&, void*) {}

// A one-page document made here, so that nothing on disk is needed to keep poppler warm.
std::string keeperPdf() {
    std::string pdf = "%PDF-1.4\n";
    std::string xref = "xref\n0 4\n0000000000 65535 f \n";
    const char* const objects[] = {
        "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n",
        "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n",
        "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >>\nendobj\n"};
    for (const char* object : objects) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
        xref += entry;
        pdf += object;
    }
    const std::size_t xrefOffset = pdf.size();
    pdf += xref;
    pdf += "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + std::to_string(xrefOffset) +
           "\n%%EOF\n";
    return pdf;
}

// Poppler tears down and rebuilds its global parameters whenever its last document closes,
// which costs several times the read itself. One small document stays open for the whole run.
// Poppler's construction of those parameters is guarded by its own lock, and each loaded
// document has its own parser state, so readers on several threads need no lock of ours.
void preparePoppler() {
    static const bool ready = [] {
        poppler::set_debug_error_function(&swallowPopplerMessage, nullptr);
        static const std::string bytes = keeperPdf();
        static const poppler::document* const keeper =
            poppler::document::load_from_raw_data(bytes.data(), int(bytes.size()));
        return keeper != nullptr;
    }();
    (void)ready;
}

QString fromUstring(const poppler::ustring& text) {
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text.data()),
                              qsizetype(text.size()));
}

// What poppler-cpp gives for a string that it did not decode as UTF-16: one character per byte.
// Empty when some character lies beyond a byte, as only a decoded string's do.
QByteArray bytesOf(const poppler::ustring& text) {
    QByteArray bytes(qsizetype(text.size()), Qt::Uninitialized);
    char* out = bytes.data();
    for (const auto unit : text) {
        if (unit > 0xff)
            return {};
        *out++ = char(unit);
    }
    return bytes;
}

// PDFDocEncoding where it differs from Latin-1: 0x18 to 0x1f and 0x80 to 0xa0; 0 where it has no
// character (and at 0x7f and 0xad).
constexpr char16_t LowMarks[8] = {0x02d8, 0x02c7, 0x02c6, 0x02d9, 0x02dd, 0x02db, 0x02da, 0x02dc};
constexpr char16_t HighMarks[33] = {
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203a, 0x2212,
    0x2030, 0x201e, 0x201c, 0x201d, 0x2018, 0x2019, 0x201a, 0x2122, 0xfb01, 0xfb02, 0x0141,
    0x0152, 0x0160, 0x0178, 0x017d, 0x0131, 0x0142, 0x0153, 0x0161, 0x017e, 0x0000, 0x20ac};

// The character of one byte in PDFDocEncoding, or 0 where it has none (NUL among them).
char16_t pdfDocCharacter(quint8 byte) {
    if (byte >= 0x18 && byte <= 0x1f)
        return LowMarks[byte - 0x18];
    if (byte >= 0x80 && byte <= 0xa0)
        return HighMarks[byte - 0x80];
    if (byte == 0x7f || byte == 0xad)
        return 0;
    return byte;
}

// A text string of the document: UTF-16BE only when it began with FE FF (poppler has decoded it
// then), UTF-8 only when it begins with EF BB BF, and PDFDocEncoding throughout otherwise, whatever
// bytes follow its start. Every string of every document passes here: it is decoded straight into
// its result, without a copy of its bytes.
QString textString(const poppler::ustring& text) {
    const bool decoded =
        std::any_of(text.begin(), text.end(), [](auto unit) { return unit > 0xff; });
    if (text.empty() || decoded)
        return fromUstring(text);
    if (text.size() >= 3 && text[0] == 0xef && text[1] == 0xbb && text[2] == 0xbf)
        return QString::fromUtf8(bytesOf(text).mid(3));
    QString result(qsizetype(text.size()), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(result.data());
    qsizetype kept = 0;
    for (const auto unit : text) {
        const char16_t character = pdfDocCharacter(quint8(unit));
        if (character != 0)
            out[kept++] = character;
    }
    result.truncate(kept);
    return result;
}

// A keyword list split at every ';' and ',', empty parts kept. By hand: a regular expression costs
// more, and finds nothing at all in text that holds a lone surrogate.
QStringList splitKeywords(const QString& text) {
    QStringList parts;
    qsizetype start = 0;
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (text[at] == u';' || text[at] == u',') {
            parts.append(text.mid(start, at - start));
            start = at + 1;
        }
    }
    parts.append(text.mid(start));
    return parts;
}

// The document's XMP packet is read only for a column that its information dictionary leaves
// empty, and only up to this size.
constexpr qsizetype XmpLimit = 1024 * 1024;

struct InfoTexts {
    QString title, author, subject, keywords, creator, producer;
};

// Fills what the information dictionary lacks from the XMP packet: the title, the authors, the
// subject (XMP's description), the keywords (pdf:Keywords, else XMP's subjects), and the creating
// and producing programs.
void fillFromXmp(const poppler::document& document, InfoTexts& info, QStringList& authors,
                 QStringList& tags) {
    const bool noProgram = info.creator.isEmpty() && info.producer.isEmpty();
    if (!info.title.isEmpty() && !authors.isEmpty() && !info.subject.isEmpty() && !tags.isEmpty() &&
        !noProgram)
        return;
    const poppler::ustring metadata = document.metadata();
    if (metadata.empty() || qsizetype(metadata.size()) > XmpLimit)
        return;
    QByteArray packet = bytesOf(metadata);
    if (packet.isEmpty())
        packet = fromUstring(metadata).toUtf8();
    // Parsing costs far more than looking: only a packet that names what is lacking is parsed.
    const bool worthParsing =
        (info.title.isEmpty() && packet.contains("title")) ||
        (authors.isEmpty() && packet.contains("creator")) ||
        (info.subject.isEmpty() && packet.contains("description")) ||
        (tags.isEmpty() && (packet.contains("Keywords") || packet.contains("subject"))) ||
        (noProgram && (packet.contains("CreatorTool") || packet.contains("Producer")));
    if (!worthParsing)
        return;
    const XmpProperties xmp = readXmpPacket(packet);
    if (xmp.empty())
        return;
    EmbeddedDetails found;
    addPhotoDetails({}, {}, xmp, QString(), QString(), found);
    const auto text = [&xmp](const char* key) {
        const QStringList* texts = findXmp(xmp, key);
        return texts ? texts->join(QStringLiteral(", ")) : QString();
    };
    if (info.title.isEmpty())
        info.title = found.joined(column::Title);
    if (authors.isEmpty())
        authors = found.joined(column::Authors).split(QStringLiteral("; "), Qt::SkipEmptyParts);
    if (info.subject.isEmpty())
        info.subject = found.joined(column::FileDescription);
    if (tags.isEmpty()) {
        const QString keywords = text("pdf.Keywords");
        tags = !keywords.isEmpty() ? QStringList{keywords}
                                   : found.joined(column::Tags).split(QStringLiteral("; "));
    }
    if (info.creator.isEmpty() && info.producer.isEmpty()) {
        info.creator = found.joined(column::ProgramName);
        info.producer = text("pdf.Producer");
    }
}

// Otherwise poppler takes only a name: this one reaches the very file just checked, even if the
// entry has since been replaced by a FIFO.
std::string reopenPath(const app::fs::RegularFile& file) {
    return "/proc/self/fd/" + std::to_string(file.fd());
}

// A large document seen through memory, where no name may be opened: poppler reads it in place
// and only the pages it touches are read from disk. A file that shrinks meanwhile raises SIGBUS,
// which inside the helper costs that one file.
class MappedFile {
public:
    MappedFile(int fd, qint64 size) {
        if (fd < 0 || size <= 0 || size > std::numeric_limits<int>::max())
            return;
        void* at = ::mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (at == MAP_FAILED)
            return;
        bytes_ = static_cast<const char*>(at);
        size_ = int(size);
    }
    ~MappedFile() {
        if (bytes_)
            ::munmap(const_cast<char*>(bytes_), size_t(size_));
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool isMapped() const { return bytes_ != nullptr; }
    const char* bytes() const { return bytes_; }
    int size() const { return size_; }

private:
    const char* bytes_ = nullptr;
    int size_ = 0;
};

class PdfReader final : public Reader {
public:
    void prepare() const override {
        preparePoppler();
        prepareExiv2();
    }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        const app::fs::RegularFile probe = openToRead(file);
        if (!probe.isOpen())
            return false;
        // A small document is read whole at once: poppler reads a file 256 bytes per call.
        ScratchBytes scratch;
        QByteArray& bytes = scratch.bytes();
        const bool whole = probe.size() <= WholeFileBytes;
        probe.readInto(bytes, 0, whole ? WholeFileBytes : HeaderWindow);
        if (!QByteArrayView(bytes)
                 .first(std::min<qsizetype>(bytes.size(), HeaderWindow))
                 .contains("%PDF-"))
            return false;
        preparePoppler();
        try {
            const bool inMemory = whole && bytes.size() == probe.size();
            const MappedFile mapped(inMemory || !file.confined ? -1 : probe.fd(), probe.size());
            const std::unique_ptr<poppler::document> document(
                inMemory
                    ? poppler::document::load_from_raw_data(bytes.constData(), int(bytes.size()))
                : mapped.isMapped()
                    ? poppler::document::load_from_raw_data(mapped.bytes(), mapped.size())
                : file.confined ? nullptr
                                : poppler::document::load_from_file(reopenPath(probe)));
            if (!document)
                return true;
            // A document locked by a user password offers nothing but unlocking: poppler has no
            // catalogue for it, and asking for its pages or information crashes. A file
            // encrypted under an empty user password is opened by poppler itself; the explicit
            // attempt covers a build that does not.
            if (document->is_locked() && document->unlock(std::string(), std::string()))
                return true;
            InfoTexts info{textString(document->get_title()).trimmed(),
                           textString(document->get_author()).trimmed(),
                           textString(document->get_subject()).trimmed(),
                           textString(document->get_keywords()).trimmed(),
                           textString(document->get_creator()).trimmed(),
                           textString(document->get_producer()).trimmed()};
            QStringList authors;
            if (!info.author.isEmpty())
                authors.append(info.author);
            QStringList tags;
            for (const QString& keyword : splitKeywords(info.keywords)) {
                if (!keyword.trimmed().isEmpty())
                    tags.append(keyword);
            }
            fillFromXmp(*document, info, authors, tags);
            out.add(column::Title, info.title);
            for (const QString& author : authors)
                out.add(column::Authors, author);
            out.add(column::Subject, info.subject);
            for (const QString& tag : tags) {
                for (const QString& keyword : splitKeywords(tag))
                    out.add(column::Tags, keyword);
            }
            out.add(column::ProgramName, info.creator);
            out.add(column::ProgramName, info.producer);
            const int pages = document->pages();
            if (pages > 0)
                out.add(column::Pages, QString::number(pages));
        } catch (...) {
            // Whatever was added before the fault stays.
        }
        return true;
    }
};

} // namespace

const Reader& pdfReader() {
    static const PdfReader reader;
    return reader;
}

} // namespace quillmere::details::readers
