#pragma once

#include "details/helper_protocol.h"
#include "search/extraction/zygote.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include <sys/types.h>

namespace quillmere::search::extraction {

// How each helper is confined and how long it may take.
struct HelperLimits {
    // Per file: from sending a batch to its first answer, and from each answer to the next.
    std::chrono::milliseconds deadline{5000};
    // How long a killed helper may take to die before it is abandoned (one stuck in an
    // uninterruptible read on a hung mount ignores SIGKILL).
    std::chrono::milliseconds reapDeadline{1000};
    // How long a new zygote may take to load the readers and seal itself, and a forked helper to
    // say it is ready: a busy machine or a sanitizer build is slow.
    std::chrono::milliseconds startDeadline{20000};
    qint64 memoryBytes = qint64(1) << 30; // address space
    int cpuSeconds = 10;                  // processor time per file
    // Files one helper reads before it is replaced (0: no bound): a helper that a file took over
    // can lie only about the files after it among those, and never outlives its hard limit of
    // processor time. A fresh helper costs the machine a fork of the zygote (some thousand
    // mappings), some 300 page faults for a helper of one reader family (550 for one that reads
    // every kind) and its end: a few milliseconds of processor time, spent off the reading thread
    // where a spare is at hand; ten to twenty (thirty to fifty for every kind) under a hypervisor
    // that makes each page fault cost ten microseconds or more.
    int filesPerHelper = details::MaxBatchFiles;
    // Stricter: a helper also keeps to the folder of its first file. Most folders hold far fewer
    // files than a batch, and two reading threads share a folder, so this makes six times as many
    // helpers in a cold search of many small folders: a fifth to a third more time.
    bool oneFolderPerHelper = false;
    // A helper reads the files of one reader family, so a fresh one touches that family's
    // libraries only: a machine where each page a new process touches is dear (a paravirtualized
    // guest) pays that for every helper. Otherwise one helper of each program (lean or whole)
    // reads all of a folder's files that it can in one request: fewer wake-ups of both ends, but
    // every fresh helper touches the libraries of every family it reads.
    bool helperPerFamily = true;
    // Helpers forked ahead of need, so that replacing one costs a reading thread no fork: one per
    // reading thread (one per core) when negative.
    int spareHelpers = -1;
};

// The life of one helper, from its start to its end. What it answered may be remembered only once
// it ended without a fault: a helper that a file took over may crash or break the protocol later,
// and then what it said before that is suspect too.
class HelperLife {
public:
    // Runs `keep` once every life of `lives` has ended cleanly, at once when all have already;
    // never when one of them faulted.
    static void whenAllEndCleanly(std::span<const std::shared_ptr<HelperLife>> lives,
                                  std::function<void()> keep);
    void endCleanly();
    void endFaulted();

    // What one life holds at most: a helper answers at most a batch's worth of files between
    // two replacements, and each of those files may wait for it once per reader asked. Beyond
    // that (a helper with no bound on its files) nothing more is remembered.
    static constexpr size_t MaxHeld = size_t(details::MaxBatchFiles) * 2;

private:
    struct Waiting;
    enum class State { Open, Clean, Faulted };
    std::mutex mutex_;
    State state_ = State::Open;
    std::vector<std::shared_ptr<Waiting>> waiting_;
};

// One helper forked from the running zygote (`quillmere-extract --zygote`, started first when
// there is none), talked to by one thread at a time. A helper that fails in any way, or that stops
// reading or answering, is killed at once; the next read starts a new one.
class HelperProcess {
public:
    HelperProcess(QByteArray program, HelperLimits limits);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // One file of a batch: the open regular file `fd` of `size` bytes, for reader `reader`.
    struct File {
        int reader = 0;
        int fd = -1;
        qint64 size = 0;
    };

    struct Outcome {
        // Whole: every file was answered. NotStarted: no helper could be started, so no file was
        // read at all.
        enum class Kind { Whole, Failed, NotStarted } kind = Kind::Failed;
        QString failure; // why, in words for the user, when Failed or NotStarted
        // Failed in a way the same file would fail in again (a crash, running out of memory or
        // processor time, an answer that makes no sense), not by time or a kill from outside.
        bool lasting = false;
        // When Failed: the first file not answered (answers come in order); the helper, now
        // killed, was reading it or one of the details::MaxHeldAnswers after it.
        size_t culprit = 0;
    };
    // Each answer as it comes, for file `index` of the batch; never twice for one file.
    using Answered = std::function<void(size_t index, details::Answer& answer)>;

    // Reads the files (at most details::MaxBatchFiles) in one request, handing each answer to
    // `answered` as it comes. Starts the helper first when none is running. A helper that stops
    // reading or answering, crashes, or answers for a file not asked for or already answered, is
    // killed.
    Outcome read(std::span<const File> files, const Answered& answered);
    // The same in two halves, so that helpers of several families read at once: `begin` starts
    // the helper when none runs and sends it the request (Whole: sent); `finish` takes the
    // answers, each within the deadline counted from the one before or from the call.
    Outcome begin(std::span<const File> files);
    Outcome finish(const Answered& answered);

    // Whether this helper may still be given `files` more files of `folder` (the folder of the
    // file paths, with its last slash) for `lane` (a reader family, or a program where helpers
    // are not kept to one family), within the limits above. A helper keeps to the lane of its
    // first batch: a fresh process pays for every page it touches, and one family's libraries
    // are a fraction of all the readers' pages.
    bool takes(QByteArrayView folder, int lane, size_t files) const;
    // After a batch read whole: the folder and the lane this helper keeps to.
    void noteBatch(QByteArrayView folder, int lane);
    // The lane of its first batch, or -1 before that.
    int lane() const { return lane_; }

    // Ends the helper now that its work is done: what it answered may be remembered, unless it
    // owes answers or broke off since its last one. The next read gets a fresh one.
    void retire();

    // The life of the running helper, or null when none runs.
    const std::shared_ptr<HelperLife>& life() const { return life_; }

    bool isRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_.load(); }
    // Between `begin` and `finish`: a request went out whose answers were not taken.
    bool awaitsAnswers() const { return !pending_.empty(); }

private:
    // Lost: forked, but it ended or stopped answering before it was ready.
    enum class Start { Ready, Failed, Lost };
    Start start(QString& failure, bool maySpare = true);
    // The forked helper's life starts: waits for it to say it is ready.
    Start awaitReady(QString& failure);
    struct End {
        QString cause;
        bool lasting;
    };
    // Kills the helper (if it still runs), reaps it within the limits and says what became of
    // it: `known` when the engine itself found the fault, unless `unlessEnded` and the helper
    // had already ended on its own.
    End stop(const End& known = {{}, false}, bool unlessEnded = false);
    Outcome failed(const End& known = {{}, false}, bool unlessEnded = false);
    End tookTooLong() const;
    // Ends the running helper's life: cleanly only when it kept to the protocol to the end.
    void endLife();

    const QByteArray program_;
    const HelperLimits limits_;
    std::shared_ptr<Zygote> zygote_; // the one it was forked from
    std::shared_ptr<HelperLife> life_;
    ForkedHelper helper_;
    std::atomic<pid_t> pid_{-1}; // read by other threads for diagnostics
    int socket_ = -1;
    qsizetype filesRead_ = 0;   // by this helper
    QByteArray folder_;         // whose files it reads
    int lane_ = -1;             // whose files it reads
    quint32 batch_ = 0;         // the serial of the last request
    std::vector<bool> pending_; // its files answered so far, between begin and finish
    details::FrameInbox inbox_; // its answers, reused from batch to batch
};

// Has the zygote that forks the helpers of `program` started, without waiting for it: a batch
// that needs two helper programs has both load their libraries at once.
void startZygoteAhead(const QByteArray& program, const HelperLimits& limits);

// Waits at most `deadline` for the child `pid` (a zygote) to end and reaps it; false when it did
// not end in time. Its `status` then stays unset and the child is reaped later, by a later call.
bool reapWithin(pid_t pid, std::chrono::milliseconds deadline, int& status);

} // namespace quillmere::search::extraction
