#include "details/readers/reader.h"

#include <array>
#include <new>

namespace quillmere::details::readers {

namespace {

// A reader that uses FFmpeg, left out of a build without it.
#ifdef QUILLMERE_READERS_WITHOUT_FFMPEG
#define QUILLMERE_FFMPEG_READER(reader) nullptr
#else
#define QUILLMERE_FFMPEG_READER(reader) &reader()
#endif

// In the order of their families: a reader's place is its family's number.
const std::array<const Reader*, ReaderFamilyCount>& allReaders() {
    static const std::array<const Reader*, ReaderFamilyCount> all = {
        QUILLMERE_FFMPEG_READER(aacReader),
        QUILLMERE_FFMPEG_READER(mp4AudioReader),
        QUILLMERE_FFMPEG_READER(avifReader),
        &heifReader(),
        &imageHeaderReader(),
        &imageReader(),
        &jpegXlReader(),
        &audioReader(),
        QUILLMERE_FFMPEG_READER(videoReader),
        &pdfReader(),
        &officeReader(),
        &legacyOfficeReader()};
    return all;
}

#undef QUILLMERE_FFMPEG_READER

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
