#pragma once

#include <QByteArray>

namespace quillmere::cli {

// A path as given on the command line made absolute against the current folder, with repeated
// "/" and "." components dropped (a last "/" kept), so that one entry has one spelling. An empty
// path stays empty. When the current folder cannot be told, the path is returned as given, and
// reading it then says what is wrong.
QByteArray absolutePath(QByteArray path);

} // namespace quillmere::cli
