#include "search/extraction/extraction.h"

#include "details/readers/reader.h"
#include "search/extraction/helper_pool.h"

#include <QHash>

#include <cerrno>
#include <chrono>
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
    return {Extraction::Outcome::NotRead, {}, {}, false, false};
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

Extraction extract(const details::readers::Reader& reader,
                   const details::readers::FileToRead& file) {
    Settings settings;
    quint64 generation = 0;
    {
        std::shared_lock lock(shared().mutex);
        settings = shared().settings;
        generation = shared().generation;
    }
    if (settings.isolation == Isolation::InProcess)
        return readOutsideSandbox(reader, file, ReadHereBecause::Asked);
    if (!kernelHasSeccomp())
        return readOutsideSandbox(reader, file, ReadHereBecause::NoSeccomp);
    const int number = details::readers::readerNumber(reader);
    if (number < 0 || file.descriptor < 0)
        return readInProcess(reader, file);
    thread_local QByteArray program;
    thread_local quint64 programGeneration = 0;
    if (programGeneration != generation) {
        program = helperProgram();
        programGeneration = generation;
    }

    Extraction result;
    result.outcome = Extraction::Outcome::Failed;
    FileIdentity id{};
    const bool identified = identify(file.descriptor, id);
    if (identified && failedFiles().find(id, result))
        return result;
    const bool starting =
        program.isEmpty() ||
        !HelperPool::instance().forThisThread(program, settings.limits, generation).isRunning();
    if (starting) {
        if (!startGate().enter(generation))
            return notRead(program.isEmpty() ? HelperFault::Missing : HelperFault::CannotStart, {});
        if (program.isEmpty())
            program = helperProgram(); // it may have been installed since
        if (program.isEmpty()) {
            startGate().leave(generation, false);
            return notRead(HelperFault::Missing,
                           QStringLiteral("the reader helper could not start: ") + HelperName +
                               QStringLiteral(" is not installed beside this program"));
        }
    }
    HelperProcess& helper =
        HelperPool::instance().forThisThread(program, settings.limits, generation);
    thread_local details::Answer answer;
    HelperProcess::Outcome outcome = helper.read(number, file.descriptor, file.size, answer);
    if (starting)
        startGate().leave(generation, outcome.kind != HelperProcess::Outcome::Kind::NotStarted);
    if (outcome.kind == HelperProcess::Outcome::Kind::Failed) {
        // The helper may have been killed from outside or starved on a busy machine: the file
        // gets a fresh helper of its own before it loses its details.
        HelperProcess::Outcome again = helper.read(number, file.descriptor, file.size, answer);
        if (again.kind != HelperProcess::Outcome::Kind::NotStarted)
            outcome = std::move(again);
    }
    switch (outcome.kind) {
    case HelperProcess::Outcome::Kind::Read:
    case HelperProcess::Outcome::Kind::NotItsKind:
        result.outcome = outcome.kind == HelperProcess::Outcome::Kind::Read
                             ? Extraction::Outcome::Read
                             : Extraction::Outcome::NotItsKind;
        result.incomplete = answer.incomplete;
        for (size_t i = 0; i < answer.values.size(); ++i)
            result.values[i] = std::move(answer.values[i]);
        return result;
    case HelperProcess::Outcome::Kind::NotStarted:
        // Never read here instead: a file that would take over a parser must meet the sandbox.
        return notRead(HelperFault::CannotStart, outcome.failure);
    case HelperProcess::Outcome::Kind::Failed:
        break;
    }
    result.failure = outcome.failure;
    result.lasting = outcome.lasting;
    if (identified)
        failedFiles().remember(id, result);
    tellListener(file.nativePath, result.failure);
    return result;
}

} // namespace quillmere::search::extraction
