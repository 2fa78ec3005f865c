#include "search/extraction/extraction.h"

#include "search/extraction/helper_pool.h"
#include "search/extraction/reader_module.h"

#include "details/reader_families.h"

#include <QHash>

#include <array>

#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <tuple>

#include <climits>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::search::extraction {

namespace {

constexpr const char* HelperName = "quillmere-extract";
// The same helper without FFmpeg, for the families that do not need it: forking and ending a
// process with half the mappings costs about half as much.
constexpr const char* LeanHelperName = "quillmere-extract-lean";

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

// A kernel built without seccomp cannot confine a helper at all; only there do the readers run in
// this process unasked. A seccomp filter around this process (a container's) is no such kernel.
bool kernelHasSeccomp() {
    static const bool has = ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0 || errno != EINVAL;
    return has;
}

// Once starting a helper has failed, it is tried again at most once a second and by one thread at
// a time: a try may take the whole start-up deadline, and the files in between must not wait for
// it. One gate for each helper program, so that a whole helper that cannot start (an FFmpeg
// library gone in an upgrade) holds up no photo. By time rather than by folder, because the readers
// do not know folders and a tree of many small folders would otherwise pay a try for each.
class StartGate {
public:
    static constexpr std::chrono::seconds Pause{1};

    // True when the calling thread may try to start a helper now; it then calls `leave`.
    bool enter() {
        std::lock_guard lock(mutex_);
        if (!failing_)
            return true;
        if (trying_ || std::chrono::steady_clock::now() < retryAt_)
            return false;
        trying_ = true;
        return true;
    }
    // No start failed lately: one may be tried at any time.
    bool isOpen() {
        std::lock_guard lock(mutex_);
        return !failing_;
    }
    void leave(bool started) {
        std::lock_guard lock(mutex_);
        trying_ = false;
        failing_ = !started;
        if (failing_)
            retryAt_ = std::chrono::steady_clock::now() + Pause;
    }

private:
    std::mutex mutex_;
    bool trying_ = false;
    bool failing_ = false;
    std::chrono::steady_clock::time_point retryAt_{};
};

class Notices {
public:
    // `cause` is empty when no start was tried for this file: the last try's words still hold.
    Extraction notRead(HelperFault fault, const QString& cause) {
        std::lock_guard lock(mutex_);
        ++notice_.notRead;
        notice_.fault = fault;
        if (!cause.isEmpty())
            notice_.cause = cause;
        Extraction none;
        none.outcome = Extraction::Outcome::NotRead;
        return none;
    }
    void readHere(ReadHereBecause because) {
        std::lock_guard lock(mutex_);
        ++notice_.readHere;
        notice_.because = because;
    }
    ReadingNotice now() {
        std::lock_guard lock(mutex_);
        return notice_;
    }

private:
    std::mutex mutex_;
    ReadingNotice notice_;
};

// Where the reader module cannot be loaded, the file is not read: a later search tries again.
Extraction readInProcess(const QByteArray& modulePath, Notices& notices,
                         const details::ReaderFamily& family, const details::FileToRead& file) {
    QString problem;
    const details::ReaderModule* module = loadReaderModule(modulePath, &problem);
    if (!module)
        return notices.notRead(HelperFault::Missing, problem);
    Extraction result;
    result.outcome = module->read(family.number(), file, result.values, result.incomplete)
                         ? Extraction::Outcome::Read
                         : Extraction::Outcome::NotItsKind;
    // The same bounds as an answer from a helper, so both give the same rows.
    details::cutToBounds(result.values);
    return result;
}

} // namespace

struct Extractor::Parts {
    Parts(Settings settings, FaultListener tell)
        : settings(std::move(settings)), tell(std::move(tell)), pool(this->settings.limits) {}

    // The helper that runs the readers of a family that needs FFmpeg or not (`lean`), or empty
    // when there is none: the ones the settings name, else `quillmere-extract-lean` and
    // `quillmere-extract` beside the real executable (symbolic links followed). Where there is no
    // lean one, the whole one reads every family. Found once, unless looked for `again`.
    QByteArray program(bool lean, bool again = false) {
        std::lock_guard lock(programMutex);
        Found& found = lean ? foundLean : foundWhole;
        if (!found.looked || again) {
            found.program = findHelperProgram(lean);
            found.looked = true;
        }
        return found.program;
    }
    QByteArray findHelperProgram(bool lean) const {
        const auto runnable = [](const QByteArray& program) {
            return !program.isEmpty() && ::access(program.constData(), X_OK) == 0;
        };
        const bool named = !settings.program.isEmpty();
        if (lean) {
            static const QByteArray leanBeside = besideThisProgram(LeanHelperName);
            const QByteArray& leanProgram = !settings.leanProgram.isEmpty() ? settings.leanProgram
                                            : named                         ? settings.program
                                                                            : leanBeside;
            if (runnable(leanProgram))
                return leanProgram;
        }
        static const QByteArray beside = besideThisProgram(HelperName);
        const QByteArray& whole = named ? settings.program : beside;
        return runnable(whole) ? whole : QByteArray();
    }

    const Settings settings;
    const FaultListener tell;
    HelperPool pool;
    StartGate& startGate(bool lean) { return lean ? leanGate : wholeGate; }
    StartGate wholeGate;
    StartGate leanGate;
    FailedFiles failedFiles;
    Notices notices;
    std::mutex programMutex;
    struct Found {
        QByteArray program;
        bool looked = false;
    };
    Found foundWhole;
    Found foundLean;
};

Extractor::Extractor(Settings settings, FaultListener tell)
    : parts_(std::make_unique<Parts>(std::move(settings), std::move(tell))) {}

Extractor::~Extractor() {
    parts_.reset();
    // Its helpers' processor time is the engine's to count once it ended.
    ZygoteKeeper::instance().retire();
}

const Settings& Extractor::settings() const {
    return parts_->settings;
}

ReadingNotice Extractor::readingNotice() const {
    return parts_->notices.now();
}

std::vector<pid_t> Extractor::runningHelpers() const {
    return parts_->pool.runningPids();
}

std::size_t Extractor::idleHelpers() const {
    return parts_->pool.idleCount();
}

void Extractor::retireIdleHelpers() {
    parts_->pool.retireIdle();
    ZygoteKeeper::instance().dropSpares();
}

std::vector<pid_t> Extractor::runningZygotes() {
    return ZygoteKeeper::instance().runningPids();
}

std::vector<pid_t> Extractor::spareHelpers() {
    return ZygoteKeeper::instance().sparePids();
}

namespace {

// One call's files on their way through the helpers it leases: one for each reader family among
// them (or for each helper program, where helpers are not kept to one family), all reading at
// once.
class BatchReading {
public:
    BatchReading(Extractor::Parts& parts, std::span<const FileRead> files,
                 std::vector<Extraction>& results, const Extractor::Settled& settled)
        : parts_(parts), files_(files), results_(results), numbers_(files.size(), -1),
          ids_(files.size()), identified_(files.size(), false), settled_(settled),
          told_(files.size(), false) {}

    void run() {
        for (size_t i = 0; i < files_.size(); ++i) {
            const FileRead& read = files_[i];
            numbers_[i] = read.reader->number();
            if (numbers_[i] < 0 || read.file->descriptor < 0) {
                results_[i] = readInProcess(parts_.settings.readerModule, parts_.notices,
                                            *read.reader, *read.file);
                continue;
            }
            results_[i].outcome = Extraction::Outcome::Failed;
            identified_[i] = identify(read.file->descriptor, ids_[i]);
            if (!identified_[i] || !parts_.failedFiles.find(ids_[i], results_[i]))
                lanes_.at(laneOf(numbers_[i])).queue.push_back(i);
        }
        for (Lane& lane : lanes_) {
            if (lane.queue.empty())
                continue;
            lane.program = parts_.program(isLean(lane));
            if (!lane.program.isEmpty() && parts_.startGate(isLean(lane)).isOpen())
                startZygoteAhead(lane.program, parts_.settings.limits);
        }
        // In rounds: every lane with files left sends its helper a batch, then each takes its
        // answers, so the helpers of different lanes read side by side.
        std::vector<Lane*> sent;
        for (;;) {
            sent.clear();
            for (Lane& lane : lanes_) {
                if (!lane.queue.empty() && begin(lane))
                    sent.push_back(&lane);
            }
            if (sent.empty())
                break;
            for (Lane* lane : sent)
                finish(*lane);
        }
        // Those decided without a helper, and those left unread.
        for (size_t i = 0; i < files_.size(); ++i)
            settle(i);
    }

private:
    // The files still to read of one reader family (or of one helper program), and the helper
    // they go to.
    struct Lane {
        std::deque<size_t> queue;
        QByteArray program; // the helper program that reads them
        HelperPool::Lease lease;
        std::vector<size_t> batch; // sent, answers awaited
        QByteArray folder;         // the batch's, kept: a file settled may be gone
        HelperProcess::Outcome sent;
    };

    // The lanes are the reader families, or the lean program and the whole one.
    static constexpr size_t LeanLane = 0, WholeLane = 1;
    int numberOf(const Lane& lane) const { return int(&lane - lanes_.data()); }
    static bool isLean(int readerNumber) {
        const details::ReaderFamily* family = details::readerFamilyByNumber(readerNumber);
        return family && !family->needsFfmpeg();
    }
    size_t laneOf(int readerNumber) const {
        if (parts_.settings.limits.helperPerFamily)
            return size_t(readerNumber);
        return isLean(readerNumber) ? LeanLane : WholeLane;
    }
    bool isLean(const Lane& lane) const {
        if (parts_.settings.limits.helperPerFamily)
            return isLean(numberOf(lane));
        return numberOf(lane) == int(LeanLane);
    }

    // The file's result is final: the caller hears of it once, and may then let the file go, so
    // nothing here looks at it again.
    void settle(size_t i) {
        if (!settled_ || told_[i])
            return;
        told_[i] = true;
        settled_(i, results_[i]);
    }

    // Sends the lane's next batch to its helper, started first where none runs; false when
    // nothing was sent, its files now left unread where no helper could start.
    bool begin(Lane& lane) {
        const int number = numberOf(lane);
        std::deque<size_t>& queue = lane.queue;
        // A batch holds the files of one folder: all a helper may ever lie about.
        std::vector<size_t>& batch = lane.batch;
        batch.clear();
        while (!queue.empty() && batch.size() < size_t(details::MaxBatchFiles) &&
               (batch.empty() || folderOf(batch.front()) == folderOf(queue.front()))) {
            batch.push_back(queue.front());
            queue.pop_front();
        }
        HelperPool::Lease& lease = lane.lease;
        QByteArray& program = lane.program;
        if (!lease && !program.isEmpty())
            lease = parts_.pool.take(program, number);
        HelperProcess* helper = lease ? &*lease : nullptr;
        lane.folder = folderOf(batch.front()).toByteArray();
        if (helper && !helper->takes(lane.folder, number, batch.size()))
            helper->retire();
        // Files not sent are left unread, this batch's first.
        const auto leaveRest = [&](HelperFault fault, const QString& cause) {
            queue.insert(queue.begin(), batch.begin(), batch.end());
            leaveUnread(queue, fault, cause);
            queue.clear();
            return false;
        };
        const bool starting = !helper || !helper->isRunning();
        StartGate& gate = parts_.startGate(isLean(lane));
        if (starting) {
            if (!gate.enter())
                return leaveRest(
                    program.isEmpty() ? HelperFault::Missing : HelperFault::CannotStart, {});
            // While it is missing: it may have been installed since.
            if (program.isEmpty())
                program = parts_.program(isLean(lane), true);
            if (program.isEmpty()) {
                gate.leave(false);
                return leaveRest(HelperFault::Missing,
                                 QStringLiteral("the reader helper could not start: ") +
                                     HelperName +
                                     QStringLiteral(" is not installed beside this program"));
            }
            if (!lease)
                lease = parts_.pool.take(program, number);
            helper = &*lease;
        }
        lane.sent = helper->begin(list(batch));
        if (starting)
            gate.leave(lane.sent.kind != HelperProcess::Outcome::Kind::NotStarted);
        // Never read here instead: a file that would take over a parser must meet the sandbox.
        if (lane.sent.kind == HelperProcess::Outcome::Kind::NotStarted)
            return leaveRest(HelperFault::CannotStart, lane.sent.failure);
        return true;
    }

    // Takes the answers to the lane's batch. Where its helper failed, the file it was reading
    // is tried once more alone, and the rest of the batch goes first to a fresh helper.
    void finish(Lane& lane) {
        HelperProcess& helper = *lane.lease;
        const std::vector<size_t>& batch = lane.batch;
        std::vector<bool> answered(batch.size(), false);
        const HelperProcess::Outcome outcome =
            lane.sent.kind == HelperProcess::Outcome::Kind::Whole
                ? helper.finish(answerInto(helper, batch, answered, true))
                : lane.sent;
        if (outcome.kind == HelperProcess::Outcome::Kind::Whole) {
            if (helper.isRunning())
                helper.noteBatch(lane.folder, numberOf(lane));
            return;
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            if (answered[i])
                results_[batch[i]].untrusted = true;
        }
        // The file it was reading is one of the first not answered, as it may have held back
        // the answers before it: each is read alone in a fresh helper until one fails, or until
        // no helper can start.
        std::vector<bool> tried(batch.size(), false);
        for (size_t i = outcome.culprit, suspects = 0;
             i < batch.size() && suspects <= size_t(details::MaxHeldAnswers); ++i) {
            if (answered[i])
                continue;
            ++suspects;
            tried[i] = true;
            if (retryAlone(helper, batch[i]) != Retry::Read)
                break;
        }
        // The rest of the batch goes to a fresh helper, in order, before anything after it.
        for (size_t i = batch.size(); i-- > 0;) {
            if (!answered[i] && !tried[i])
                lane.queue.push_front(batch[i]);
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            if (tried[i])
                settle(batch[i]);
        }
    }

    std::vector<HelperProcess::File> list(const std::vector<size_t>& batch) const {
        std::vector<HelperProcess::File> files;
        files.reserve(batch.size());
        for (const size_t i : batch)
            files.push_back({numbers_[i], files_[i].file->descriptor, files_[i].file->size});
        return files;
    }

    // `final`: an answer stands whatever the helper does next (in a batch; a file read alone
    // again counts as failed if its helper fails even after answering).
    HelperProcess::Answered answerInto(HelperProcess& helper, const std::vector<size_t>& batch,
                                       std::vector<bool>& answered, bool final) {
        return [this, &helper, &batch, &answered, final](size_t index, details::Answer& answer) {
            answered[index] = true;
            Extraction& result = results_[batch[index]];
            result.outcome =
                answer.read ? Extraction::Outcome::Read : Extraction::Outcome::NotItsKind;
            result.incomplete = answer.incomplete;
            result.life = helper.life();
            for (size_t c = 0; c < answer.values.size(); ++c)
                result.values[c] = std::move(answer.values[c]);
            // It stands for this search even if the helper fails later in the batch; what the
            // helper said is then not remembered, since its life ends with a fault.
            if (final)
                settle(batch[index]);
        };
    }

    enum class Retry { Read, FailedAgain, NoHelper };

    // The helper may have been killed from outside or starved on a busy machine: the file gets a
    // fresh helper of its own before it loses its details. That helper read a file that may take
    // a parser over, so it reads nothing else. Where no helper can start, the file is only a
    // suspect: it is left unread, not blamed.
    Retry retryAlone(HelperProcess& helper, size_t i) {
        using Kind = HelperProcess::Outcome::Kind;
        StartGate& gate = parts_.startGate(isLean(numbers_[i]));
        if (!gate.enter()) {
            leaveUnread({i}, HelperFault::CannotStart, {});
            return Retry::NoHelper;
        }
        const std::vector<size_t> alone{i};
        std::vector<bool> answered(1, false);
        HelperProcess::Outcome again =
            helper.read(list(alone), answerInto(helper, alone, answered, false));
        gate.leave(again.kind != Kind::NotStarted);
        helper.retire();
        if (again.kind == Kind::Whole)
            return Retry::Read;
        if (again.kind == Kind::NotStarted) {
            leaveUnread({i}, HelperFault::CannotStart, again.failure);
            return Retry::NoHelper;
        }
        Extraction& result = results_[i];
        result = Extraction{};
        result.outcome = Extraction::Outcome::Failed;
        result.failure = again.failure;
        result.lasting = again.lasting;
        if (identified_[i])
            parts_.failedFiles.remember(ids_[i], result);
        if (parts_.tell)
            parts_.tell({files_[i].file->nativePath, result.failure, result.lasting,
                         ReaderFault::Origin::Now});
        return Retry::FailedAgain;
    }

    // The folder of a file, with its last slash.
    QByteArrayView folderOf(size_t i) const {
        const QByteArray& path = files_[i].file->nativePath;
        return QByteArrayView(path).first(path.lastIndexOf('/') + 1);
    }

    // No helper could start: these files keep the details that need no reader.
    void leaveUnread(const std::deque<size_t>& left, HelperFault fault, const QString& cause) {
        for (const size_t i : left)
            results_[i] = parts_.notices.notRead(fault, i == left.front() ? cause : QString());
    }

    Extractor::Parts& parts_;
    std::array<Lane, details::ReaderFamilyCount> lanes_;
    const std::span<const FileRead> files_;
    std::vector<Extraction>& results_;
    std::vector<int> numbers_;
    std::vector<FileIdentity> ids_;
    std::vector<bool> identified_;
    const Extractor::Settled& settled_;
    std::vector<bool> told_;
};

} // namespace

std::vector<Extraction> Extractor::extract(std::span<const FileRead> files,
                                           const Settled& settled) {
    const Settings& settings = parts_->settings;
    std::vector<Extraction> results(files.size());
    if (settings.isolation == Isolation::InProcess || !kernelHasSeccomp()) {
        const ReadHereBecause because = settings.isolation == Isolation::InProcess
                                            ? ReadHereBecause::Asked
                                            : ReadHereBecause::NoSeccomp;
        for (size_t i = 0; i < files.size(); ++i) {
            results[i] = readInProcess(settings.readerModule, parts_->notices, *files[i].reader,
                                       *files[i].file);
            if (results[i].outcome != Extraction::Outcome::NotRead)
                parts_->notices.readHere(because);
            if (settled)
                settled(i, results[i]);
        }
        return results;
    }
    BatchReading(*parts_, files, results, settled).run();
    return results;
}

Extraction Extractor::extract(const details::ReaderFamily& reader,
                              const details::FileToRead& file) {
    const FileRead one{&reader, &file};
    return std::move(extract(std::span<const FileRead>(&one, 1)).front());
}

} // namespace quillmere::search::extraction
