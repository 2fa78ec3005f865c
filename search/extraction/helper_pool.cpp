#include "search/extraction/helper_pool.h"

#include "details/reader_families.h"

#include <QThread>

#include <algorithm>

namespace quillmere::search::extraction {

HelperPool::Lease::~Lease() {
    if (helper_)
        pool_->giveBack(std::move(helper_));
}

HelperPool::Lease::Lease(Lease&& other) noexcept
    : pool_(other.pool_), helper_(std::move(other.helper_)) {}

HelperPool::Lease& HelperPool::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        if (helper_)
            pool_->giveBack(std::move(helper_));
        pool_ = other.pool_;
        helper_ = std::move(other.helper_);
    }
    return *this;
}

// Enough for every reading thread to find one of its family in a tree of any mix of kinds, up to
// eight threads: beyond that, what idle helpers hold (processes, memory, descriptors) counts for
// more than the helpers they save.
HelperPool::HelperPool(HelperLimits limits)
    : limits_(limits), keepIdle_(size_t(std::clamp(QThread::idealThreadCount(), 1, 8)) *
                                 size_t(details::ReaderFamilyCount)) {}

HelperPool::~HelperPool() {
    std::vector<std::unique_ptr<HelperProcess>> stopped;
    std::lock_guard lock(mutex_);
    stopped.swap(idle_);
    all_.clear();
}

HelperPool::Lease HelperPool::take(const QByteArray& program, int lane) {
    {
        std::lock_guard lock(mutex_);
        const auto fits = [&](const std::unique_ptr<HelperProcess>& helper) {
            return helper->lane() == lane;
        };
        // The most recently idle first: it is the likeliest to still be in the caches.
        const auto found = std::find_if(idle_.rbegin(), idle_.rend(), fits);
        if (found != idle_.rend()) {
            std::unique_ptr<HelperProcess> helper = std::move(*found);
            idle_.erase(std::next(found).base());
            return {this, std::move(helper)};
        }
    }
    auto helper = std::make_unique<HelperProcess>(program, limits_);
    std::lock_guard lock(mutex_);
    all_.insert(helper.get());
    return {this, std::move(helper)};
}

void HelperPool::giveBack(std::unique_ptr<HelperProcess> helper) {
    // Its reader stopped half way (an exception between sending and taking the answers): what
    // it still has to say belongs to no later request.
    if (helper->awaitsAnswers())
        helper->retire();
    std::unique_ptr<HelperProcess> letGo;
    {
        std::lock_guard lock(mutex_);
        if (!helper->isRunning()) {
            letGo = std::move(helper);
        } else {
            idle_.push_back(std::move(helper));
            if (idle_.size() > keepIdle_) {
                letGo = std::move(idle_.front());
                idle_.erase(idle_.begin());
            }
        }
        if (letGo)
            all_.erase(letGo.get());
    }
    letGo.reset(); // stopped outside the lock
}

void HelperPool::retireIdle() {
    std::vector<std::unique_ptr<HelperProcess>> retired;
    {
        std::lock_guard lock(mutex_);
        retired.swap(idle_);
        for (const auto& helper : retired)
            all_.erase(helper.get());
    }
    for (const auto& helper : retired)
        helper->retire();
}

std::size_t HelperPool::idleCount() {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

std::vector<pid_t> HelperPool::runningPids() {
    std::lock_guard lock(mutex_);
    std::vector<pid_t> pids;
    for (const HelperProcess* helper : all_) {
        const pid_t pid = helper->pid();
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

} // namespace quillmere::search::extraction
