#include "app/fs/file_helpers.h"

#include "app/event_pump.h"
#include "app/fs/error_text.h"
#include "app/fs/file_system.h"
#include "app/fs/path_cleanup.h"
#include "app/fs/path_entry.h"
#include "app/fs/safe_move.h"

#include <cerrno>

#include <sys/stat.h>

namespace quillmere::app::fs {

namespace {

using Result = CopyOutcome::Result;

CopyOutcome failed(const QString& reason) {
    return {Result::Failed, {}, reason, {}};
}

bool sameEntry(const QByteArray& a, const QByteArray& b) {
    struct stat first {};
    struct stat second {};
    return ::lstat(a.constData(), &first) == 0 && ::lstat(b.constData(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

QString whyNotAFile(const QByteArray& path) {
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? QStringLiteral("It no longer exists")
                                                   : errorText(errno);
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("It is a symbolic link; only files are moved");
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("It is a folder; only files are moved");
    return QStringLiteral("It is not a regular file; only files are moved");
}

} // namespace

bool IsExistingFile(const QByteArray& path) {
    struct stat info {};
    return !path.isEmpty() && !path.contains('\0') && ::lstat(path.constData(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

bool IsFolder(const QByteArray& path) {
    struct stat info {};
    return !path.isEmpty() && !path.contains('\0') && ::stat(path.constData(), &info) == 0 &&
           S_ISDIR(info.st_mode);
}

QByteArray FolderPart(const QByteArray& path) {
    return path.left(path.lastIndexOf('/') + 1);
}

CopyOutcome CopyFileChecked(const QByteArray& source, const QByteArray& destination,
                            const ClashQuestion& askAboutClash) {
    if (source.trimmed().isEmpty() || destination.trimmed().isEmpty())
        return failed(QStringLiteral("No path was given"));
    const QByteArray from = CollapseBackslashes(source);
    const QByteArray to = CollapseBackslashes(destination);
    if (!IsExistingFile(from))
        return failed(whyNotAFile(from));
    if (!IsFolder(FolderPart(to)))
        return failed(QStringLiteral("The destination folder does not exist"));
    if (sameEntry(from, to))
        return failed(QStringLiteral("It is already in the destination folder"));

    QByteArray target = to;
    Placing placing = Placing::KeepExisting;
    if (PathEntryExists(to)) {
        const bool takenByFolder = IsFolder(to);
        switch (askAboutClash(from, to, takenByFolder)) {
        case ClashAnswer::Replace:
            if (takenByFolder)
                return failed(QStringLiteral("A folder of that name is in the way"));
            placing = Placing::ReplaceExisting;
            break;
        case ClashAnswer::KeepBoth:
            target = freeNameBeside(to);
            if (target.isEmpty())
                return failed(QStringLiteral("No free name was found for a second file"));
            break;
        case ClashAnswer::Skip:
            return {Result::Skipped,
                    {},
                    QStringLiteral("Skipped: the destination holds that name"),
                    {}};
        }
    }
    const Placement placed = placeFile(from, target, placing);
    switch (placed.result) {
    case Placement::Result::Renamed:
        return {Result::Moved, target, {}, {}};
    case Placement::Result::Copied:
        return {Result::Copied, target, {}, placed.copied};
    case Placement::Result::NameTaken:
        return failed(QStringLiteral("Another file took the name at the destination meanwhile"));
    case Placement::Result::Failed:
        break;
    }
    return failed(placed.reason);
}

QString DeleteFileForced(const QByteArray& path, const FileStamp& copied) {
    letWindowMessagesRun();
    struct stat now {};
    if (::lstat(path.constData(), &now) == 0 && !(FileStamp::of(now) == copied))
        return QStringLiteral("It changed after it was copied, so both are kept");
    // Unlinking does not ask about the file's own write permission, so the plain delete and the
    // forced one are the same single call here.
    try {
        fs::deleteFile(path);
        return {};
    } catch (const fs::FileSystemError& failure) {
        return QString::fromLocal8Bit(failure.what());
    }
}

} // namespace quillmere::app::fs
