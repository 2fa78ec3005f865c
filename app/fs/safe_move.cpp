#include "app/fs/safe_move.h"

#include "app/event_pump.h"
#include "app/fs/descriptor.h"
#include "app/fs/error_text.h"
#include "app/fs/path_cleanup.h"
#include "app/fs/path_entry.h"

#include <QList>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quillmere::app::fs {

namespace {

constexpr int kMaxNumberedNames = 9999;
constexpr int kTemporaryNameAttempts = 100;

const CopyProbe* g_probe = nullptr;

// The copies being written under a name of their own. The window ends the process at once when
// it is closed, and may be closed while a copy runs: these names are what would be left behind.
class CopiesInFlight {
public:
    struct Copy {
        int folderFd;
        QByteArray name;
        int fd;
    };
    void add(const Copy* copy) {
        std::lock_guard lock(mutex_);
        copies_.push_back(copy);
    }
    void remove(const Copy* copy) {
        std::lock_guard lock(mutex_);
        std::erase(copies_, copy);
    }
    void removeFiles();

private:
    std::mutex mutex_;
    std::vector<const Copy*> copies_;
};

CopiesInFlight& copiesInFlight() {
    static CopiesInFlight* const copies = new CopiesInFlight; // used as the process ends
    return *copies;
}

// Keeps one copy's name on the list while it lives: from its making to its placing or removal.
class CopyInFlight {
public:
    CopyInFlight(int folderFd, const QByteArray& name, int fd) : copy_{folderFd, name, fd} {
        copiesInFlight().add(&copy_);
    }
    ~CopyInFlight() { copiesInFlight().remove(&copy_); }
    CopyInFlight(const CopyInFlight&) = delete;
    CopyInFlight& operator=(const CopyInFlight&) = delete;

private:
    const CopiesInFlight::Copy copy_;
};

QString describe(int errnum) {
    return errorText(errnum);
}

QByteArray folderOf(const QByteArray& path) {
    return path.left(path.lastIndexOf('/') + 1);
}

// Makes a new name in a folder last across a power cut before anything depends on it.
void syncFolder(const QByteArray& folder) {
    const Descriptor fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in the folder is the very file open as `fd` (a link never is).
bool nameHolds(int folderFd, const QByteArray& name, int fd) {
    struct stat atName {};
    struct stat open {};
    return ::fstatat(folderFd, name.constData(), &atName, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &open) == 0 && sameFile(atName, open);
}

void CopiesInFlight::removeFiles() {
    std::lock_guard lock(mutex_);
    for (const Copy* copy : copies_) {
        // Only the copy itself: a name that holds another file by now is not ours.
        if (nameHolds(copy->folderFd, copy->name, copy->fd))
            ::unlinkat(copy->folderFd, copy->name.constData(), 0);
    }
}

// Returns 0 or the errno. EEXIST when the target name is taken, EXDEV across file systems.
int renameKeepingExisting(int fromFolder, const QByteArray& from, int toFolder,
                          const QByteArray& to) {
    if (::renameat2(fromFolder, from.constData(), toFolder, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // A file system without the no-replace rename: a hard link refuses a taken name as well.
    if (::linkat(fromFolder, from.constData(), toFolder, to.constData(), 0) == 0) {
        if (::unlinkat(fromFolder, from.constData(), 0) == 0)
            return 0;
        const int unlinkError = errno;
        ::unlinkat(toFolder, to.constData(), 0);
        return unlinkError;
    }
    if (errno == EEXIST || errno == EXDEV)
        return errno;
    // Nor hard links (FAT and the like): test and rename, with a window the others do not have.
    struct stat info {};
    if (::fstatat(toFolder, to.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return ::renameat(fromFolder, from.constData(), toFolder, to.constData()) == 0 ? 0 : errno;
}

int renameTo(int fromFolder, const QByteArray& from, int toFolder, const QByteArray& to,
             Placing placing) {
    if (placing == Placing::KeepExisting)
        return renameKeepingExisting(fromFolder, from, toFolder, to);
    return ::renameat(fromFolder, from.constData(), toFolder, to.constData()) == 0 ? 0 : errno;
}

bool readFullyAt(int fd, char* buffer, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, buffer, size, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer += got;
        size -= size_t(got);
        offset += got;
    }
    return true;
}

bool writeFully(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

// Why the copy cannot stand in for the source, or nothing when it can. Both are read through
// the descriptors the copy was made with.
std::optional<QString> copyDiffers(int source, const struct stat& original, int copy) {
    struct stat copied {};
    if (::fstat(copy, &copied) != 0)
        return describe(errno);
    if (original.st_size != copied.st_size)
        return QStringLiteral("The copy is not the same size as the original");
    if (original.st_size > kVerifiedContentLimit)
        return std::nullopt;
    // Read the copy from the disk, not from the cache that the write just filled.
    ::posix_fadvise(copy, 0, 0, POSIX_FADV_DONTNEED);
    constexpr size_t kChunk = 1 << 16;
    QByteArray a(kChunk, Qt::Uninitialized);
    QByteArray b(kChunk, Qt::Uninitialized);
    for (off_t offset = 0; offset < original.st_size;) {
        const size_t n = size_t(std::min<off_t>(original.st_size - offset, off_t(kChunk)));
        if (!readFullyAt(source, a.data(), n, offset) || !readFullyAt(copy, b.data(), n, offset))
            return QStringLiteral("The copy could not be read back");
        if (std::memcmp(a.constData(), b.constData(), n) != 0)
            return QStringLiteral("The copy differs from the original");
        offset += off_t(n);
    }
    return std::nullopt;
}

// The source's extended attributes onto the copy, as far as this user may set them: the user's
// own (tags, where a download came from) and access lists. What the file system or the user's
// rights refuse (another's security label) is left out, as a copy by other tools leaves it.
void copyAttributes(int source, int copy) {
    ssize_t size = ::flistxattr(source, nullptr, 0);
    if (size <= 0)
        return;
    QByteArray names(size, Qt::Uninitialized);
    size = ::flistxattr(source, names.data(), size_t(names.size()));
    if (size <= 0)
        return;
    QByteArray value;
    for (const QByteArray& name : names.left(size).split('\0')) {
        if (name.isEmpty())
            continue;
        const ssize_t length = ::fgetxattr(source, name.constData(), nullptr, 0);
        if (length < 0)
            continue;
        value.resize(length);
        if (::fgetxattr(source, name.constData(), value.data(), size_t(length)) == length)
            ::fsetxattr(copy, name.constData(), value.constData(), size_t(length), 0);
    }
}

// The content, mode, extended attributes and times of the source into the copy, flushed to disk.
std::optional<QString> fillCopy(int source, const struct stat& original, int copy) {
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(source, buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return describe(errno);
        if (got == 0)
            break;
        if (!writeFully(copy, buffer.constData(), size_t(got)))
            return describe(errno);
    }
    if (::fchmod(copy, original.st_mode & 07777) != 0)
        return describe(errno);
    copyAttributes(source, copy);
    const timespec times[2] = {original.st_atim, original.st_mtim};
    ::futimens(copy, times);
    if (::fsync(copy) != 0)
        return describe(errno);
    return std::nullopt;
}

QByteArray temporaryName() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name = ".quillmere-move-";
    for (int i = 0; i < 10; ++i)
        name += kLetters[QRandomGenerator::system()->bounded(int(sizeof kLetters) - 1)];
    return name;
}

// The destination folder, opened once: every later step is relative to it.
int openFolder(QByteArray folder) {
    while (folder.size() > 1 && folder.endsWith('/'))
        folder.chop(1);
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ELOOP)
        return fd;
    // The user picked a link to a folder: it is followed this once, never again.
    return ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The file the copy is written into, with the name in the folder it will first take. An
// anonymous file has no name until it is linked, so nothing can be swapped in under it; its
// first name is the target itself unless an existing file is to be replaced.
struct NewFile {
    int fd = -1;
    bool anonymous = false;
    QByteArray name;
    int error = 0;
};

NewFile createCopyFile(int folderFd, const QByteArray& targetName, Placing placing) {
    if (!(g_probe && g_probe->withoutAnonymousFile)) {
        const int fd = ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0)
            return {fd, true, placing == Placing::KeepExisting ? targetName : temporaryName(), 0};
        // Not every file system has anonymous files; a named one of our own does the same job.
    }
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        QByteArray name = temporaryName();
        const int fd = ::openat(folderFd, name.constData(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            return {fd, false, std::move(name), 0};
        if (errno != EEXIST)
            return {-1, false, {}, errno};
    }
    return {-1, false, {}, EEXIST};
}

// Gives the anonymous file its first name; never follows or replaces what holds that name.
int linkAnonymous(int fd, int folderFd, const QByteArray& name) {
    const QByteArray self = descriptorPath(fd);
    return ::linkat(AT_FDCWD, self.constData(), folderFd, name.constData(), AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
}

// Puts the copy at the target name; 0 or the errno.
int placeCopy(const NewFile& copy, int folderFd, const QByteArray& targetName, Placing placing) {
    if (copy.anonymous && copy.name == targetName) {
        if (g_probe && g_probe->placing)
            g_probe->placing(folderFd, copy.name);
        return linkAnonymous(copy.fd, folderFd, targetName);
    }
    if (copy.anonymous) {
        if (const int error = linkAnonymous(copy.fd, folderFd, copy.name))
            return error == EEXIST ? EBUSY : error;
    }
    if (g_probe && g_probe->placing)
        g_probe->placing(folderFd, copy.name);
    return renameTo(folderFd, copy.name, folderFd, targetName, placing);
}

// Removes what a failed copy left under its own name, and only that.
void removeLeftover(const NewFile& copy, int folderFd) {
    if (!copy.name.isEmpty() && nameHolds(folderFd, copy.name, copy.fd))
        ::unlinkat(folderFd, copy.name.constData(), 0);
}

Placement copyIntoPlace(const QByteArray& source, const QByteArray& target, Placing placing) {
    using Result = Placement::Result;
    const Descriptor from(
        ::open(source.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat original {};
    if (from.get() < 0 || ::fstat(from.get(), &original) != 0)
        return {Result::Failed, describe(errno), {}};
    if (!S_ISREG(original.st_mode))
        return {Result::Failed, QStringLiteral("Not a regular file"), {}};
    const Descriptor folder(openFolder(folderOf(target)));
    if (folder.get() < 0)
        return {Result::Failed, describe(errno), {}};
    const QByteArray targetName = FileNameOfPath(target);

    const NewFile copy = createCopyFile(folder.get(), targetName, placing);
    if (copy.fd < 0)
        return {Result::Failed, describe(copy.error), {}};
    const Descriptor copyFd(copy.fd);
    // An anonymous copy that first takes the target name never has a name of its own.
    std::optional<CopyInFlight> inFlight;
    if (copy.name != targetName)
        inFlight.emplace(folder.get(), copy.name, copy.fd);
    if (g_probe && g_probe->created)
        g_probe->created(folder.get(), copy.name);

    std::optional<QString> problem = fillCopy(from.get(), original, copy.fd);
    if (!problem)
        problem = copyDiffers(from.get(), original, copy.fd);
    // Written to while it was copied (beyond the content checked, only its stamp tells): the copy
    // would keep the file as it was before.
    struct stat after {};
    if (!problem &&
        (::fstat(from.get(), &after) != 0 || !(FileStamp::of(after) == FileStamp::of(original))))
        problem = QStringLiteral("The file changed while it was copied");
    if (problem) {
        if (!copy.anonymous)
            removeLeftover(copy, folder.get());
        return {Result::Failed, *problem, {}};
    }
    if (const int error = placeCopy(copy, folder.get(), targetName, placing)) {
        if (copy.name != targetName)
            removeLeftover(copy, folder.get());
        if (error == EEXIST)
            return {Result::NameTaken, describe(error), {}};
        if (error == EBUSY)
            return {Result::Failed, QStringLiteral("Another program took the temporary name"), {}};
        return {Result::Failed, describe(error), {}};
    }
    if (!nameHolds(folder.get(), targetName, copy.fd)) {
        // Something else took the name in the moment before; a link put there with our help
        // goes again, so it cannot pass for the moved file.
        struct stat intruder {};
        if (::fstatat(folder.get(), targetName.constData(), &intruder, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(intruder.st_mode))
            ::unlinkat(folder.get(), targetName.constData(), 0);
        return {Result::Failed,
                QStringLiteral("Another program replaced the copy at the destination"),
                {}};
    }
    ::fsync(folder.get());
    return {Result::Copied, {}, FileStamp::of(original)};
}

} // namespace

void setCopyProbe(const CopyProbe* probe) {
    g_probe = probe;
}

FileStamp FileStamp::of(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

bool FileStamp::operator==(const FileStamp& other) const {
    const auto same = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return device == other.device && inode == other.inode && size == other.size &&
           same(modified, other.modified) && same(changed, other.changed);
}

Placement placeFile(const QByteArray& source, const QByteArray& target, Placing placing) {
    using Result = Placement::Result;
    const int error = renameTo(AT_FDCWD, source, AT_FDCWD, target, placing);
    if (error == 0) {
        syncFolder(folderOf(target));
        return {Result::Renamed, {}, {}};
    }
    if (error == EEXIST)
        return {Result::NameTaken, describe(error), {}};
    if (error != EXDEV)
        return {Result::Failed, describe(error), {}};
    // A copy may take minutes (a film to a memory card, then its flush to the card): the window
    // must not freeze meanwhile. What other commands do to the file then, the copy's own checks
    // catch.
    return runWhileWindowMessagesRun(
        [&source, &target, placing] { return copyIntoPlace(source, target, placing); });
}

void removeCopiesInFlight() {
    copiesInFlight().removeFiles();
}

QByteArray freeNameBeside(const QByteArray& target) {
    const QByteArray name = FileNameOfPath(target);
    const QByteArray folder = target.left(target.size() - name.size());
    // A leading dot names a hidden file, not an extension.
    qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0)
        dot = name.size();
    const QByteArray stem = name.left(dot);
    const QByteArray extension = name.mid(dot);
    for (int number = 2; number <= kMaxNumberedNames; ++number) {
        QByteArray candidate = folder + stem + " (" + QByteArray::number(number) + ")" + extension;
        if (!PathEntryExists(candidate))
            return candidate;
    }
    return {};
}

} // namespace quillmere::app::fs
