#include "search/readers/reader.h"

#include <QHash>

namespace quillmere::readers {

namespace {

const Reader* firstThatHandles(const QMimeType& type) {
    static const Reader* const all[] = {&heifReader(),   &imageHeaderReader(), &imageReader(),
                                        &audioReader(),  &videoReader(),       &pdfReader(),
                                        &officeReader(), &legacyOfficeReader()};
    for (const Reader* reader : all) {
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

} // namespace quillmere::readers
