#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere::app::fs {

// True when the last-modified time of the entry at the path can be read (a dangling symbolic
// link is an entry too); false for the empty path and on any error. Never throws.
bool PathEntryExists(const QByteArray& nativePath);
bool PathEntryExists(const QString& path);

} // namespace quillmere::app::fs
