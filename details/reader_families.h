#pragma once

#include <QByteArray>
#include <QMimeType>

namespace quillmere::details {

struct FileToRead {
    QByteArray nativePath; // absolute, the file system's own bytes
    QMimeType mimeType;
    qint64 size = 0;
    // An open descriptor of the file, checked to be regular, that readers use instead of opening
    // the path; -1 when they open the path themselves. Owned by the caller.
    int descriptor = -1;
    // Set inside the reader helper, where nothing can be opened by name: a reader that would
    // reopen the file through /proc reads it through its descriptor instead.
    bool confined = false;
};

// One family of readers (photos, audio, video, PDF, Office/ODF ...), known by the types it
// handles alone: choosing one loads none of the libraries that read the files. Its number names
// it between the engine, the reader helper and the reader module.
class ReaderFamily {
public:
    using Handles = bool (*)(const QMimeType& type);
    constexpr ReaderFamily(int number, Handles handles, bool needsFfmpeg = false)
        : number_(number), handles_(handles), needsFfmpeg_(needsFfmpeg) {}
    int number() const { return number_; }
    bool handles(const QMimeType& type) const { return handles_(type); }
    // Whether its reader uses FFmpeg, which the lean reader helper leaves out.
    bool needsFfmpeg() const { return needsFfmpeg_; }

private:
    int number_;
    Handles handles_;
    bool needsFfmpeg_;
};

constexpr int ReaderFamilyCount = 12;

// The first family that handles the type, or nullptr.
const ReaderFamily* readerFamilyFor(const QMimeType& type);
const ReaderFamily* readerFamilyByNumber(int number); // nullptr when there is no such family

} // namespace quillmere::details
