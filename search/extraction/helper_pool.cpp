#include "search/extraction/helper_pool.h"

#include <QThread>

#include <algorithm>

namespace quillmere::search::extraction {

class HelperPool::Lease {
public:
    ~Lease() {
        if (held.helper)
            HelperPool::instance().giveBack(std::move(held));
    }
    Held held;
};

HelperPool& HelperPool::instance() {
    // Never destroyed: threads may give their helpers back while the process ends.
    static HelperPool* const pool = new HelperPool;
    return *pool;
}

HelperPool::Lease& HelperPool::thisThreadsLease() {
    thread_local Lease lease;
    return lease;
}

HelperProcess& HelperPool::forThisThread(const QByteArray& program, const HelperLimits& limits,
                                         quint64 generation) {
    Lease& lease = thisThreadsLease();
    if (!lease.held.helper || lease.held.generation != generation) {
        if (lease.held.helper) {
            forget(lease.held.helper.get());
            lease.held.helper.reset();
        }
        lease.held = take(program, limits, generation);
    }
    return *lease.held.helper;
}

HelperPool::Held HelperPool::take(const QByteArray& program, const HelperLimits& limits,
                                  quint64 generation) {
    std::vector<Held> stale; // stopped outside the lock
    {
        std::lock_guard lock(mutex_);
        while (!idle_.empty()) {
            Held held = std::move(idle_.back());
            idle_.pop_back();
            if (held.generation == generation)
                return held;
            all_.erase(held.helper.get());
            stale.push_back(std::move(held));
        }
    }
    Held held{std::make_unique<HelperProcess>(program, limits), generation};
    std::lock_guard lock(mutex_);
    all_.emplace(held.helper.get(), generation);
    return held;
}

void HelperPool::giveBack(Held held) {
    const size_t keep = size_t(std::max(1, QThread::idealThreadCount()));
    {
        std::lock_guard lock(mutex_);
        if (idle_.size() < keep && held.helper->isRunning()) {
            idle_.push_back(std::move(held));
            return;
        }
        all_.erase(held.helper.get());
    }
    held.helper.reset();
}

void HelperPool::retireThisThreads() {
    const Lease& lease = thisThreadsLease();
    if (lease.held.helper)
        lease.held.helper->retire();
}

void HelperPool::forget(const HelperProcess* helper) {
    std::lock_guard lock(mutex_);
    all_.erase(helper);
}

void HelperPool::dropIdle() {
    std::vector<Held> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(idle_);
        for (const Held& held : dropped)
            all_.erase(held.helper.get());
    }
}

std::size_t HelperPool::idleCount() {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

std::vector<pid_t> HelperPool::runningPids(quint64 generation) {
    std::lock_guard lock(mutex_);
    std::vector<pid_t> pids;
    for (const auto& [helper, made] : all_) {
        const pid_t pid = helper->pid();
        if (pid > 0 && made == generation)
            pids.push_back(pid);
    }
    return pids;
}

} // namespace quillmere::search::extraction
