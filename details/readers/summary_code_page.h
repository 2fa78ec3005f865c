#pragma once

#include <QByteArray>

namespace quillmere::details::readers {

// An OLE property set stream (such as SummaryInformation) whose first section names no code page,
// rewritten so that it names `codePage`, with every value's bytes unchanged. libgsf converts a
// section's strings from the code page that the section itself names, and from Windows-1252 when
// it names none, even where the file's other property set names the one its strings are in.
// Empty when the set already names one or is not laid out as a property set.
QByteArray withCodePageNamed(const QByteArray& set, int codePage);

} // namespace quillmere::details::readers
