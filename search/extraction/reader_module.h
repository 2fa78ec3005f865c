#pragma once

#include "details/reader_module.h"

#include <QByteArray>
#include <QString>

namespace quillmere::search::extraction {

// `name` beside the real executable of this program (symbolic links followed); empty when that
// cannot be told.
QByteArray besideThisProgram(const char* name);

// The reader module at `path` (empty: the one beside this program), loaded at the first call for
// that path and kept for the life of the process. Null when it cannot be loaded or is of another
// build; `problem`, when given, then says why.
const details::ReaderModule* loadReaderModule(const QByteArray& path, QString* problem = nullptr);

// The version of what reads embedded details: the readers' revision and the versions of their
// libraries, as the module says, and the MIME database that picks the readers. Asking the module
// means loading every library it uses, so its answer is remembered in `rememberedFile` together
// with the identity (device, inode, size, modification time) of each file then loaded, the
// loader's cache and its search path; while all of those stay the same the remembered text is
// used and nothing is loaded. A remembered file that cannot be read, is too large or does not
// parse is ignored and written anew. Empty when the module cannot be loaded.
QByteArray readersVersion(const QByteArray& modulePath, const QString& rememberedFile);

} // namespace quillmere::search::extraction
