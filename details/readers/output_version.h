#pragma once

#include <QByteArray>

namespace quillmere::details::readers {

// Raise by one whenever a reader may write other texts for the same file than before: details
// remembered from an older build are then read again.
constexpr int outputRevision = 5;

// The revision together with the versions of the libraries the readers use, as those libraries
// say at run time.
QByteArray librariesVersion();

} // namespace quillmere::details::readers
