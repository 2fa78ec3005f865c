#include "details/readers/reader.h"

#include <array>
#include <new>

namespace quillmere::details::readers {

namespace {

// In the order of their families: a reader's place is its family's number.
const std::array<const Reader*, ReaderFamilyCount>& allReaders() {
    static const std::array<const Reader*, ReaderFamilyCount> all = {
        &aacReader(),         &mp4AudioReader(), &avifReader(),   &heifReader(),
        &imageHeaderReader(), &imageReader(),    &jpegXlReader(), &audioReader(),
        &videoReader(),       &pdfReader(),      &officeReader(), &legacyOfficeReader()};
    return all;
}

} // namespace

const Reader* readerFor(const QMimeType& type) {
    const ReaderFamily* family = readerFamilyFor(type);
    return family ? readerByNumber(family->number()) : nullptr;
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
