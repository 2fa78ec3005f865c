#include "app/fs/regular_file.h"
#include "details/readers/reader.h"
#include "details/readers/summary_code_page.h"

#include "details/column_ids.h"

#include <gsf/gsf-doc-meta-data.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-meta-names.h>
#include <gsf/gsf-msole-utils.h>
#include <gsf/gsf-utils.h>

#include <QRegularExpression>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace quillmere::details::readers {
namespace {

// Legacy Office files (.doc, .xls, .ppt and their templates) are OLE2 compound files; their
// properties live in the SummaryInformation and DocumentSummaryInformation streams, which
// libgsf reads.

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void prepareGsf() {
    static const bool ready = [] {
        gsf_init();
        // A damaged file makes libgsf warn on stderr; a reader writes nothing there. Some of its
        // warnings come without a domain: those of other libraries without one go quiet too.
        for (const char* domain : {"libgsf", "libgsf:msole", static_cast<const char*>(nullptr)})
            g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_MASK & ~G_LOG_LEVEL_ERROR),
                              &dropMessage, nullptr);
        // The text of a property stream is converted from its code page through iconv, whose
        // modules are loaded on first use: load the common ones now and keep them, so that a
        // reader with no access to the file system (the sandboxed helper) can still convert.
        (void)gsf_msole_iconv_win_codepage();
        static auto* const kept = new std::vector<GIConv>; // for the whole process
        for (int codepage : {1252, 1250, 1251, 1253, 1254, 1255, 1256,  1257, 1258, 874,
                             932,  936,  949,  950,  437,  850,  10000, 1200, 1201, 65001}) {
            const GIConv converter = gsf_msole_iconv_open_for_import(codepage);
            // (GIConv)-1 is how the iconv interface says it failed.
            if (converter != reinterpret_cast<GIConv>(-1)) // NOLINT(performance-no-int-to-ptr)
                kept->push_back(converter);
        }
        return true;
    }();
    (void)ready;
}

template <typename T> struct Unref {
    void operator()(T* object) const {
        if (object)
            g_object_unref(object);
    }
};
template <typename T> using Owned = std::unique_ptr<T, Unref<T>>;

// The input reads through its own copy of the descriptor, which it closes when released.
Owned<GsfInput> inputOver(const app::fs::RegularFile& file) {
    const int fd = ::fcntl(file.fd(), F_DUPFD_CLOEXEC, app::fs::LowestCopiedFd);
    if (fd < 0)
        return nullptr;
    FILE* stream = ::fdopen(fd, "rb");
    if (!stream) {
        ::close(fd);
        return nullptr;
    }
    GsfInput* input = gsf_input_stdio_new_FILE("document", stream, FALSE);
    if (!input)
        std::fclose(stream);
    return Owned<GsfInput>(input);
}

constexpr const char* SummaryStream = "\005SummaryInformation";
constexpr const char* DocumentSummaryStream = "\005DocumentSummaryInformation";

// Reads one property stream into `meta`; a missing or damaged stream adds nothing.
void readStream(GsfInfile& ole, const char* name, GsfDocMetaData& meta) {
    const Owned<GsfInput> stream(gsf_infile_child_by_name(&ole, name));
    if (!stream)
        return;
    if (GError* error = gsf_doc_meta_data_read_from_msole(&meta, stream.get()))
        g_error_free(error);
}

// The code page that `meta` names as a number, or 0.
int codePageOf(const GsfDocMetaData& meta) {
    GsfDocProp* prop = gsf_doc_meta_data_lookup(&meta, GSF_META_NAME_CODEPAGE);
    const GValue* value = prop ? gsf_doc_prop_get_val(prop) : nullptr;
    return value && G_VALUE_HOLDS_INT(value) ? g_value_get_int(value) : 0;
}

// A property set stream larger than this holds no summary worth rewriting.
constexpr gsf_off_t SummaryLimit = 4 * 1024 * 1024;

// Reads the summary again with the code page of the document summary named in it, when the
// summary names none of its own: libgsf would convert its strings from Windows-1252.
void readSummaryIn(GsfInfile& ole, int codePage, GsfDocMetaData& meta) {
    const Owned<GsfInput> stream(gsf_infile_child_by_name(&ole, SummaryStream));
    const gsf_off_t size = stream ? gsf_input_size(stream.get()) : 0;
    if (size <= 0 || size > SummaryLimit)
        return;
    QByteArray set(qsizetype(size), Qt::Uninitialized);
    if (!gsf_input_read(stream.get(), size_t(size), reinterpret_cast<guint8*>(set.data())))
        return;
    const QByteArray named = withCodePageNamed(set, codePage);
    if (named.isEmpty())
        return;
    const Owned<GsfInput> input(gsf_input_memory_new(
        reinterpret_cast<const guint8*>(named.constData()), named.size(), FALSE));
    if (!input)
        return;
    if (GError* error = gsf_doc_meta_data_read_from_msole(&meta, input.get()))
        g_error_free(error);
}

QString text(const GsfDocMetaData& meta, const char* name) {
    GsfDocProp* prop = gsf_doc_meta_data_lookup(&meta, name);
    const GValue* value = prop ? gsf_doc_prop_get_val(prop) : nullptr;
    if (!value)
        return {};
    if (G_VALUE_HOLDS_STRING(value))
        return QString::fromUtf8(g_value_get_string(value));
    if (G_VALUE_HOLDS_INT(value))
        return QString::number(g_value_get_int(value));
    if (G_VALUE_HOLDS_UINT(value))
        return QString::number(g_value_get_uint(value));
    return {};
}

void addCount(EmbeddedDetails& out, const QString& text) {
    bool ok = false;
    const qint64 count = text.toLongLong(&ok);
    if (ok && count > 0)
        out.add(column::Pages, QString::number(count));
}

void addDetails(const GsfDocMetaData& meta, EmbeddedDetails& out) {
    out.add(column::Title, text(meta, GSF_META_NAME_TITLE));
    out.add(column::Subject, text(meta, GSF_META_NAME_SUBJECT));
    out.add(column::Authors, text(meta, GSF_META_NAME_CREATOR));
    static const QRegularExpression separators(QStringLiteral("[;,]"));
    for (const QString& keyword : text(meta, GSF_META_NAME_KEYWORDS).split(separators))
        out.add(column::Tags, keyword);
    out.add(column::Categories, text(meta, GSF_META_NAME_CATEGORY));
    out.add(column::Comments, text(meta, GSF_META_NAME_DESCRIPTION));
    out.add(column::Company, text(meta, GSF_META_NAME_COMPANY));
    out.add(column::ProgramName, text(meta, GSF_META_NAME_GENERATOR));
    // Word counts pages, PowerPoint slides; a workbook has neither.
    addCount(out, text(meta, GSF_META_NAME_PAGE_COUNT));
    addCount(out, text(meta, GSF_META_NAME_SLIDE_COUNT));
}

class LegacyOfficeReader final : public Reader {
public:
    void prepare() const override { prepareGsf(); }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        prepareGsf();
        const app::fs::RegularFile opened = openToRead(file);
        if (!opened.isOpen())
            return false;
        const Owned<GsfInput> input = inputOver(opened);
        if (!input)
            return false;
        GError* error = nullptr;
        const Owned<GsfInfile> ole(gsf_infile_msole_new(input.get(), &error));
        if (error)
            g_error_free(error);
        if (!ole)
            return false; // not a compound file after all
        const Owned<GsfDocMetaData> meta(gsf_doc_meta_data_new());
        readStream(*ole, SummaryStream, *meta);
        const bool summaryNamedCodePage = codePageOf(*meta) != 0;
        readStream(*ole, DocumentSummaryStream, *meta);
        // Some writers name the code page in the document summary only.
        if (const int codePage = codePageOf(*meta); !summaryNamedCodePage && codePage != 0)
            readSummaryIn(*ole, codePage, *meta);
        addDetails(*meta, out);
        return true;
    }
};

} // namespace

const Reader& legacyOfficeReader() {
    static const LegacyOfficeReader reader;
    return reader;
}

} // namespace quillmere::details::readers
