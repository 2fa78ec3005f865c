#pragma once

#include "search/store/file_signature.h"
#include "search/store/stored_details.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace quillmere::search::store {

struct StoreOptions {
    // Where the store lives; defaultFolder() when empty.
    QString folder;
    // Past this many bytes on disk, the database and its write-ahead log together, the least
    // recently used entries are dropped and the log is emptied.
    qint64 sizeLimit = qint64(512) << 20;
    // A file that changed this shortly before it was read may change again within the same tick
    // of the file system's clock, leaving its signature as it was: it is not remembered. This
    // long for times in whole seconds (FAT keeps two-second times); a twentieth for finer ones.
    std::chrono::nanoseconds settleTime = std::chrono::seconds(2);
    // Nanoseconds since the epoch; the system's clock when not given.
    std::function<qint64()> clock;
};

struct StoreFigures {
    quint64 hits = 0;   // files whose details came from the store in this run
    quint64 misses = 0; // files asked for and not found, or found changed
    qint64 entries = 0;
    qint64 bytes = 0;        // the database and its write-ahead log on disk
    QString setAside;        // why the store was not used in this run; empty when it was
    bool distrusted = false; // not used because someone else could have changed it
    // Writes given up: the queue was full, or they were not written in the time given.
    quint64 dropped = 0;
    QString writeProblem; // why writing failed in this run (a full disk ...); empty when it did not
};

// The embedded details of files read before, kept on disk across runs and shared by every
// Quillmere process of the user: an SQLite database in write-ahead-log mode. An entry holds the
// file's native path, its signature, the readers' version and, where it matters, the display
// format; it is used only when all of them agree.
//
// Nothing here may break a search: a store that cannot be opened, is damaged, read-only or held
// locked is set aside (a damaged file is renamed and rebuilt) and every lookup is a miss. Writes
// go through a queue, bounded in entries and in bytes, to a thread of the store's own and are
// committed in batches. Thread-safe.
class DetailStore {
public:
    static constexpr const char* fileName = "details.sqlite";
    // $XDG_CACHE_HOME/Vantrel/Quillmere, the cache location of our organisation and application;
    // empty when there is none, and then no store is used.
    static QString defaultFolder();

    explicit DetailStore(StoreOptions options = {});
    ~DetailStore(); // writes what is queued, then closes
    DetailStore(const DetailStore&) = delete;
    DetailStore& operator=(const DetailStore&) = delete;

    QString filePath() const;

    // The details kept for the file when its signature, the readers' version and, for details
    // written in the display format, that format are the same as now.
    bool find(const QByteArray& nativePath, const FileSignature& signature, StoredDetails& out);
    // Queues the details of a file just read; never waits for the disk.
    void keep(const QByteArray& nativePath, const FileSignature& signature,
              const StoredDetails& details);

    // Waits until everything queued so far is written or given up.
    void flush();
    // The same, for at most `timeout`; what is then still queued is dropped. False when
    // anything was.
    bool flushWithin(std::chrono::milliseconds timeout);
    StoreFigures figures(); // flushes first
    // Left alone because someone else could have changed it; waits until the store is open.
    bool distrusted();
    // Why a write failed in this run (the first such reason), or empty: cheap, unlike figures().
    QString writeProblem();

    class Impl; // defined in the source file only

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace quillmere::search::store
