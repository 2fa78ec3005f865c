#pragma once

#include <QByteArray>
#include <QList>

namespace quillmere::cli {

// Each command takes the arguments after its own name, as the raw bytes the shell passed (a
// path need not be valid UTF-8), and returns the process exit status.
int runDetails(const QList<QByteArray>& arguments);
int runFind(const QList<QByteArray>& arguments);

} // namespace quillmere::cli
