#pragma once

#include "search/extraction/helper_process.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace quillmere::search::extraction {

// The helpers of this process. Each thread that reads holds one helper of its own for as long as
// it lives, so no request waits in a shared queue; when the thread ends its helper waits here for
// the next thread (at most one idle helper per core), so a new search starts no new processes.
class HelperPool {
public:
    static HelperPool& instance();

    // The calling thread's helper, made for the given settings; `generation` tells settings apart.
    HelperProcess& forThisThread(const QByteArray& program, const HelperLimits& limits,
                                 quint64 generation);
    // Retires the calling thread's helper, if it has one running: the thread reads no more for
    // now, and what the helper answered may be remembered.
    void retireThisThreads();
    // Stops the idle helpers (after the settings changed).
    void dropIdle();
    // The helpers running for the settings of `generation`, idle ones included.
    std::vector<pid_t> runningPids(quint64 generation);
    // Helpers no thread holds at the moment.
    std::size_t idleCount();

private:
    struct Held {
        std::unique_ptr<HelperProcess> helper;
        quint64 generation = 0;
    };
    class Lease;
    static Lease& thisThreadsLease();

    Held take(const QByteArray& program, const HelperLimits& limits, quint64 generation);
    void giveBack(Held held);
    void forget(const HelperProcess* helper);

    std::mutex mutex_;
    std::vector<Held> idle_;
    std::map<const HelperProcess*, quint64> all_; // every helper, by its settings' generation
};

} // namespace quillmere::search::extraction
