#include "search/extraction/extraction.h"

#include "details/readers/reader.h"
#include "search/extraction/helper_pool.h"

#include <QHash>

#include <mutex>
#include <shared_mutex>
#include <tuple>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::search::extraction {

namespace {

constexpr const char* HelperName = "quillmere-extract";

struct Shared {
    std::shared_mutex mutex;
    Settings settings;
    quint64 generation = 1;
    // The settings under which no helper could be started: the readers then run here.
    quint64 unstartable = 0;
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
    quint64 unstartable = 0;
    {
        std::shared_lock lock(shared().mutex);
        settings = shared().settings;
        generation = shared().generation;
        unstartable = shared().unstartable;
    }
    const int number = details::readers::readerNumber(reader);
    thread_local QByteArray program;
    thread_local quint64 programGeneration = 0;
    if (programGeneration != generation) {
        program = settings.isolation == Isolation::Helpers ? helperProgram() : QByteArray();
        programGeneration = generation;
    }
    if (program.isEmpty() || number < 0 || file.descriptor < 0 || unstartable == generation)
        return readInProcess(reader, file);

    Extraction result;
    result.outcome = Extraction::Outcome::Failed;
    FileIdentity id{};
    const bool identified = identify(file.descriptor, id);
    if (identified && failedFiles().find(id, result))
        return result;
    HelperProcess& helper =
        HelperPool::instance().forThisThread(program, settings.limits, generation);
    thread_local details::Answer answer;
    HelperProcess::Outcome outcome = helper.read(number, file.descriptor, file.size, answer);
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
        // Where helpers cannot run at all (no seccomp in a container, no processes left), the
        // results stay what they are without them; the user hears of it once.
        {
            std::unique_lock lock(shared().mutex);
            if (shared().generation == generation)
                shared().unstartable = generation;
        }
        tellListener(file.nativePath,
                     outcome.failure + QStringLiteral("; the readers run inside this process"));
        return readInProcess(reader, file);
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
