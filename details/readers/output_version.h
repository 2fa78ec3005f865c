#pragma once

#include <QByteArray>

namespace quillmere::details::readers {

// Raise by one whenever a reader may write other texts for the same file than before: details
// remembered from an older build are then read again.
constexpr int outputRevision = 2;

// The revision together with the versions of the libraries the readers use and of the MIME
// database that picks them: details read under any other combination are not trusted.
QByteArray outputVersion();

} // namespace quillmere::details::readers
