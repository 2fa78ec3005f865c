#pragma once

#include "details/helper_protocol.h"
#include "search/extraction/zygote.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

#include <sys/types.h>

namespace quillmere::search::extraction {

// How each helper is confined and how long it may take.
struct HelperLimits {
    std::chrono::milliseconds deadline{5000}; // per file, from sending to the whole answer
    // How long a killed helper may take to die before it is abandoned (one stuck in an
    // uninterruptible read on a hung mount ignores SIGKILL).
    std::chrono::milliseconds reapDeadline{1000};
    qint64 memoryBytes = qint64(1) << 30; // address space
    int cpuSeconds = 10;                  // processor time per file
    // Files one helper reads before it is replaced (0: no bound). A fresh helper costs a fork of
    // the zygote, about a millisecond; the bound keeps a long search within a helper's hard
    // limit of processor time.
    int readsPerHelper = 10000;
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

    struct Outcome {
        // NotStarted: no helper could be started, so the file was not read at all.
        enum class Kind { Read, NotItsKind, Failed, NotStarted } kind = Kind::Failed;
        QString failure; // why, in words for the user, when Failed or NotStarted
        // Failed in a way the same file would fail in again (a crash, running out of memory or
        // processor time, an answer that makes no sense), not by time or a kill from outside.
        bool lasting = false;
    };

    // Reads the open regular file `fd` (of `size` bytes) with reader number `reader`; the values
    // land in `answer`. Starts the helper first when none is running.
    Outcome read(int reader, int fd, qint64 size, details::Answer& answer);

    bool isRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_.load(); }
    // Ends the helper now that its work is done: the next read gets a fresh one.
    void retire();

private:
    bool start(QString& failure);
    struct End {
        QString cause;
        bool lasting;
    };
    // Kills the helper (if it still runs), reaps it within the limits and says what became of
    // it: `known` when the engine itself found the fault, unless `unlessEnded` and the helper
    // had already ended on its own.
    End stop(const End& known = {{}, false}, bool unlessEnded = false);
    Outcome failed(const End& known = {{}, false}, bool unlessEnded = false);

    const QByteArray program_;
    const HelperLimits limits_;
    std::shared_ptr<Zygote> zygote_; // the one it was forked from
    ForkedHelper helper_;
    std::atomic<pid_t> pid_{-1}; // read by other threads for diagnostics
    int socket_ = -1;
    int reads_ = 0;      // by this helper
    quint32 serial_ = 0; // of the last request
    QByteArray buffer_;  // reused for every answer
};

// Waits at most `deadline` for the child `pid` (a zygote) to end and reaps it; false when it did
// not end in time. Its `status` then stays unset and the child is reaped later, by a later call.
bool reapWithin(pid_t pid, std::chrono::milliseconds deadline, int& status);

} // namespace quillmere::search::extraction
