#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

#include <sys/stat.h>

// Putting a file at a new name without ever losing it, on one file system or across two.
namespace quillmere::app::fs {

enum class Placing { KeepExisting, ReplaceExisting };

// A file as it was at one moment: its entry, its size and its times of change. A file written to
// since, or another file put at its name, has another stamp.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static FileStamp of(const struct stat& info);
    bool operator==(const FileStamp& other) const;
};

struct Placement {
    // Renamed: the file is at the target and no longer at the source.
    // Copied: a checked copy is at the target; the source is untouched, for the caller to delete.
    // NameTaken: something holds the target name and was left alone; nothing changed.
    // Failed: nothing changed; `reason` says why.
    enum class Result { Renamed, Copied, NameTaken, Failed };
    Result result = Result::Failed;
    QString reason;
    FileStamp copied; // Copied: the source as it was copied, unchanged until the copy stood
};

// A rename where source and target share a file system. Otherwise a copy into a new file of the
// target's folder, flushed to disk and checked against the source (the size always, the content
// read back from the disk up to kVerifiedContentLimit, and the source's stamp unchanged from
// before the copy to after the check), which then takes the target name in one
// step: a copy that fails half-way leaves neither a partial file nor a lost source. The copy is
// written, checked and placed through descriptors only (the folder, an anonymous file where the
// file system has them, else a hidden file of our own making), and Copied is returned only when
// the target name then holds that very file: a link swapped in by someone else who can write
// to the folder never redirects the copy to another file.
// With KeepExisting an entry already at the target is never replaced, even one that appears
// while the copy runs. A copy runs on a thread of its own while window messages run on the
// caller's.
Placement placeFile(const QByteArray& source, const QByteArray& target, Placing placing);

// For a process about to end at once (its window closed) while a copy may be running: removes
// the copies being written under names of their own, so none is left in the destination folder.
// Such a copy then fails, as if another program had removed it; sources are never touched.
void removeCopiesInFlight();

constexpr qint64 kVerifiedContentLimit = 16 * 1024 * 1024;

// For tests: lets them act on the destination folder at the two moments a copy is open to
// interference, and turn off the anonymous file to reach the other way. Null restores the
// ordinary behaviour.
struct CopyProbe {
    bool withoutAnonymousFile = false;
    // Each gets the destination folder and the name in it that the copy will take next: after
    // the file was created, and just before that name is put in place.
    std::function<void(int folderFd, const QByteArray& name)> created;
    std::function<void(int folderFd, const QByteArray& name)> placing;
};
void setCopyProbe(const CopyProbe* probe);

// "name (2).ext", "name (3).ext", ... beside the target: the first that nothing holds. Empty when
// no such name is free.
QByteArray freeNameBeside(const QByteArray& target);

} // namespace quillmere::app::fs
