#pragma once

#include "app/fs/regular_file.h"
#include "details/column_ids.h"
#include "details/reader_families.h"

#include <QByteArray>
#include <QMimeType>
#include <QString>
#include <QStringList>

#include <array>

namespace quillmere::details::readers {

// What the readers found in one file's embedded metadata, by detail column (12 to 40).
class EmbeddedDetails {
public:
    // Adds one value: blanks at both ends and control characters are dropped, an empty value is
    // ignored, and each distinct value is kept once, in the order the sources were read.
    void add(int column, const QString& value);
    QString joined(int column) const; // the values joined with "; "
    bool isEmpty() const;

private:
    std::array<QStringList, column::Count> values_;
};

using details::FileToRead;

// The request's own descriptor when it has one (borrowed, left open), else its path opened anew.
inline app::fs::RegularFile openToRead(const FileToRead& file) {
    if (file.descriptor >= 0)
        return app::fs::RegularFile::borrowing(file.descriptor);
    return app::fs::RegularFile(file.nativePath);
}

// The reader of one family of files (details/reader_families.h). A reader never throws, never
// writes to stderr, and bounds every read, whatever the file holds. Readers are used from several
// threads at once.
class Reader {
public:
    virtual ~Reader() = default;
    // Reads what it can into `out`; false when the file is not of the reader's kind after all,
    // so the caller may ask the MIME database by content and try another reader.
    virtual bool read(const FileToRead& file, EmbeddedDetails& out) const = 0;
    // Loads and sets up everything the reader would otherwise fetch from disk on first use, so
    // that it can then read where no file can be opened by name.
    virtual void prepare() const {}
};

// One reader per family, each defined in its own file.
const Reader& imageReader(); // exif.cpp: JPEG segments, exiv2 (TIFF, PNG, WebP, raw), PNG text
const Reader& imageHeaderReader();  // image_header.cpp: sizes of BMP, GIF, ICO, PCX, PNM, XCF
const Reader& heifReader();         // heif.cpp
const Reader& jpegXlReader();       // jpeg_xl.cpp
const Reader& audioReader();        // audio.cpp
const Reader& videoReader();        // video.cpp
const Reader& pdfReader();          // pdf.cpp
const Reader& officeReader();       // office.cpp: Office Open XML and OpenDocument packages
const Reader& legacyOfficeReader(); // legacy_office.cpp: OLE2 .doc, .xls, .ppt

// Types that a second reader completes (filled_in.cpp): raw AAC and MP4 audio read by TagLib,
// AVIF by libheif, each followed by libavformat for the columns they left empty.
const Reader& aacReader();
const Reader& mp4AudioReader();
const Reader& avifReader();

// The first reader that handles the type, or nullptr.
const Reader* readerFor(const QMimeType& type);

// A reader's place among all readers and back, so a reader can be named across processes.
int readerNumber(const Reader& reader);
// Null when there is no such reader, or this build has none for that family (the lean helper).
const Reader* readerByNumber(int number);

// Runs a reader, which must not throw. One that does anyway keeps what it found before the fault
// and sets `incomplete`; running out of memory is passed on, for the caller's own limit.
bool readKeepingWhatWasFound(const Reader& reader, const FileToRead& file, EmbeddedDetails& out,
                             bool& incomplete);

} // namespace quillmere::details::readers
