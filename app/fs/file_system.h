#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <stdexcept>
#include <vector>

class QFile;

// The small set of file-system operations the rest of the program goes through. Everything works
// on native byte paths, so names that are not valid UTF-8 reach the right entry. Every failure is
// a FileSystemError carrying the platform's own words, e.g. "No such file or directory".
namespace quillmere::app::fs {

class FileSystemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws FileSystemError with the platform's text for errnum.
[[noreturn]] void throwError(int errnum);

QString displayPath(const QByteArray& nativePath); // QFile::decodeName
QByteArray nativePath(const QString& displayPath); // QFile::encodeName

// Sorted as a file manager sorts names: locale-aware, case-insensitive, numbers in numeric order.
bool fileManagerLess(const QByteArray& leftName, const QByteArray& rightName);

// One read of a folder: the items a file manager shows by default (names not starting with "."),
// and every sub-folder, hidden ones too. A symbolic link is an item, never a sub-folder, so a walk
// over sub-folders cannot loop. Both lists hold absolute native paths, sorted.
struct FolderEntries {
    std::vector<QByteArray> items;
    std::vector<QByteArray> subFolders;
};
// Whether a folder path whose last component is a symbolic link is read through it. A walk reads
// the sub-folders it found without: one replaced by a link since would lead it elsewhere, to a
// folder above it, say, or to "/"; such a path fails with "Not a directory".
enum class LinkAtPath { Followed, Refused };
FolderEntries readFolder(const QByteArray& folderPath, LinkAtPath link = LinkAtPath::Followed);

class Folder {
public:
    // The folder's full path, without a trailing separator except for the root "/".
    const QByteArray& nativePath() const { return nativePath_; }
    QString path() const { return displayPath(nativePath_); }
    std::vector<Folder> subFolders() const;

private:
    friend Folder getFolder(const QByteArray& path);
    explicit Folder(QByteArray nativePath) : nativePath_(std::move(nativePath)) {}
    QByteArray nativePath_;
};

// Throws when the path is not a folder (a link to a folder counts as one: the user named it).
Folder getFolder(const QByteArray& path);

// A text file written line by line in the system's 8-bit encoding (UTF-8 here), each line ended
// by carriage return and line feed.
class TextFile {
public:
    ~TextFile(); // a file never closed leaves the one at the path as it was
    // After the first line that could not be written, the rest are not tried: that one failure
    // is thrown, and the file will not be saved.
    void writeLine(const QString& line);
    // Saves the file: only now does it take the place of whatever was at the path.
    void close();
    // Closed, and in its place at the path.
    bool saved() const { return saved_; }

private:
    friend TextFile createTextFile(const QByteArray& path);
    TextFile(std::unique_ptr<QFile> file, QByteArray path, QByteArray written);
    void discard();
    std::unique_ptr<QFile> file_;
    QByteArray path_;    // where it is saved
    QByteArray written_; // the new file beside it until then; empty when written in place
    bool failed_ = false;
    bool saved_ = false;

public:
    TextFile(TextFile&&) noexcept;
    TextFile& operator=(TextFile&&) noexcept;
};

// A new file beside the path, which takes the path's place once it is closed whole: until then
// whatever is there stays as it was, and a save that fails (a full disk) loses nothing. A
// regular file there keeps its permission bits; a symbolic link there is replaced itself, never
// the file it points to. Where the folder takes no new file but the file there may be written,
// that file is written in place. Anything there that is not a regular file or a link (a named
// pipe, a device, a socket) fails at once with "Not a regular file" and is left as it was.
TextFile createTextFile(const QByteArray& path);

enum class IfExists { Fail, Overwrite };

// Copies a regular file with its permission bits and modification time. The copy is flushed to
// disk before this returns; on any failure a partly written destination is removed, never the
// source.
void copyFile(const QByteArray& source, const QByteArray& destination, IfExists ifExists);

// Deletes a file permanently, read-only ones included.
void deleteFile(const QByteArray& path);

} // namespace quillmere::app::fs
