#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere::app::fs {

// Cleans a path a folder picker returned: in one pass from the left, each pair of adjacent "/"
// becomes one (so three become two, four become two), and a leading run of "/", however long,
// becomes exactly one.
QString CollapseBackslashes(const QString& path);
// The same on a path's own bytes, for names that are not valid UTF-8.
QByteArray CollapseBackslashes(const QByteArray& path);

// The text after the last "/" of a path; the whole text when it holds none.
QString FileNameOfPath(const QString& path);
QByteArray FileNameOfPath(const QByteArray& path);

} // namespace quillmere::app::fs
