// The entry point of the reader module (quillmere-readers.so).
#include "details/reader_module.h"
#include "details/readers/output_version.h"
#include "details/readers/reader.h"

namespace quillmere::details::readers {

namespace {

bool readWith(int family, const FileToRead& file, ColumnValues& values, bool& incomplete) {
    incomplete = false;
    const Reader* reader = readerByNumber(family);
    if (!reader)
        return false;
    EmbeddedDetails found;
    const bool itsKind = readKeepingWhatWasFound(*reader, file, found, incomplete);
    for (int c = column::FirstEmbedded; c < column::Count; ++c)
        values[size_t(c - column::FirstEmbedded)] = found.joined(c);
    return itsKind;
}

const char* version() {
    static const QByteArray text = librariesVersion();
    return text.constData();
}

} // namespace

} // namespace quillmere::details::readers

extern "C" __attribute__((visibility("default"))) const quillmere::details::ReaderModule*
quillmereReaderModule() {
    static const quillmere::details::ReaderModule module{quillmere::details::ReaderModuleLayout,
                                                         &quillmere::details::readers::readWith,
                                                         &quillmere::details::readers::version};
    return &module;
}
