#include "search/store/detail_store.h"

#include "search/extraction/reader_module.h"
#include "search/store/display_format.h"
#include "search/store/sqlite_support.h"
#include "search/store/stable_hash.h"
#include "search/store/store_files.h"

#include <QFile>
#include <QHash>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <variant>
#include <vector>

namespace quillmere::search::store {

namespace {

using namespace std::chrono_literals;

// 2: a fault keeps its kind and cause. A store of version 1 is emptied and made anew, not
// carried over: its entries cannot tell a reader that crashed from a file without details.
// A store of a later version is left alone for the run.
constexpr int schemaVersion = 2;
// Lookups wait this long at most for the store to open; a locked store is skipped after it.
constexpr auto openingWait = 400ms;
constexpr int openingBusyMs = 250;
constexpr int readBusyMs = 50;
constexpr int writeBusyMs = 1000;
// Lock waits or failures after which reading or writing stops for the rest of the run.
constexpr int failuresTolerated = 3;
// Writes wait for this many to gather, or for this long, so a commit carries many entries.
constexpr qsizetype batchSize = 512;
constexpr auto gatherTime = 200ms;
// Beyond this many queued writes, or this many bytes in them (the batch being written counted),
// new ones are dropped rather than hold memory.
constexpr qsizetype maxQueued = 8192;
constexpr qint64 maxQueuedBytes = qint64(8) << 20;
// A folder's entries are loaded at once when the walk enters it, unless there are more than
// this; then each file is looked up alone.
constexpr qint64 maxFolderRows = 20000;
constexpr qsizetype maxLoadedRows = 50000;
constexpr qsizetype maxLoadedFolders = 32;
// The same in bytes, a folder alone or all loaded together: entries may be large (a file's values
// may reach a megabyte), and what a folder of them holds would otherwise all be in memory at once.
constexpr qint64 maxLoadedBytes = qint64(24) << 20;
// The write-ahead log counts against the size limit: past this many bytes (or an eighth of a
// smaller limit) it is written into the database and emptied after a commit; the entries keep
// to the rest of the limit.
constexpr qint64 maxLogBytes = qint64(16) << 20;
// How stale an entry's time of last use may get before it is written again.
constexpr qint64 touchAfterNs = 24LL * 3600 * 1'000'000'000;

const char* const createSql = "CREATE TABLE IF NOT EXISTS entries("
                              " folder BLOB NOT NULL, name BLOB NOT NULL,"
                              " device INTEGER NOT NULL, inode INTEGER NOT NULL,"
                              " size INTEGER NOT NULL, modified INTEGER NOT NULL,"
                              " changed INTEGER NOT NULL, readers INTEGER NOT NULL,"
                              " format INTEGER NOT NULL, used INTEGER NOT NULL,"
                              " details BLOB NOT NULL, checksum INTEGER NOT NULL,"
                              " PRIMARY KEY(folder, name)) WITHOUT ROWID";
const char* const columnsSql = "SELECT name, device, inode, size, modified, changed, readers, "
                               "format, used, details, checksum FROM entries ";

qint64 systemNow() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct SplitPath {
    QByteArray folder;
    QByteArray name;
};

SplitPath split(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    return {path.left(std::max<qsizetype>(slash, 0)), path.mid(slash + 1)};
}

// The same without copying: both halves point into `path`, so they must not outlive it, and
// anything kept beyond the call takes a copy (owned()).
SplitPath splitInPlace(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    return {QByteArray::fromRawData(path.constData(), std::max<qsizetype>(slash, 0)),
            QByteArray::fromRawData(path.constData() + slash + 1, path.size() - slash - 1)};
}

QByteArray owned(const QByteArray& bytes) {
    return {bytes.constData(), bytes.size()};
}

struct Row {
    FileSignature signature;
    qint64 readers = 0;
    qint64 format = 0;
    qint64 used = 0;
    QByteArray details;
    qint64 checksum = 0;
    bool asked = false; // looked up in this run, so not one to prune
};

// The part of an entry's checksum that its folder gives, the same for all entries in it.
quint64 folderChecksum(const QByteArray& folder) {
    return stableHash(qint64(folder.size()), stableHash(folder));
}

// Damage that SQLite cannot see (a byte changed inside an entry) must not show as a detail.
qint64 checksumOf(quint64 folderPart, const QByteArray& name, const Row& row) {
    quint64 hash = stableHash(name, folderPart);
    for (const qint64 number :
         {qint64(name.size()), qint64(row.signature.device), qint64(row.signature.inode),
          row.signature.size, row.signature.modified, row.signature.changed, row.readers,
          row.format})
        hash = stableHash(number, hash);
    return qint64(stableHash(row.details, hash));
}

// Columns as columnsSql lists them, the name first.
Row rowFrom(const Statement& s) {
    Row row;
    row.signature = {quint64(s.number(1)), quint64(s.number(2)), s.number(3), s.number(4),
                     s.number(5)};
    row.readers = s.number(6);
    row.format = s.number(7);
    row.used = s.number(8);
    row.details = s.blob(9);
    row.checksum = s.number(10);
    return row;
}

// A folder's entries in the order of their names' bytes, found by halving: no name is hashed,
// neither when the folder is loaded nor when an item is looked up.
struct LoadedFolder {
    std::vector<std::pair<QByteArray, Row>> rows;
    bool complete = true; // false: too many to load, each name is looked up alone
    qint64 bytes = 0;     // of the rows' names and details

    Row* find(const QByteArray& name) {
        const auto at = std::lower_bound(rows.begin(), rows.end(), name,
                                         [](const std::pair<QByteArray, Row>& entry,
                                            const QByteArray& n) { return entry.first < n; });
        return at != rows.end() && at->first == name ? &at->second : nullptr;
    }
};

struct Put {
    QByteArray folder, name;
    FileSignature signature;
    bool inDisplayFormat = false;
    QByteArray details;
};
struct Touch {
    QByteArray folder;
    QByteArray name; // empty: every entry of the folder
};
// Names kept for the folder that no lookup asked for: dropped if the file is gone.
struct Prune {
    QByteArray folder;
    QList<QByteArray> names;
};
using Job = std::variant<Put, Touch, Prune>;

// What a job holds in memory, roughly.
qint64 jobBytes(const Job& job) noexcept {
    constexpr qint64 overhead = 64;
    if (const Put* put = std::get_if<Put>(&job))
        return overhead + put->folder.size() + put->name.size() + put->details.size();
    if (const Touch* touch = std::get_if<Touch>(&job))
        return overhead + touch->folder.size() + touch->name.size();
    const Prune* prune = std::get_if<Prune>(&job);
    qint64 bytes = overhead + prune->folder.size();
    for (const QByteArray& name : prune->names)
        bytes += overhead + name.size();
    return bytes;
}

// What the entries' details are read with. When the readers cannot be asked, a key of this
// process alone: it trusts nothing remembered before, and no later process trusts what it
// remembers.
quint64 readersKey(const QString& rememberedFile) {
    const QByteArray version = extraction::readersVersion({}, rememberedFile);
    if (!version.isEmpty())
        return stableHash(version);
    static const quint64 ownKey = [] {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return stableHash(qint64(now.tv_nsec),
                          stableHash(qint64(now.tv_sec), stableHash(qint64(::getpid()), 1)));
    }();
    return ownKey;
}

} // namespace

class DetailStore::Impl {
public:
    explicit Impl(StoreOptions o);
    ~Impl();

    bool find(const QByteArray& path, const FileSignature& signature, StoredDetails& out);
    void keep(const QByteArray& path, const FileSignature& signature, const StoredDetails& details);
    void flush();
    bool flushWithin(std::chrono::milliseconds timeout);
    StoreFigures figures();
    bool distrusted();
    QString writeProblem();

    StoreOptions options;
    QByteArray folder;
    QByteArray path;

private:
    enum class Phase { Opening, Ready, Unusable };

    qint64 now() const { return options.clock ? options.clock() : systemNow(); }
    bool waitUntilReady();
    void markUnusable(const QString& reason);

    // Reading side, under readMutex_.
    bool lookup(const SplitPath& at, Row& row);
    LoadedFolder* load(const QByteArray& folderPath);
    bool lookupOne(const SplitPath& at, Row& row);
    void dropLoadedOverLimit();
    void readFailed(const SqlError& error);
    Prune pruneOf(const QByteArray& folderPath, const LoadedFolder& loaded) const;

    // Writing side, on the writer thread.
    void enqueue(Job job);
    void run();
    SqlError setUp();
    SqlError openWriter();
    SqlError makeTable();
    SqlError checkSchema();
    SqlError prepareWrites();
    SqlError openReader();
    void write(std::vector<Job>& batch);
    SqlError apply(const Put& put);
    SqlError apply(const Touch& touch);
    SqlError apply(const Prune& prune);
    void writeFailed(const SqlError& error);
    void keepUnderLimit();
    qint64 logLimit() const;
    qint64 logBytes() const;
    void emptyLog();
    void closeAll();

    std::atomic<quint64> hits_{0};
    std::atomic<quint64> misses_{0};
    std::atomic<bool> damaged_{false};
    std::atomic<bool> distrusted_{false};
    std::atomic<bool> writesOff_{false};

    std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    Phase phase_ = Phase::Opening;
    QString setAsideReason_;
    std::chrono::steady_clock::time_point openingDeadline_;
    quint64 readersKey_ = 0; // written before Ready, read after
    quint64 formatKey_ = 0;

    std::mutex readMutex_;
    Database reader_;
    Statement selectFolder_, selectOne_, countEntries_;
    QHash<QByteArray, LoadedFolder> loaded_;
    // The folder of the last lookup, which the next one is most likely in; null when none.
    LoadedFolder* lastLoaded_ = nullptr;
    QByteArray lastFolder_;
    quint64 lastFolderChecksum_ = 0; // of lastFolder_
    std::deque<QByteArray> loadOrder_;
    qsizetype loadedRows_ = 0;
    qint64 loadedBytes_ = 0;
    int readFailures_ = 0;
    bool readsOff_ = false;

    std::mutex queueMutex_;
    std::condition_variable queued_;
    std::condition_variable written_;
    std::deque<Job> queue_;
    qint64 queuedBytes_ = 0; // of the queue and the batch being written
    quint64 dropped_ = 0;
    quint64 submitted_ = 0;
    quint64 finished_ = 0;
    int flushWanted_ = 0;
    bool quitting_ = false;

    Database writer_;
    Statement put_, touchFolder_, touchOne_, remove_, evict_;
    int writeFailures_ = 0;
    QString writeProblem_; // under stateMutex_

    std::thread thread_;
};

DetailStore::Impl::Impl(StoreOptions o) : options(std::move(o)) {
    if (options.folder.isEmpty())
        options.folder = DetailStore::defaultFolder();
    folder = QFile::encodeName(options.folder);
    path = folder + '/' + DetailStore::fileName;
    openingDeadline_ = std::chrono::steady_clock::now() + openingWait;
    thread_ = std::thread([this] { run(); });
}

DetailStore::Impl::~Impl() {
    {
        std::lock_guard lock(readMutex_);
        for (auto it = loaded_.cbegin(); it != loaded_.cend(); ++it)
            enqueue(pruneOf(it.key(), it.value()));
        loaded_.clear();
        lastLoaded_ = nullptr;
    }
    {
        std::lock_guard lock(queueMutex_);
        quitting_ = true;
    }
    queued_.notify_all();
    thread_.join();
}

bool DetailStore::Impl::waitUntilReady() {
    std::unique_lock lock(stateMutex_);
    // The deadline moves once the readers' version is known (see setUp).
    while (phase_ == Phase::Opening && std::chrono::steady_clock::now() < openingDeadline_)
        stateChanged_.wait_until(lock, openingDeadline_);
    return phase_ == Phase::Ready && !damaged_;
}

void DetailStore::Impl::markUnusable(const QString& reason) {
    {
        std::lock_guard lock(stateMutex_);
        phase_ = Phase::Unusable;
        if (setAsideReason_.isEmpty())
            setAsideReason_ = reason;
    }
    writesOff_ = true;
    stateChanged_.notify_all();
}

bool DetailStore::Impl::find(const QByteArray& nativePath, const FileSignature& signature,
                             StoredDetails& out) {
    if (!waitUntilReady()) {
        ++misses_;
        return false;
    }
    Row row;
    bool found = false;
    quint64 folderPart = 0;
    const SplitPath at = splitInPlace(nativePath);
    {
        std::lock_guard lock(readMutex_);
        found = !readsOff_ && lookup(at, row);
        folderPart = lastFolderChecksum_;
    }
    // What is cheap to compare first; the checksum before anything of the entry is believed.
    found = found && row.signature == signature && quint64(row.readers) == readersKey_ &&
            (row.format == 0 || quint64(row.format) == formatKey_) &&
            row.checksum == checksumOf(folderPart, at.name, row) && decode(row.details, out);
    ++(found ? hits_ : misses_);
    return found;
}

bool DetailStore::Impl::lookup(const SplitPath& at, Row& row) {
    if (!lastLoaded_ || lastFolder_ != at.folder) {
        const auto it = loaded_.find(at.folder);
        lastLoaded_ = it != loaded_.end() ? &*it : load(owned(at.folder));
        lastFolder_ = owned(at.folder);
        lastFolderChecksum_ = folderChecksum(at.folder);
    }
    LoadedFolder* const folderRows = lastLoaded_;
    if (!folderRows)
        return false;
    if (!folderRows->complete)
        return lookupOne(at, row);
    Row* const found = folderRows->find(at.name);
    if (!found)
        return false;
    found->asked = true;
    row = *found;
    return true;
}

LoadedFolder* DetailStore::Impl::load(const QByteArray& folderPath) {
    LoadedFolder loadedFolder;
    const qint64 staleBefore = now() - touchAfterNs;
    bool stale = false;
    selectFolder_.bind(1, folderPath);
    selectFolder_.bind(2, maxFolderRows + 1);
    int code = SQLITE_ROW;
    bool tooLarge = false;
    while ((code = selectFolder_.step()) == SQLITE_ROW) {
        Row row = rowFrom(selectFolder_);
        stale = stale || row.used < staleBefore;
        QByteArray name = selectFolder_.blob(0);
        loadedFolder.bytes += name.size() + row.details.size();
        if (loadedFolder.bytes > maxLoadedBytes) {
            tooLarge = true;
            code = SQLITE_DONE;
            break;
        }
        loadedFolder.rows.emplace_back(std::move(name), std::move(row));
    }
    selectFolder_.reset();
    // The table's key gives them in this order already; a store that does not is still read.
    const auto byName = [](const std::pair<QByteArray, Row>& a,
                           const std::pair<QByteArray, Row>& b) { return a.first < b.first; };
    if (!std::is_sorted(loadedFolder.rows.begin(), loadedFolder.rows.end(), byName))
        std::sort(loadedFolder.rows.begin(), loadedFolder.rows.end(), byName);
    if (code != SQLITE_DONE) {
        readFailed(reader_.lastError());
        return nullptr;
    }
    if (qsizetype(loadedFolder.rows.size()) > maxFolderRows || tooLarge) {
        loadedFolder.rows.clear();
        loadedFolder.complete = false;
        loadedFolder.bytes = 0;
    } else if (stale) {
        enqueue(Touch{folderPath, {}});
    }
    loadedRows_ += qsizetype(loadedFolder.rows.size());
    loadedBytes_ += loadedFolder.bytes;
    loadOrder_.push_back(folderPath);
    loaded_.emplace(folderPath, std::move(loadedFolder));
    dropLoadedOverLimit(); // never the newest; erasing may move the others
    const auto it = loaded_.find(folderPath);
    return it != loaded_.end() ? &*it : nullptr;
}

void DetailStore::Impl::dropLoadedOverLimit() {
    while (loadOrder_.size() > 1 &&
           (qsizetype(loadOrder_.size()) > maxLoadedFolders || loadedRows_ > maxLoadedRows ||
            loadedBytes_ > maxLoadedBytes)) {
        const QByteArray oldest = loadOrder_.front();
        loadOrder_.pop_front();
        const auto it = loaded_.find(oldest);
        if (it == loaded_.end())
            continue;
        enqueue(pruneOf(oldest, *it));
        loadedRows_ -= qsizetype(it->rows.size());
        loadedBytes_ -= it->bytes;
        loaded_.erase(it);
    }
}

Prune DetailStore::Impl::pruneOf(const QByteArray& folderPath, const LoadedFolder& l) const {
    Prune prune{folderPath, {}};
    for (const auto& [name, row] : l.rows) {
        if (!row.asked)
            prune.names.append(name);
    }
    return prune;
}

bool DetailStore::Impl::lookupOne(const SplitPath& at, Row& row) {
    selectOne_.bind(1, at.folder);
    selectOne_.bind(2, at.name);
    const int code = selectOne_.step();
    if (code == SQLITE_ROW)
        row = rowFrom(selectOne_);
    selectOne_.reset();
    if (code != SQLITE_ROW && code != SQLITE_DONE) {
        readFailed(reader_.lastError());
        return false;
    }
    if (code == SQLITE_ROW && row.used < now() - touchAfterNs)
        enqueue(Touch{owned(at.folder), owned(at.name)});
    return code == SQLITE_ROW;
}

void DetailStore::Impl::readFailed(const SqlError& error) {
    if (error.meansDamaged()) {
        damaged_ = true;
        writesOff_ = true;
        readsOff_ = true;
    } else if (++readFailures_ >= failuresTolerated) {
        readsOff_ = true;
    }
}

void DetailStore::Impl::keep(const QByteArray& nativePath, const FileSignature& signature,
                             const StoredDetails& details) {
    // Whole seconds betray a file system that keeps coarse times; finer ones tick within
    // milliseconds, so a twentieth of the wait covers them.
    const qint64 settle = signature.changed % 1'000'000'000 == 0 ? options.settleTime.count()
                                                                 : options.settleTime.count() / 20;
    if (writesOff_ || signature.changed > now() - settle)
        return;
    SplitPath at = split(nativePath);
    enqueue(Put{std::move(at.folder), std::move(at.name), signature,
                details.dependsOnDisplayFormat(), encode(details)});
}

void DetailStore::Impl::enqueue(Job job) {
    bool wake = false;
    {
        const qint64 bytes = jobBytes(job);
        std::lock_guard lock(queueMutex_);
        if (quitting_ || qsizetype(queue_.size()) >= maxQueued ||
            queuedBytes_ + bytes > maxQueuedBytes) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(job));
        queuedBytes_ += bytes;
        ++submitted_;
        wake = qsizetype(queue_.size()) >= batchSize;
    }
    if (wake)
        queued_.notify_one();
}

void DetailStore::Impl::flush() {
    std::unique_lock lock(queueMutex_);
    const quint64 target = submitted_;
    ++flushWanted_;
    queued_.notify_one();
    written_.wait(lock, [&] { return finished_ >= target; });
    --flushWanted_;
}

bool DetailStore::Impl::flushWithin(std::chrono::milliseconds timeout) {
    std::unique_lock lock(queueMutex_);
    const quint64 target = submitted_;
    ++flushWanted_;
    queued_.notify_one();
    const bool whole = written_.wait_for(lock, timeout, [&] { return finished_ >= target; });
    --flushWanted_;
    if (whole)
        return true;
    // What the writer has not taken yet is given up; the batch it writes now is finished.
    for (const Job& job : queue_)
        queuedBytes_ -= jobBytes(job);
    dropped_ += queue_.size();
    finished_ += queue_.size();
    queue_.clear();
    lock.unlock();
    written_.notify_all();
    return false;
}

bool DetailStore::Impl::distrusted() {
    std::unique_lock lock(stateMutex_);
    stateChanged_.wait(lock, [this] { return phase_ != Phase::Opening; });
    return distrusted_;
}

QString DetailStore::Impl::writeProblem() {
    std::lock_guard lock(stateMutex_);
    return writeProblem_;
}

StoreFigures DetailStore::Impl::figures() {
    {
        std::unique_lock lock(stateMutex_);
        stateChanged_.wait(lock, [this] { return phase_ != Phase::Opening; });
    }
    flush();
    StoreFigures figures;
    figures.hits = hits_;
    figures.misses = misses_;
    {
        std::lock_guard lock(queueMutex_);
        figures.dropped = dropped_;
    }
    {
        std::lock_guard lock(stateMutex_);
        figures.setAside = setAsideReason_;
        figures.distrusted = distrusted_;
        figures.writeProblem = writeProblem_;
        if (damaged_ && figures.setAside.isEmpty())
            figures.setAside = QStringLiteral("damaged; set aside to be made anew");
    }
    if (!figures.setAside.isEmpty())
        return figures;
    std::lock_guard lock(readMutex_);
    if (countEntries_.isReady() && countEntries_.step() == SQLITE_ROW)
        figures.entries = countEntries_.number(0);
    countEntries_.reset();
    figures.bytes = bytesOnDisk(path);
    return figures;
}

void DetailStore::Impl::run() {
    const SqlError failure = setUp();
    if (failure.failed()) {
        closeAll();
        markUnusable(failure.text);
    } else {
        {
            std::lock_guard lock(stateMutex_);
            phase_ = Phase::Ready;
        }
        stateChanged_.notify_all();
    }
    for (;;) {
        std::vector<Job> batch;
        qint64 batchBytes = 0;
        {
            std::unique_lock lock(queueMutex_);
            queued_.wait(lock, [this] { return quitting_ || !queue_.empty(); });
            queued_.wait_for(lock, gatherTime, [this] {
                return quitting_ || flushWanted_ > 0 || qsizetype(queue_.size()) >= batchSize;
            });
            if (queue_.empty() && quitting_)
                break;
            const qsizetype take = std::min<qsizetype>(qsizetype(queue_.size()), 4 * batchSize);
            batch.reserve(size_t(take));
            for (qsizetype i = 0; i < take; ++i) {
                batchBytes += jobBytes(queue_.front());
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        write(batch);
        {
            std::lock_guard lock(queueMutex_);
            finished_ += batch.size();
            queuedBytes_ -= batchBytes;
        }
        written_.notify_all();
    }
    keepUnderLimit();
    // A log left behind would hold space that the limit no longer sees.
    emptyLog();
    closeAll();
    if (damaged_)
        setAside(path);
}

SqlError DetailStore::Impl::setUp() {
    formatKey_ = displayFormatKey();
    QString problem = distrustOf(folder, path);
    if (!problem.isEmpty()) {
        distrusted_ = true;
        return {SQLITE_CANTOPEN, problem};
    }
    problem = makePrivateFolder(folder);
    if (problem.isEmpty())
        problem = makePrivateFile(path);
    if (!problem.isEmpty())
        return {SQLITE_CANTOPEN, problem};
    readersKey_ = readersKey(QFile::decodeName(folder) + QStringLiteral("/readers-version"));
    {
        // Asking the reader module loads its libraries, which is work, not a wait on another
        // program: the wait for the store counts from here.
        std::lock_guard lock(stateMutex_);
        openingDeadline_ =
            std::max(openingDeadline_, std::chrono::steady_clock::now() + openingWait);
    }
    stateChanged_.notify_all();
    SqlError error = openWriter();
    if (error.meansDamaged()) {
        closeAll();
        setAside(path);
        problem = makePrivateFile(path);
        if (!problem.isEmpty())
            return {SQLITE_CANTOPEN, problem};
        error = openWriter();
    }
    if (!error.failed())
        error = openReader();
    if (!error.failed())
        keepUnderLimit();
    return error;
}

SqlError DetailStore::Impl::openWriter() {
    SqlError error = writer_.open(path, SQLITE_OPEN_READWRITE, openingBusyMs);
    if (error.failed())
        return error;
    if (sqlite3_db_readonly(writer_.handle(), "main") != 0)
        return {SQLITE_READONLY, QFile::decodeName(path) + QStringLiteral(" is read-only")};
    // Only a new, empty file takes this (and before the log is set up): lets dropped entries
    // give their space back to the file system.
    const qint64 pages = writer_.queryNumber("PRAGMA page_count", &error);
    if (!error.failed() && pages == 0)
        error = writer_.execute("PRAGMA auto_vacuum=INCREMENTAL");
    if (error.failed())
        return error;
    const QByteArray mode = writer_.queryText("PRAGMA journal_mode=WAL", &error);
    if (error.failed())
        return error;
    if (mode != "wal")
        return {SQLITE_READONLY,
                QStringLiteral("cannot keep a write-ahead log beside ") + QFile::decodeName(path)};
    const QByteArray logPragmas =
        "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=" + QByteArray::number(logLimit());
    if ((error = writer_.execute(logPragmas.constData())).failed())
        return error;
    // Checked again in one transaction, so that two processes making a new store at once do not
    // drop each other's table; an existing store takes no write lock here.
    const qint64 version = writer_.queryNumber("PRAGMA user_version", &error);
    if (error.failed())
        return error;
    if (version != schemaVersion && (error = writer_.execute("BEGIN IMMEDIATE")).failed())
        return error;
    if (version == schemaVersion)
        return (error = checkSchema()).failed() ? error : prepareWrites();
    error = makeTable();
    if (!error.failed())
        error = writer_.execute("COMMIT");
    if (error.failed()) {
        writer_.execute("ROLLBACK");
        return error;
    }
    return prepareWrites();
}

SqlError DetailStore::Impl::prepareWrites() {
    SqlError error;
    sqlite3_busy_timeout(writer_.handle(), writeBusyMs);
    if ((error = put_.prepare(writer_, "INSERT OR REPLACE INTO entries VALUES"
                                       "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"))
            .failed() ||
        (error = touchFolder_.prepare(
             writer_, "UPDATE entries SET used = ?1 WHERE folder = ?2 AND used < ?3"))
            .failed() ||
        (error = touchOne_.prepare(writer_,
                                   "UPDATE entries SET used = ?1 WHERE folder = ?2 AND name = ?3"))
            .failed() ||
        (error = remove_.prepare(writer_, "DELETE FROM entries WHERE folder = ?1 AND name = ?2"))
            .failed() ||
        (error =
             evict_.prepare(writer_, "DELETE FROM entries WHERE (folder, name) IN "
                                     "(SELECT folder, name FROM entries ORDER BY used LIMIT ?1)"))
            .failed())
        return error;
    return {};
}

// A store holds our one table and nothing else: a trigger, a view or a changed table planted in
// it would run, or show, on our writes. Such a store is set aside as damaged.
SqlError DetailStore::Impl::checkSchema() {
    SqlError error;
    const qint64 objects = writer_.queryNumber("SELECT count(*) FROM sqlite_schema", &error);
    const QByteArray table = writer_.queryText(
        "SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = 'entries'");
    if (error.failed())
        return error;
    // SQLite keeps the statement as written, less its IF NOT EXISTS.
    const QByteArray expected = QByteArray(createSql).replace("IF NOT EXISTS ", "");
    if (objects != 1 || table != expected)
        return {SQLITE_CORRUPT, QStringLiteral("holds more than the details")};
    // Without it the space that evictions free would stay in the file, outside the size limit.
    constexpr qint64 incrementalVacuum = 2;
    if (writer_.queryNumber("PRAGMA auto_vacuum", &error) != incrementalVacuum && !error.failed())
        return {SQLITE_CORRUPT, QStringLiteral("cannot give freed space back")};
    return error;
}

SqlError DetailStore::Impl::makeTable() {
    SqlError error;
    const qint64 version = writer_.queryNumber("PRAGMA user_version", &error);
    if (error.failed())
        return error;
    if (version > schemaVersion)
        return {SQLITE_CANTOPEN, QStringLiteral("made by a newer version of Quillmere")};
    if (version == schemaVersion)
        return {};
    // An older store of ours held its one table (and the index SQLite may have made for its key)
    // and nothing else; a new file holds nothing. Anything more was planted: damaged.
    const qint64 foreign = writer_.queryNumber(
        "SELECT count(*) FROM sqlite_schema WHERE NOT ((type = 'table' AND name = 'entries') OR "
        "(type = 'index' AND tbl_name = 'entries' AND name LIKE 'sqlite\\_autoindex\\_%' "
        "ESCAPE '\\'))",
        &error);
    if (error.failed())
        return error;
    if (foreign != 0)
        return {SQLITE_CORRUPT, QStringLiteral("holds more than the details")};
    if ((error = writer_.execute("DROP TABLE IF EXISTS entries")).failed() ||
        (error = writer_.execute(createSql)).failed() ||
        (error = writer_.execute("PRAGMA incremental_vacuum")).failed())
        return error;
    return writer_.execute(
        ("PRAGMA user_version=" + QByteArray::number(schemaVersion)).constData());
}

SqlError DetailStore::Impl::openReader() {
    std::lock_guard lock(readMutex_);
    SqlError error = reader_.open(path, SQLITE_OPEN_READWRITE, readBusyMs);
    if (error.failed())
        return error;
    // An entry larger than any this program writes is a miss before it takes memory.
    const QByteArray select = QByteArray(columnsSql) +
                              "WHERE length(details) <= " + QByteArray::number(MaxEncodedBytes) +
                              " AND ";
    if ((error = selectFolder_.prepare(reader_, select + "folder = ?1 LIMIT ?2")).failed() ||
        (error = selectOne_.prepare(reader_, select + "folder = ?1 AND name = ?2")).failed() ||
        (error = countEntries_.prepare(reader_, "SELECT count(*) FROM entries")).failed())
        return error;
    return {};
}

void DetailStore::Impl::write(std::vector<Job>& batch) {
    if (writesOff_ || batch.empty())
        return;
    // A reader of another process that keeps its snapshot keeps the log from being emptied:
    // rather than let the log grow past its share, the batch is given up.
    if (logBytes() > logLimit()) {
        emptyLog();
        if (logBytes() > logLimit()) {
            std::lock_guard lock(queueMutex_);
            dropped_ += batch.size();
            return;
        }
    }
    SqlError error = writer_.execute("BEGIN IMMEDIATE");
    if (error.failed())
        return writeFailed(error);
    for (const Job& job : batch) {
        error = std::visit([this](const auto& j) { return apply(j); }, job);
        if (error.failed())
            break;
    }
    if (!error.failed())
        error = writer_.execute("COMMIT");
    if (error.failed()) {
        writer_.execute("ROLLBACK");
        return writeFailed(error);
    }
    writeFailures_ = 0;
    keepUnderLimit();
}

SqlError DetailStore::Impl::apply(const Put& put) {
    Row row{put.signature, qint64(readersKey_), put.inDisplayFormat ? qint64(formatKey_) : 0,
            now(),         put.details,         0};
    put_.bind(1, put.folder);
    put_.bind(2, put.name);
    put_.bind(3, qint64(row.signature.device));
    put_.bind(4, qint64(row.signature.inode));
    put_.bind(5, row.signature.size);
    put_.bind(6, row.signature.modified);
    put_.bind(7, row.signature.changed);
    put_.bind(8, row.readers);
    put_.bind(9, row.format);
    put_.bind(10, row.used);
    put_.bind(11, row.details);
    put_.bind(12, checksumOf(folderChecksum(put.folder), put.name, row));
    const int code = put_.step();
    put_.reset();
    return code == SQLITE_DONE ? SqlError{} : writer_.lastError();
}

SqlError DetailStore::Impl::apply(const Touch& touch) {
    Statement& statement = touch.name.isEmpty() ? touchFolder_ : touchOne_;
    const qint64 time = now();
    statement.bind(1, time);
    statement.bind(2, touch.folder);
    if (touch.name.isEmpty())
        statement.bind(3, time - touchAfterNs);
    else
        statement.bind(3, touch.name);
    const int code = statement.step();
    statement.reset();
    return code == SQLITE_DONE ? SqlError{} : writer_.lastError();
}

SqlError DetailStore::Impl::apply(const Prune& prune) {
    for (const QByteArray& name : prune.names) {
        struct stat info {};
        const QByteArray file = prune.folder + '/' + name;
        if (::lstat(file.constData(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR))
            continue;
        remove_.bind(1, prune.folder);
        remove_.bind(2, name);
        const int code = remove_.step();
        remove_.reset();
        if (code != SQLITE_DONE)
            return writer_.lastError();
    }
    return {};
}

void DetailStore::Impl::writeFailed(const SqlError& error) {
    // Another Quillmere process writing at the same time is no problem worth telling.
    if (!error.meansLocked()) {
        std::lock_guard lock(stateMutex_);
        if (writeProblem_.isEmpty())
            writeProblem_ = error.text;
    }
    if (error.meansDamaged()) {
        damaged_ = true;
        writesOff_ = true;
    } else if (++writeFailures_ >= failuresTolerated) {
        writesOff_ = true;
    }
}

qint64 DetailStore::Impl::logLimit() const {
    return std::min(maxLogBytes, options.sizeLimit / 8);
}

qint64 DetailStore::Impl::logBytes() const {
    struct stat log {};
    return ::stat((path + "-wal").constData(), &log) == 0 ? qint64(log.st_size) : 0;
}

void DetailStore::Impl::emptyLog() {
    if (writesOff_ || !writer_.isOpen())
        return;
    // Readers that hold the log are not waited for long: it is tried again after the next write.
    sqlite3_busy_timeout(writer_.handle(), readBusyMs);
    writer_.queryNumber("PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_busy_timeout(writer_.handle(), writeBusyMs);
}

// The database and its log together stay under the limit after each commit: the entries under
// the limit less the log's share, the log emptied once it passes its share.
void DetailStore::Impl::keepUnderLimit() {
    if (writesOff_ || !writer_.isOpen())
        return;
    if (logBytes() > logLimit())
        emptyLog();
    // A log a reader holds on to would only grow by the evictions, not the database shrink.
    if (logBytes() > logLimit())
        return;
    const qint64 entriesLimit = options.sizeLimit - logLimit();
    bool evicted = false;
    for (int round = 0; round < 4; ++round) {
        SqlError error;
        const qint64 pageSize = writer_.queryNumber("PRAGMA page_size", &error);
        const qint64 pages = writer_.queryNumber("PRAGMA page_count", &error);
        const qint64 freePages = writer_.queryNumber("PRAGMA freelist_count", &error);
        const qint64 used = (pages - freePages) * pageSize;
        if (error.failed() || used <= entriesLimit)
            break;
        // Down to nine tenths of the limit, so that the next few writes do not evict again.
        const qint64 entries = writer_.queryNumber("SELECT count(*) FROM entries", &error);
        if (error.failed() || entries <= 0)
            break;
        const qint64 target = entriesLimit * 9 / 10;
        const double excess = double(used - target) / double(used);
        evict_.bind(1, std::max<qint64>(1, qint64(double(entries) * excess) + 1));
        const int code = evict_.step();
        evict_.reset();
        if (code != SQLITE_DONE)
            return writeFailed(writer_.lastError());
        writer_.execute("PRAGMA incremental_vacuum");
        evicted = true;
    }
    if (evicted)
        emptyLog();
}

void DetailStore::Impl::closeAll() {
    {
        std::lock_guard lock(readMutex_);
        selectFolder_ = {};
        selectOne_ = {};
        countEntries_ = {};
        reader_.close();
        readsOff_ = true;
    }
    put_ = {};
    touchFolder_ = {};
    touchOne_ = {};
    remove_ = {};
    evict_ = {};
    writer_.close();
}

QString DetailStore::defaultFolder() {
    // Empty without a home folder: never a folder below the root instead.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return cache.isEmpty() ? QString() : cache + QStringLiteral("/Vantrel/Quillmere");
}

DetailStore::DetailStore(StoreOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}
DetailStore::~DetailStore() = default;

QString DetailStore::filePath() const {
    return QFile::decodeName(impl_->path);
}

bool DetailStore::find(const QByteArray& nativePath, const FileSignature& signature,
                       StoredDetails& out) {
    return impl_->find(nativePath, signature, out);
}

void DetailStore::keep(const QByteArray& nativePath, const FileSignature& signature,
                       const StoredDetails& details) {
    impl_->keep(nativePath, signature, details);
}

void DetailStore::flush() {
    impl_->flush();
}

bool DetailStore::flushWithin(std::chrono::milliseconds timeout) {
    return impl_->flushWithin(timeout);
}

StoreFigures DetailStore::figures() {
    return impl_->figures();
}

bool DetailStore::distrusted() {
    return impl_->distrusted();
}

QString DetailStore::writeProblem() {
    return impl_->writeProblem();
}

} // namespace quillmere::search::store
