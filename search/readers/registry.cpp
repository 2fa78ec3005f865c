#include "search/readers/reader.h"

namespace quillmere::readers {

const Reader* readerFor(const QMimeType& type) {
    static const Reader* const all[] = {&heifReader(),  &imageReader(), &audioReader(),
                                        &videoReader(), &pdfReader(),   &officeReader()};
    for (const Reader* reader : all) {
        if (reader->handles(type))
            return reader;
    }
    return nullptr;
}

} // namespace quillmere::readers
