#include "details/readers/reader.h"

#include <QHash>

#include <array>
#include <new>

namespace quillmere::details::readers {

namespace {

// In the order they are asked; a reader's place is also its number between engine and helper.
// The readers that complete a type come before those they complete.
const std::array<const Reader*, 12>& allReaders() {
    static const std::array<const Reader*, 12> all = {
        &aacReader(),         &mp4AudioReader(), &avifReader(),   &heifReader(),
        &imageHeaderReader(), &imageReader(),    &jpegXlReader(), &audioReader(),
        &videoReader(),       &pdfReader(),      &officeReader(), &legacyOfficeReader()};
    return all;
}

const Reader* firstThatHandles(const QMimeType& type) {
    for (const Reader* reader : allReaders()) {
        if (reader->handles(type))
            return reader;
    }
    return nullptr;
}

} // namespace

const Reader* readerFor(const QMimeType& type) {
    // handles() asks the MIME database about parent types, and every such question takes the
    // database's process-wide lock: each thread keeps its own answers by type name.
    thread_local QHash<QString, const Reader*> known;
    const QString name = type.name();
    const auto it = known.constFind(name);
    if (it != known.constEnd())
        return *it;
    const Reader* reader = firstThatHandles(type);
    known.insert(name, reader);
    return reader;
}

int readerNumber(const Reader& reader) {
    const auto& all = allReaders();
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == &reader)
            return int(i);
    }
    return -1;
}

const Reader* readerByNumber(int number) {
    const auto& all = allReaders();
    return number >= 0 && size_t(number) < all.size() ? all[size_t(number)] : nullptr;
}

bool readKeepingWhatWasFound(const Reader& reader, const FileToRead& file, EmbeddedDetails& out,
                             bool& incomplete) {
    incomplete = false;
    try {
        return reader.read(file, out);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        incomplete = true;
        return true;
    }
}

} // namespace quillmere::details::readers
