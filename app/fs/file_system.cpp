#include "app/fs/file_system.h"

#include "app/event_pump.h"
#include "app/fs/descriptor.h"

#include <QCollator>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::app::fs {

namespace {

const char* const kNotARegularFile = "Not a regular file";

QByteArray withoutTrailingSeparators(QByteArray path) {
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

QByteArray joined(const QByteArray& folder, const char* name) {
    QByteArray path = folder;
    if (!path.endsWith('/'))
        path += '/';
    return path + name;
}

bool isFolderEntry(const QByteArray& path, unsigned char type) {
    if (type == DT_DIR)
        return true;
    if (type != DT_UNKNOWN)
        return false;
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

QByteArray nameOf(const QByteArray& path) {
    return path.mid(path.lastIndexOf('/') + 1);
}

const QCollator& nameCollator() {
    thread_local const QCollator collator = [] {
        QCollator c;
        c.setNumericMode(true);
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    return collator;
}

// One collation key per name, not one decoding and comparison per pair: a folder of many
// thousand names is sorted in a fraction of the time.
void sortByName(std::vector<QByteArray>& paths) {
    struct Keyed {
        QCollatorSortKey key;
        QByteArray path;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(paths.size());
    for (QByteArray& path : paths)
        keyed.push_back({nameCollator().sortKey(displayPath(nameOf(path))), std::move(path)});
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        const int order = a.key.compare(b.key);
        return order != 0 ? order < 0 : nameOf(a.path) < nameOf(b.path);
    });
    for (size_t i = 0; i < paths.size(); ++i)
        paths[i] = std::move(keyed[i].path);
}

void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throwError(errno);
        }
        data += written;
        size -= size_t(written);
    }
}

void copyContents(int from, int to) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwError(errno);
        }
        if (got == 0)
            return;
        writeAll(to, buffer, size_t(got));
    }
}

} // namespace

void throwError(int errnum) {
    // Folders are listed on worker threads: strerror's buffer is not theirs to share.
    throw FileSystemError(std::generic_category().message(errnum));
}

QString displayPath(const QByteArray& nativePath) {
    return QFile::decodeName(nativePath);
}
QByteArray nativePath(const QString& displayPath) {
    return QFile::encodeName(displayPath);
}

bool fileManagerLess(const QByteArray& leftName, const QByteArray& rightName) {
    const int order = nameCollator().compare(displayPath(leftName), displayPath(rightName));
    if (order != 0)
        return order < 0;
    return leftName < rightName; // names a collator thinks equal still get one fixed order
}

FolderEntries readFolder(const QByteArray& folderPath, LinkAtPath link) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC |
                      (link == LinkAtPath::Refused ? O_NOFOLLOW : 0);
    const int fd = ::open(folderPath.constData(), flags);
    if (fd < 0)
        throwError(errno == ELOOP && link == LinkAtPath::Refused ? ENOTDIR : errno);
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        throwError(error);
    }
    FolderEntries entries;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        QByteArray path = joined(folderPath, name);
        if (isFolderEntry(path, entry->d_type))
            entries.subFolders.push_back(path);
        if (name[0] != '.')
            entries.items.push_back(std::move(path));
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        throwError(readError);
    sortByName(entries.items);
    sortByName(entries.subFolders);
    return entries;
}

std::vector<Folder> Folder::subFolders() const {
    std::vector<Folder> folders;
    for (QByteArray& path : readFolder(nativePath_).subFolders)
        folders.push_back(Folder(std::move(path)));
    return folders;
}

Folder getFolder(const QByteArray& path) {
    if (path.isEmpty())
        throwError(ENOENT);
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        throwError(errno);
    if (!S_ISDIR(info.st_mode))
        throwError(ENOTDIR);
    return Folder(withoutTrailingSeparators(path));
}

TextFile::TextFile(std::unique_ptr<QFile> file, QByteArray path, QByteArray written)
    : file_(std::move(file)), path_(std::move(path)), written_(std::move(written)) {}
TextFile::TextFile(TextFile&&) noexcept = default;

TextFile& TextFile::operator=(TextFile&& other) noexcept {
    if (this != &other) {
        discard();
        file_ = std::move(other.file_);
        path_ = std::move(other.path_);
        written_ = std::move(other.written_);
        failed_ = other.failed_;
        saved_ = other.saved_;
    }
    return *this;
}

TextFile::~TextFile() {
    discard();
}

void TextFile::discard() {
    if (!file_ || !file_->isOpen())
        return;
    const int fd = file_->handle();
    file_->close();
    ::close(fd);
    if (!written_.isEmpty())
        ::unlink(written_.constData());
}

void TextFile::writeLine(const QString& line) {
    if (!file_ || !file_->isOpen())
        throwError(EBADF);
    if (failed_)
        return;
    const QByteArray bytes = line.toLocal8Bit() + "\r\n";
    errno = 0;
    if (file_->write(bytes) != bytes.size()) {
        // The system's words (a full disk) where it gave any; the buffer's words are vaguer.
        const int error = errno;
        failed_ = true;
        if (error != 0)
            throwError(error);
        throw FileSystemError(file_->errorString().toStdString());
    }
}

void TextFile::close() {
    if (!file_ || !file_->isOpen())
        return;
    if (failed_) // told already; the path keeps what it held
        return discard();
    const bool flushed = file_->flush();
    const QString flushError = file_->errorString();
    const int fd = file_->handle();
    // A slow disk (a memory card) may take seconds to take it all: the window does not freeze.
    const int syncError = !flushed ? 0 : runWhileWindowMessagesRun([fd] {
        return ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    });
    const bool synced = flushed && syncError == 0;
    if (!flushed || !synced) {
        discard();
        if (!flushed)
            throw FileSystemError(flushError.toStdString());
        throwError(syncError);
    }
    file_->close();
    ::close(fd);
    if (!written_.isEmpty() && ::rename(written_.constData(), path_.constData()) != 0) {
        const int error = errno;
        ::unlink(written_.constData());
        throwError(error);
    }
    saved_ = true;
}

namespace {

// A regular file opened for writing without blocking: a named pipe without a reader would hold
// the window until one came, and a device would be written to.
int openRegularForWriting(const QByteArray& path) {
    Descriptor fd(::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0 && errno == ENXIO) // a pipe without a reader, a device without its device
        throw FileSystemError(kNotARegularFile);
    if (fd.get() < 0)
        throwError(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throwError(errno);
    if (!S_ISREG(info.st_mode))
        throw FileSystemError(kNotARegularFile);
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd.release();
}

// A new file of our own beside `path`, named after it, and its name; -1 with errno set when the
// folder takes none.
int newFileBeside(const QByteArray& path, QByteArray& name) {
    const qsizetype slash = path.lastIndexOf('/');
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Short enough for any file system's longest name, whatever the chosen one's length.
        name = path.left(slash + 1) + '.' + path.mid(slash + 1).left(200) + ".saving-" +
               QByteArray::number(QRandomGenerator::system()->generate(), 36);
        const int fd =
            ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// A file to write lines to, on the descriptor it takes over; what was `written` goes if that
// fails.
std::unique_ptr<QFile> fileOn(int descriptor, const QByteArray& written) {
    Descriptor fd(descriptor);
    auto file = std::make_unique<QFile>();
    if (!file->open(fd.get(), QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
        if (!written.isEmpty())
            ::unlink(written.constData());
        throw FileSystemError(file->errorString().toStdString());
    }
    fd.release();
    return file;
}

} // namespace

TextFile createTextFile(const QByteArray& path) {
    struct stat there {};
    const bool exists = ::lstat(path.constData(), &there) == 0;
    if (exists && !S_ISREG(there.st_mode) && !S_ISLNK(there.st_mode))
        throw FileSystemError(kNotARegularFile);
    QByteArray written;
    const int fd = newFileBeside(path, written);
    if (fd >= 0) {
        if (exists && S_ISREG(there.st_mode))
            ::fchmod(fd, there.st_mode & 07777);
        return TextFile(fileOn(fd, written), path, written);
    }
    const int refused = errno;
    // A folder that takes no new file may still hold a file that may be written: in place.
    if (!exists || !S_ISREG(there.st_mode) || (refused != EACCES && refused != EPERM))
        throwError(refused);
    const int inPlace = openRegularForWriting(path);
    if (::ftruncate(inPlace, 0) != 0) {
        const int error = errno;
        ::close(inPlace);
        throwError(error);
    }
    return TextFile(fileOn(inPlace, {}), path, {});
}

void copyFile(const QByteArray& source, const QByteArray& destination, IfExists ifExists) {
    Descriptor from(::open(source.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (from.get() < 0)
        throwError(errno);
    struct stat info {};
    if (::fstat(from.get(), &info) != 0)
        throwError(errno);
    if (!S_ISREG(info.st_mode))
        throw FileSystemError(kNotARegularFile);
    struct stat existing {};
    if (::stat(destination.constData(), &existing) == 0 && existing.st_dev == info.st_dev &&
        existing.st_ino == info.st_ino)
        throw FileSystemError("Source and destination are the same file");
    const int mode = ifExists == IfExists::Fail ? O_EXCL : O_TRUNC;
    Descriptor to(::open(destination.constData(),
                         O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | mode, info.st_mode & 07777));
    if (to.get() < 0)
        throwError(errno);
    try {
        copyContents(from.get(), to.get());
        ::fchmod(to.get(), info.st_mode & 07777);
        const timespec times[2] = {info.st_atim, info.st_mtim};
        ::futimens(to.get(), times);
        if (::fsync(to.get()) != 0)
            throwError(errno);
        if (::close(to.release()) != 0)
            throwError(errno);
    } catch (...) {
        ::unlink(destination.constData());
        throw;
    }
}

void deleteFile(const QByteArray& path) {
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0)
        throwError(errno);
    if (S_ISDIR(info.st_mode))
        throwError(EISDIR);
    if (::unlink(path.constData()) != 0)
        throwError(errno);
}

} // namespace quillmere::app::fs
