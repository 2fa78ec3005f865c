#pragma once

#include "details/column_ids.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <span>

namespace quillmere::search {

class DetailSources;
namespace extraction {
struct Extraction;
}

// The 41 numbered details of a file-system entry: 0 to 11 from the entry itself and the MIME
// database, 12 to 40 from the file's embedded metadata. One object per item; values are read
// lazily, so asking only for the name never opens the file. An object may be used from any one
// thread at a time; different objects may be used from different threads at once.
class DetailColumns {
public:
    // The title of a column, empty outside 0..40.
    static QString title(int column);

    // `nativePath` is the entry's absolute path as the file system's own bytes; `sources` give
    // the embedded details and must outlive the object.
    DetailColumns(QByteArray nativePath, DetailSources& sources);
    ~DetailColumns();
    DetailColumns(DetailColumns&&) noexcept;
    DetailColumns& operator=(DetailColumns&&) noexcept;

    const QByteArray& nativePath() const { return nativePath_; }

    // The value of one column, empty when the item has no such detail or it could not be read.
    // Each is worked out once. Item type, Perceived type and Kind go by the name (by the content
    // when the name says nothing); if reading the embedded details then shows that the name lied,
    // later calls give the content's type.
    QString value(int column);

    // What could not be read, in words a user understands (for `quillmere-cli details`).
    QStringList problems() const;

    // False when the entry was gone (or never there) when it was first asked about.
    bool exists();
    // The same, but an entry that is there and cannot be looked at (a path past the longest the
    // system takes, a folder that may be read but not entered) is not gone: it has its name.
    bool gone();

    // Works out the embedded details of many items together, as value() of an embedded column
    // would for each: the files a helper reads go to it as one batch, and the files of a next
    // round (a reader the content points to) as another. All items have the same sources.
    // `worked` is told of each item as soon as its details are worked out (in no set order), and
    // may let the item go: holding them all to the end would hold a megabyte a file.
    static void readEmbeddedTogether(std::span<DetailColumns* const> items,
                                     const std::function<void(DetailColumns&)>& worked = {});

    struct State; // defined in the source file only

private:
    QString compute(int column);
    void readEmbedded();
    // True when the file must be read; its next read is then waiting in the state.
    bool startEmbedded();
    // Takes what the last read found; true when another read is waiting.
    bool takeRead(extraction::Extraction& found);
    bool nextRead(const extraction::Extraction* found);
    void finishEmbedded();

    QByteArray nativePath_;
    DetailSources* sources_;
    std::unique_ptr<State> state_;
};

} // namespace quillmere::search
