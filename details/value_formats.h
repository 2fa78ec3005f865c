#pragma once

#include <QDateTime>
#include <QString>

#include <sys/types.h>

namespace quillmere::details {

// Texts of the detail columns as a file manager shows them, in the system locale.

// "12/7/26 9:23 PM" in an English locale; empty for an invalid time.
QString shortDateTime(const QDateTime& time);
// The same text for a moment given as seconds and nanoseconds since the epoch, shown in local
// time. Takes no lock shared with other threads.
QString shortDateTime(qint64 seconds, qint64 nanoseconds);
// The same text for a local wall-clock time, as QDateTime(date, time) would give it.
QString shortDateTime(QDate date, QTime time);
// "512 bytes", "3.4 KB", "12.0 MB".
QString fileSizeText(qint64 bytes);
// Every character that fileSizeText can give, each once: a text without one of them cannot be
// part of any size.
const QString& fileSizeCharacters();
// "-rw-r--r--", "drwxr-xr-x", "lrwxrwxrwx", with s/S/t/T for the special bits.
QString permissionText(mode_t mode);

} // namespace quillmere::details
