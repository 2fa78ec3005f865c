#pragma once

#include <QByteArray>
#include <QString>

#include "app/fs/safe_move.h"

#include <functional>

// The file helpers of "Move Checked To Folder". They work on a path's own bytes and deal with
// their own failures: none of them throws.
namespace quillmere::app::fs {

// True when the path names an existing regular file. A folder is not a file, and neither is a
// symbolic link: a link is never followed to a file the user did not find.
bool IsExistingFile(const QByteArray& path);

// True when the path names an existing folder (a link to a folder counts: the user picked it);
// false when it does not, or when it cannot be examined.
bool IsFolder(const QByteArray& path);

// The path up to and including its last "/"; empty when it has none.
QByteArray FolderPart(const QByteArray& path);

// What to do when the destination name is taken, asked once per clash.
enum class ClashAnswer { Replace, KeepBoth, Skip };
// `takenByFolder`: a folder holds the name, so it cannot be replaced by a file.
using ClashQuestion = std::function<ClashAnswer(const QByteArray& source,
                                                const QByteArray& destination, bool takenByFolder)>;

struct CopyOutcome {
    // Moved: the file is at `destination` and gone from its place (a rename).
    // Copied: a checked copy is at `destination`; the source is still there, to be deleted.
    // Skipped: the user chose to leave it. Failed: nothing changed; `reason` says why.
    enum class Result { Moved, Copied, Skipped, Failed };
    Result result = Result::Failed;
    QByteArray destination;
    QString reason;
    FileStamp copied; // Copied: the source as it was copied
};

// Puts the source file at the destination when the source is an existing file and the
// destination's folder exists: renamed where both lie on one file system, otherwise copied,
// flushed and checked. A name already taken at the destination is put to `askAboutClash`; the
// source is never lost, whatever fails.
CopyOutcome CopyFileChecked(const QByteArray& source, const QByteArray& destination,
                            const ClashQuestion& askAboutClash);

// Lets window messages run, then deletes one file, read-only ones included; never a folder. Only
// the file that was copied goes: when another file took its name meanwhile (an editor saving
// over it) or it was written to, it stays. Returns why the file was not deleted, empty text
// when it is gone.
QString DeleteFileForced(const QByteArray& path, const FileStamp& copied);

} // namespace quillmere::app::fs
