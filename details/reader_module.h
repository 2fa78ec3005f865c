#pragma once

#include "details/helper_protocol.h"
#include "details/reader_families.h"

#include <QtGlobal>

namespace quillmere::details {

// What the reader module offers a program that reads embedded details in its own process. The
// readers and the libraries they use are loaded only with it, so a program that reads through
// helpers, or finds every file in the detail store, never loads them.
struct ReaderModule {
    quint64 layout; // ReaderModuleLayout of the build that made the module
    // Reads `file` with its family's reader into `values`; false when it is not of the family's
    // kind after all. `incomplete` is set when the reader failed part-way.
    bool (*read)(int family, const FileToRead& file, ColumnValues& values, bool& incomplete);
    // The readers' revision and the versions of the libraries they use.
    const char* (*version)();
};

// Program and module are built together: a module from another build (a different layout of
// what passes between them) is not used.
constexpr quint64 ReaderModuleLayout =
    (quint64(1) << 48) | (quint64(sizeof(FileToRead)) << 24) | quint64(sizeof(ColumnValues));

// The module's file name, installed beside the programs, and the C name of its only entry point:
// a function taking nothing and returning `const ReaderModule*`.
constexpr const char* ReaderModuleFile = "quillmere-readers.so";
constexpr const char* ReaderModuleEntry = "quillmereReaderModule";

} // namespace quillmere::details
