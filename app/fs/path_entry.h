#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere::app::fs {

// True when the last-modified time of the entry at the path can be read (a dangling symbolic
// link is an entry too); false for the empty path and on any error. Never throws.
bool PathEntryExists(const QByteArray& nativePath);
bool PathEntryExists(const QString& path);

// True only when nothing is at the path: no such entry, or a folder on the way is not a folder.
// A path that cannot be looked at (longer than the system takes, a folder on the way this user
// may not search) is not gone: its file may well be there.
bool pathEntryGone(const QByteArray& nativePath);

} // namespace quillmere::app::fs
