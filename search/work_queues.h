#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace quillmere::search {

// A few detached threads, each with a queue of its own, that work through groups of items: the
// walk's folder listings and the item tests ahead of it. A group goes to the worker with least to
// do and costs one wake-up however many items it holds. Destroying the queues never waits: a
// worker stuck in a file-system call on a hung network mount finishes on its own, and the state
// it uses lives until then. `Group` is movable and has size(), the number of its items.
template <typename Group> class WorkQueues {
public:
    // Owned jointly by the queues and their workers. What the owner keeps of each item's progress
    // is guarded by this one mutex: workers change it through settle(), the owner reads it
    // through locked() and waitFor().
    class State;

    struct Hooks {
        std::function<void(State&, Group&)> work; // on a worker, outside the lock
        std::function<void(Group&)> taken;        // optional, under the lock: a worker takes it
        std::function<void(Group&)> dropped;      // optional, under the lock: it is never taken
    };

    WorkQueues(int workers, Hooks hooks)
        : state_(std::make_shared<State>(std::move(hooks), size_t(std::max(workers, 0)))) {
        for (size_t i = 0; i < state_->queues_.size(); ++i)
            std::thread([state = state_, i] { state->serve(i); }).detach();
    }
    ~WorkQueues() {
        {
            std::lock_guard lock(state_->mutex_);
            state_->quitting_ = true;
            state_->dropQueued();
        }
        for (typename State::Queue& queue : state_->queues_)
            queue.queued.notify_all();
    }
    WorkQueues(const WorkQueues&) = delete;
    WorkQueues& operator=(const WorkQueues&) = delete;

    size_t workers() const { return state_->queues_.size(); }

    // Each group to the worker with least to do, in the order given. Needs a worker.
    void post(std::vector<Group> groups) {
        std::vector<size_t> woken;
        woken.reserve(groups.size());
        {
            std::lock_guard lock(state_->mutex_);
            auto& queues = state_->queues_;
            for (Group& group : groups) {
                const auto idlest =
                    std::min_element(queues.begin(), queues.end(),
                                     [](const auto& a, const auto& b) { return a.load < b.load; });
                idlest->load += group.size();
                idlest->groups.push_back(std::move(group));
                woken.push_back(size_t(idlest - queues.begin()));
            }
        }
        for (const size_t worker : woken)
            state_->queues_[worker].queued.notify_one();
    }

    // Drops every group not yet taken; groups being worked on finish.
    void cancelPending() {
        std::lock_guard lock(state_->mutex_);
        state_->dropQueued();
    }

    template <typename F> decltype(auto) locked(F&& f) {
        return state_->locked(std::forward<F>(f));
    }
    template <typename F> void settle(F&& mark) { state_->settle(std::forward<F>(mark)); }
    // True once `done()` holds (checked under the lock); false when `timeout` passed first.
    template <typename Done> bool waitFor(std::chrono::milliseconds timeout, Done&& done) {
        return state_->waitFor(timeout, std::forward<Done>(done));
    }

private:
    std::shared_ptr<State> state_;
};

template <typename Group> class WorkQueues<Group>::State {
public:
    State(Hooks hooks, size_t workers) : hooks_(std::move(hooks)), queues_(workers) {}

    template <typename F> decltype(auto) locked(F&& f) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)();
    }
    // Runs `mark` under the lock, then wakes whoever waits for a result.
    template <typename F> void settle(F&& mark) {
        {
            std::lock_guard lock(mutex_);
            std::forward<F>(mark)();
        }
        settled_.notify_all();
    }
    template <typename Done> bool waitFor(std::chrono::milliseconds timeout, Done&& done) {
        std::unique_lock lock(mutex_);
        return settled_.wait_for(lock, timeout, std::forward<Done>(done));
    }

private:
    friend class WorkQueues;
    struct Queue {
        std::condition_variable queued;
        std::deque<Group> groups;
        size_t load = 0; // items queued or being worked on
    };

    // Under the mutex.
    void dropQueued() {
        for (Queue& queue : queues_) {
            for (Group& group : queue.groups) {
                if (hooks_.dropped)
                    hooks_.dropped(group);
                queue.load -= group.size();
            }
            queue.groups.clear();
        }
    }

    void serve(size_t worker) {
        Queue& queue = queues_[worker];
        for (;;) {
            Group group;
            {
                std::unique_lock lock(mutex_);
                queue.queued.wait(lock, [&] { return quitting_ || !queue.groups.empty(); });
                if (quitting_)
                    return;
                group = std::move(queue.groups.front());
                queue.groups.pop_front();
                if (hooks_.taken)
                    hooks_.taken(group);
            }
            const size_t items = group.size();
            hooks_.work(*this, group);
            std::lock_guard lock(mutex_);
            queue.load -= items;
        }
    }

    const Hooks hooks_;
    std::mutex mutex_;
    std::condition_variable settled_;
    std::vector<Queue> queues_; // one per worker
    bool quitting_ = false;
};

} // namespace quillmere::search
