#pragma once

#include "details/helper_protocol.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>

#include <sys/types.h>

namespace quillmere::search::extraction {

// How each helper is confined and how long it may take.
struct HelperLimits {
    std::chrono::milliseconds deadline{5000}; // per file, from sending to the whole answer
    qint64 memoryBytes = qint64(1) << 30;     // address space
    int cpuSeconds = 10;                      // processor time per file
};

// One running `quillmere-extract`, talked to by one thread at a time. A helper that fails in any
// way is killed and reaped at once; the next read starts a new one.
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
    };

    // Reads the open regular file `fd` (of `size` bytes) with reader number `reader`; the values
    // land in `answer`. Starts the helper first when none is running.
    Outcome read(int reader, int fd, qint64 size, details::Answer& answer);

    bool isRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_.load(); }

private:
    bool start(QString& failure);
    // Kills the helper (if it still runs), reaps it and says what became of it.
    QString stop(const QString& knownCause = {});

    const QByteArray program_;
    const HelperLimits limits_;
    std::atomic<pid_t> pid_{-1}; // read by other threads for diagnostics
    int socket_ = -1;
    QByteArray buffer_; // reused for every answer
};

} // namespace quillmere::search::extraction
