#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <span>

class QMimeData;

namespace quillmere::results {

// A path as a file URI of its own bytes: every byte but the unreserved ones and "/" is
// percent-encoded, so a name that is not UTF-8 still names exactly its entry.
QByteArray fileUri(const QByteArray& nativePath);

// A path on one line, readable in a terminal or a mail, by the program's one escaping rule with
// every backslash doubled (app/escaped_text.h); bytes that are not UTF-8 become "\xHH" too.
QString oneLinePath(const QByteArray& nativePath);

// The paths as a drag or the clipboard offers them: "text/uri-list" (one URI per line, CRLF) and
// the one-line paths as plain text, one per line. `yield`, when given, runs after each path.
QMimeData* pathsMimeData(std::span<const QByteArray> nativePaths,
                         const std::function<void()>& yield = {});

} // namespace quillmere::results
