#pragma once

#include "details/column_ids.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <span>

namespace quillmere::search {

namespace store {
class DetailStore;
}
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

    // `nativePath` is the entry's absolute path as the file system's own bytes.
    explicit DetailColumns(QByteArray nativePath);
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

    // The embedded details (12 to 40) of every file read so far are kept for the whole process,
    // by path and by the file's device, inode, size, modification and change times, so that
    // another search of the same files reads none of them again unless it changed. Thread-safe.
    // At most `limit` files are kept; the one kept longest goes first.
    struct CacheFigures {
        quint64 reads = 0;      // files whose embedded details were read
        quint64 reuses = 0;     // files whose kept details were used instead
        quint64 remembered = 0; // files whose details came from the detail store
        qsizetype kept = 0;
    };
    static CacheFigures cacheFigures();
    static void clearCache();
    static void setCacheLimit(qsizetype limit); // 200,000 files unless set

    // Details not kept in this process are then looked for in the store, which remembers them
    // across runs, and what is read is handed to it. None until set; nullptr stops using it.
    static void useStore(std::shared_ptr<store::DetailStore> store);
    // Writes what the store has queued, waiting at most `timeout`; the rest is dropped. False
    // when anything was.
    static bool writeStore(std::chrono::milliseconds timeout);

    // Told, from the thread that asked, of every file whose reader failed in its helper, and of
    // every file the store remembers that for: the same cause either way. nullptr stops.
    using FaultListener = std::function<void(const QByteArray& nativePath, const QString& cause)>;
    static void setFaultListener(FaultListener listener);

    // Works out the embedded details of many items together, as value() of an embedded column
    // would for each: the files a helper reads go to it as one batch, and the files of a next
    // round (a reader the content points to) as another.
    static void readEmbeddedTogether(std::span<DetailColumns* const> items);

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
    std::unique_ptr<State> state_;
};

} // namespace quillmere::search
