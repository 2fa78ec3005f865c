#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere::app::fs {

// The text of an errno value; thread-safe, unlike strerror.
QString errorText(int errorNumber);

// A name under /proc that reopens the file behind an open descriptor, for libraries that only
// take a path: it reaches the very file that was checked, whatever its name holds.
QByteArray descriptorPath(int fd);

} // namespace quillmere::app::fs
