#include "search/extraction/extraction.h"

#include "details/readers/reader.h"
#include "search/extraction/helper_pool.h"

#include <QHash>

#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <tuple>

#include <climits>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::search::extraction {

namespace {

constexpr const char* HelperName = "quillmere-extract";

struct Shared {
    std::shared_mutex mutex;
    Settings settings;
    quint64 generation = 1;
    FaultListener listener;
};

Shared& shared() {
    static Shared* const state = new Shared; // outlives threads that read while the process ends
    return *state;
}

QByteArray besideExecutable() {
    QByteArray self(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), size_t(self.size()));
    if (n <= 0 || n >= self.size())
        return {};
    self.truncate(qsizetype(n));
    const qsizetype slash = self.lastIndexOf('/');
    if (slash < 0)
        return {};
    return self.left(slash + 1) + HelperName;
}

// A file, as long as it stays the same file: which files failed, so none is tried twice.
struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    qint64 modified;
    qint64 changed;
    bool operator==(const FileIdentity&) const = default;
};

size_t qHash(const FileIdentity& id, size_t seed = 0) {
    return qHashMulti(seed, quint64(id.device), quint64(id.inode), qint64(id.size), id.modified,
                      id.changed);
}

bool identify(int fd, FileIdentity& id) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    id = {st.st_dev, st.st_ino, st.st_size,
          qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
          qint64(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
    return true;
}

class FailedFiles {
public:
    bool find(const FileIdentity& id, Extraction& failed) {
        std::lock_guard lock(mutex_);
        const auto it = failed_.constFind(id);
        if (it == failed_.constEnd())
            return false;
        failed.failure = it->failure;
        failed.lasting = it->lasting;
        return true;
    }
    void remember(const FileIdentity& id, const Extraction& failed) {
        std::lock_guard lock(mutex_);
        failed_.insert(id, {failed.failure, failed.lasting});
    }

private:
    struct Fault {
        QString failure;
        bool lasting;
    };
    std::mutex mutex_;
    QHash<FileIdentity, Fault> failed_;
};

FailedFiles& failedFiles() {
    static FailedFiles* const files = new FailedFiles;
    return *files;
}

// A kernel built without seccomp cannot confine a helper at all; only there do the readers run in
// this process unasked. A seccomp filter around this process (a container's) is no such kernel.
bool kernelHasSeccomp() {
    static const bool has = ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0 || errno != EINVAL;
    return has;
}

// Once starting a helper has failed, it is tried again at most once a second and by one thread at
// a time: a try may take the whole start-up deadline, and the files in between must not wait for
// it. By time rather than by folder, because the readers do not know folders and a tree of many
// small folders would otherwise pay a try for each.
class StartGate {
public:
    static constexpr std::chrono::seconds Pause{1};

    // True when the calling thread may try to start a helper now; it then calls `leave`.
    bool enter(quint64 generation) {
        std::lock_guard lock(mutex_);
        if (generation != generation_) { // new settings: the old failures say nothing of them
            generation_ = generation;
            trying_ = false;
            failing_ = false;
        }
        if (!failing_)
            return true;
        if (trying_ || std::chrono::steady_clock::now() < retryAt_)
            return false;
        trying_ = true;
        return true;
    }
    void leave(quint64 generation, bool started) {
        std::lock_guard lock(mutex_);
        if (generation != generation_)
            return;
        trying_ = false;
        failing_ = !started;
        if (failing_)
            retryAt_ = std::chrono::steady_clock::now() + Pause;
    }

private:
    std::mutex mutex_;
    quint64 generation_ = 0;
    bool trying_ = false;
    bool failing_ = false;
    std::chrono::steady_clock::time_point retryAt_{};
};

StartGate& startGate() {
    static StartGate* const gate = new StartGate;
    return *gate;
}

struct Notices {
    std::mutex mutex;
    ReadingNotice notice;
};

Notices& notices() {
    static Notices* const kept = new Notices;
    return *kept;
}

// `cause` is empty when no start was tried for this file: the last try's words still hold.
Extraction notRead(HelperFault fault, const QString& cause) {
    std::lock_guard lock(notices().mutex);
    ReadingNotice& notice = notices().notice;
    ++notice.notRead;
    notice.fault = fault;
    if (!cause.isEmpty())
        notice.cause = cause;
    Extraction none;
    none.outcome = Extraction::Outcome::NotRead;
    return none;
}

Extraction readInProcess(const details::readers::Reader& reader,
                         const details::readers::FileToRead& file) {
    details::readers::EmbeddedDetails found;
    Extraction result;
    result.outcome =
        details::readers::readKeepingWhatWasFound(reader, file, found, result.incomplete)
            ? Extraction::Outcome::Read
            : Extraction::Outcome::NotItsKind;
    for (int c = details::column::FirstEmbedded; c < details::column::Count; ++c)
        result.values[size_t(c - details::column::FirstEmbedded)] = found.joined(c);
    // The same bounds as an answer from a helper, so both give the same rows.
    details::cutToBounds(result.values);
    return result;
}

Extraction readOutsideSandbox(const details::readers::Reader& reader,
                              const details::readers::FileToRead& file, ReadHereBecause because) {
    {
        std::lock_guard lock(notices().mutex);
        ++notices().notice.readHere;
        notices().notice.because = because;
    }
    return readInProcess(reader, file);
}

void tellListener(const QByteArray& nativePath, const QString& cause) {
    FaultListener listener;
    {
        std::shared_lock lock(shared().mutex);
        listener = shared().listener;
    }
    if (listener)
        listener(nativePath, cause);
}

} // namespace

void configure(const Settings& settings) {
    {
        std::unique_lock lock(shared().mutex);
        shared().settings = settings;
        ++shared().generation;
    }
    HelperPool::instance().dropIdle();
    // Its helpers' processor time is the engine's to count once it ended.
    ZygoteKeeper::instance().retire();
}

Settings currentSettings() {
    std::shared_lock lock(shared().mutex);
    return shared().settings;
}

QByteArray helperProgram() {
    QByteArray program = currentSettings().program;
    if (program.isEmpty()) {
        static const QByteArray beside = besideExecutable();
        program = beside;
    }
    return !program.isEmpty() && ::access(program.constData(), X_OK) == 0 ? program : QByteArray();
}

ReadingNotice readingNotice() {
    std::lock_guard lock(notices().mutex);
    return notices().notice;
}

void setFaultListener(FaultListener listener) {
    std::unique_lock lock(shared().mutex);
    shared().listener = std::move(listener);
}

void endReadingOnThisThread() {
    HelperPool::instance().retireThisThreads();
}

std::vector<pid_t> runningHelpers() {
    quint64 generation = 0;
    {
        std::shared_lock lock(shared().mutex);
        generation = shared().generation;
    }
    return HelperPool::instance().runningPids(generation);
}

pid_t runningZygote() {
    return ZygoteKeeper::instance().runningPid();
}

namespace {

// One call's files on their way through the calling thread's helper.
class BatchReading {
public:
    BatchReading(std::span<const FileRead> files, std::vector<Extraction>& results)
        : files_(files), results_(results), numbers_(files.size(), -1), ids_(files.size()),
          identified_(files.size(), false) {}

    // `program` is the calling thread's: found again here when it was missing.
    void run(const Settings& settings, QByteArray& program, quint64 generation) {
        std::deque<size_t> queue;
        for (size_t i = 0; i < files_.size(); ++i) {
            const FileRead& read = files_[i];
            numbers_[i] = details::readers::readerNumber(*read.reader);
            if (numbers_[i] < 0 || read.file->descriptor < 0) {
                results_[i] = readInProcess(*read.reader, *read.file);
                continue;
            }
            results_[i].outcome = Extraction::Outcome::Failed;
            identified_[i] = identify(read.file->descriptor, ids_[i]);
            if (!identified_[i] || !failedFiles().find(ids_[i], results_[i]))
                queue.push_back(i);
        }
        while (!queue.empty()) {
            // A batch holds the files of one folder: all a helper may ever lie about.
            std::vector<size_t> batch;
            while (!queue.empty() && batch.size() < size_t(details::MaxBatchFiles) &&
                   (batch.empty() || folderOf(batch.front()) == folderOf(queue.front()))) {
                batch.push_back(queue.front());
                queue.pop_front();
            }
            HelperProcess* helper =
                program.isEmpty()
                    ? nullptr
                    : &HelperPool::instance().forThisThread(program, settings.limits, generation);
            if (helper && !helper->takes(folderOf(batch.front()), batch.size()))
                helper->retire();
            // Files not sent are left unread, this batch's first.
            const auto leaveRest = [&](HelperFault fault, const QString& cause) {
                queue.insert(queue.begin(), batch.begin(), batch.end());
                leaveUnread(queue, fault, cause);
            };
            const bool starting = !helper || !helper->isRunning();
            if (starting) {
                if (!startGate().enter(generation))
                    return leaveRest(
                        program.isEmpty() ? HelperFault::Missing : HelperFault::CannotStart, {});
                if (program.isEmpty())
                    program = helperProgram(); // it may have been installed since
                if (program.isEmpty()) {
                    startGate().leave(generation, false);
                    return leaveRest(HelperFault::Missing,
                                     QStringLiteral("the reader helper could not start: ") +
                                         HelperName +
                                         QStringLiteral(" is not installed beside this program"));
                }
                helper =
                    &HelperPool::instance().forThisThread(program, settings.limits, generation);
            }
            std::vector<bool> answered(batch.size(), false);
            const HelperProcess::Outcome outcome = send(*helper, batch, answered);
            if (starting)
                startGate().leave(generation,
                                  outcome.kind != HelperProcess::Outcome::Kind::NotStarted);
            if (outcome.kind == HelperProcess::Outcome::Kind::Whole) {
                if (helper->isRunning())
                    helper->noteFolder(folderOf(batch.front()));
                continue;
            }
            if (outcome.kind == HelperProcess::Outcome::Kind::NotStarted) {
                // Never read here instead: a file that would take over a parser must meet the
                // sandbox.
                return leaveRest(HelperFault::CannotStart, outcome.failure);
            }
            for (size_t i = 0; i < batch.size(); ++i) {
                if (answered[i])
                    results_[batch[i]].untrusted = true;
            }
            retryAlone(*helper, batch[outcome.culprit], outcome);
            // The rest of the batch goes to a fresh helper, in order, before anything after it.
            for (size_t i = batch.size(); i-- > 0;) {
                if (!answered[i] && i != outcome.culprit)
                    queue.push_front(batch[i]);
            }
        }
    }

private:
    HelperProcess::Outcome send(HelperProcess& helper, const std::vector<size_t>& batch,
                                std::vector<bool>& answered) {
        std::vector<HelperProcess::File> list;
        list.reserve(batch.size());
        for (const size_t i : batch)
            list.push_back({numbers_[i], files_[i].file->descriptor, files_[i].file->size});
        return helper.read(list, [&](size_t index, details::Answer& answer) {
            answered[index] = true;
            Extraction& result = results_[batch[index]];
            result.outcome =
                answer.read ? Extraction::Outcome::Read : Extraction::Outcome::NotItsKind;
            result.incomplete = answer.incomplete;
            result.life = helper.life();
            for (size_t c = 0; c < answer.values.size(); ++c)
                result.values[c] = std::move(answer.values[c]);
        });
    }

    // The helper may have been killed from outside or starved on a busy machine: the file gets a
    // fresh helper of its own before it loses its details. That helper read a file that may take
    // a parser over, so it reads nothing else.
    void retryAlone(HelperProcess& helper, size_t i, HelperProcess::Outcome first) {
        std::vector<bool> answered(1, false);
        HelperProcess::Outcome again = send(helper, {i}, answered);
        helper.retire();
        if (again.kind == HelperProcess::Outcome::Kind::Whole)
            return;
        if (again.kind != HelperProcess::Outcome::Kind::NotStarted)
            first = std::move(again);
        Extraction& result = results_[i];
        result = Extraction{};
        result.outcome = Extraction::Outcome::Failed;
        result.failure = first.failure;
        result.lasting = first.lasting;
        if (identified_[i])
            failedFiles().remember(ids_[i], result);
        tellListener(files_[i].file->nativePath, result.failure);
    }

    // The folder of a file, with its last slash.
    QByteArrayView folderOf(size_t i) const {
        const QByteArray& path = files_[i].file->nativePath;
        return QByteArrayView(path).first(path.lastIndexOf('/') + 1);
    }

    // No helper could start: these files keep the details that need no reader.
    void leaveUnread(const std::deque<size_t>& left, HelperFault fault, const QString& cause) {
        for (const size_t i : left)
            results_[i] = notRead(fault, i == left.front() ? cause : QString());
    }

    const std::span<const FileRead> files_;
    std::vector<Extraction>& results_;
    std::vector<int> numbers_;
    std::vector<FileIdentity> ids_;
    std::vector<bool> identified_;
};

} // namespace

std::vector<Extraction> extract(std::span<const FileRead> files) {
    Settings settings;
    quint64 generation = 0;
    {
        std::shared_lock lock(shared().mutex);
        settings = shared().settings;
        generation = shared().generation;
    }
    std::vector<Extraction> results(files.size());
    if (settings.isolation == Isolation::InProcess || !kernelHasSeccomp()) {
        const ReadHereBecause because = settings.isolation == Isolation::InProcess
                                            ? ReadHereBecause::Asked
                                            : ReadHereBecause::NoSeccomp;
        for (size_t i = 0; i < files.size(); ++i)
            results[i] = readOutsideSandbox(*files[i].reader, *files[i].file, because);
        return results;
    }
    thread_local QByteArray program;
    thread_local quint64 programGeneration = 0;
    if (programGeneration != generation) {
        program = helperProgram();
        programGeneration = generation;
    }
    BatchReading(files, results).run(settings, program, generation);
    return results;
}

Extraction extract(const details::readers::Reader& reader,
                   const details::readers::FileToRead& file) {
    const FileRead one{&reader, &file};
    return std::move(extract(std::span<const FileRead>(&one, 1)).front());
}

} // namespace quillmere::search::extraction
