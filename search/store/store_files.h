#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere::search::store {

// The files of the store on disk, private to the user: folders 0700, files 0600.

// Why a store that is there already must be left alone: its folder, file or log belongs to
// another user, or others may change the folder (and so put a store of their own in it, or swap
// ours).
// Empty when it is ours alone, or not there yet.
QString distrustOf(const QByteArray& folder, const QByteArray& path);
// Makes the folder and any missing parent, each only for its owner. Empty on success, else why not.
QString makePrivateFolder(const QByteArray& folder);
// Creates the database file when missing, never through a symbolic link, and takes every
// permission but the owner's away. A database or log that others could write to is set aside
// first: nothing in it can be trusted. Empty on success, else why not.
QString makePrivateFile(const QByteArray& path);
// Moves a damaged database out of the way as `path`.broken, with its log and shared-memory file
// removed, so that a new one can be made in its place.
void setAside(const QByteArray& path);
// The bytes the database and its write-ahead log take on disk.
qint64 bytesOnDisk(const QByteArray& path);

} // namespace quillmere::search::store
