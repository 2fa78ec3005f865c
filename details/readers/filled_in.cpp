#include "app/fs/regular_file.h"
#include "details/column_ids.h"
#include "details/readers/reader.h"

#include <QMimeType>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace quillmere::details::readers {
namespace {

// A type that one library reads well but not whole. The first reader's values stand; the second
// reader then fills those of its columns that the first left empty. A file the first does not take
// at all is the second's alone.
class FilledIn final : public Reader {
public:
    using Worth = bool (*)(const app::fs::RegularFile& file);

    FilledIn(const Reader& first, const Reader& second, std::initializer_list<int> columns,
             Worth worth = nullptr)
        : first_(first), second_(second), columns_(columns), worth_(worth) {}

    void prepare() const override {
        first_.prepare();
        second_.prepare();
    }

    bool read(const FileToRead& file, EmbeddedDetails& out) const override {
        if (!first_.read(file, out))
            return second_.read(file, out);
        bool lacking = false;
        for (const int column : columns_)
            lacking = lacking || out.joined(column).isEmpty();
        if (!lacking)
            return true;
        if (worth_) {
            const app::fs::RegularFile opened = openToRead(file);
            if (!opened.isOpen() || !worth_(opened))
                return true;
        }
        EmbeddedDetails more;
        if (!second_.read(file, more))
            return true;
        for (const int column : columns_) {
            if (out.joined(column).isEmpty())
                out.add(column, more.joined(column));
        }
        return true;
    }

private:
    const Reader& first_;
    const Reader& second_;
    std::vector<int> columns_;
    Worth worth_;
};

// An AVIF file that holds an image sequence lists the brand "avis" in its file type box; only such
// a file has a length.
bool isImageSequence(const app::fs::RegularFile& file) {
    const QByteArray head = file.read(0, 64);
    if (head.size() < 16 || std::memcmp(head.constData() + 4, "ftyp", 4) != 0)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(head.constData());
    const qsizetype size = qsizetype((quint32(p[0]) << 24) | (quint32(p[1]) << 16) |
                                     (quint32(p[2]) << 8) | quint32(p[3]));
    const qsizetype end = std::min(size, head.size());
    for (qsizetype at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) {
        if (std::memcmp(head.constData() + at, "avis", 4) == 0)
            return true;
    }
    return false;
}

} // namespace

const Reader& aacReader() {
    static const FilledIn reader(audioReader(), videoReader(), {column::Length, column::BitRate});
    return reader;
}

const Reader& mp4AudioReader() {
    static const FilledIn reader(audioReader(), videoReader(), {column::Length, column::BitRate});
    return reader;
}

const Reader& avifReader() {
    static const FilledIn reader(heifReader(), videoReader(), {column::Length}, &isImageSequence);
    return reader;
}

} // namespace quillmere::details::readers
