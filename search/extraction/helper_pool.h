#pragma once

#include "search/extraction/helper_process.h"

#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace quillmere::search::extraction {

// The helpers of one set of detail sources. A reading call leases a helper for as long as it
// reads, so no request waits in a shared queue; afterwards the helper waits here for the next call
// of its reader family or program (at most one idle helper per core, up to eight, and family; the
// longest idle let go first), so a new search starts no new processes.
class HelperPool {
public:
    explicit HelperPool(HelperLimits limits);
    // Stops the idle helpers; no lease may outlive the pool.
    ~HelperPool();
    HelperPool(const HelperPool&) = delete;
    HelperPool& operator=(const HelperPool&) = delete;

    class Lease {
    public:
        Lease() = default;
        ~Lease();
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        explicit operator bool() const { return helper_ != nullptr; }
        HelperProcess& operator*() const { return *helper_; }
        HelperProcess* operator->() const { return helper_.get(); }

    private:
        friend class HelperPool;
        Lease(HelperPool* pool, std::unique_ptr<HelperProcess> helper)
            : pool_(pool), helper_(std::move(helper)) {}
        HelperPool* pool_ = nullptr;
        std::unique_ptr<HelperProcess> helper_;
    };

    // An idle helper that keeps to `lane` (see HelperProcess::takes), or a new one for `program`
    // (the helper program may be installed after the pool was made, so the caller says which it
    // found).
    Lease take(const QByteArray& program, int lane);
    // The helpers running now, idle ones included.
    std::vector<pid_t> runningPids();
    // Helpers no call holds at the moment.
    std::size_t idleCount();
    // Ends the idle helpers without a fault, so that what they answered may be remembered.
    void retireIdle();

private:
    void giveBack(std::unique_ptr<HelperProcess> helper);

    const HelperLimits limits_;
    const size_t keepIdle_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<HelperProcess>> idle_; // the longest idle first
    std::set<const HelperProcess*> all_;               // leased and idle
};

} // namespace quillmere::search::extraction
