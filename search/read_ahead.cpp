#include "search/read_ahead.h"

#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace quillmere::search {

class ReadAhead::Job {
public:
    enum class State { Queued, Running, Done, Dropped };
    Job(QByteArray path, std::shared_ptr<const Query> q)
        : nativePath(std::move(path)), query(std::move(q)) {}

    const QByteArray nativePath;
    const std::shared_ptr<const Query> query;
    State state = State::Queued; // guarded by the pool's mutex
    ItemMatch match;             // written before Done, read only after
};

struct ReadAhead::Shared {
    Test test;
    std::mutex mutex;
    std::condition_variable jobQueued;
    std::condition_variable jobDone;
    std::deque<Ticket> queue;
    bool quitting = false;
};

ReadAhead::ReadAhead(int workers, Test test)
    : shared_(std::make_shared<Shared>()), workers_(std::max(workers, 0)) {
    shared_->test = test ? std::move(test) : [](const QByteArray& path, const Query& query) {
        return testItem(path, query);
    };
    for (int i = 0; i < workers_; ++i)
        std::thread([shared = shared_] { work(shared); }).detach();
}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->quitting = true;
        for (const Ticket& job : shared_->queue)
            job->state = Job::State::Dropped;
        shared_->queue.clear();
    }
    shared_->jobQueued.notify_all();
}

int ReadAhead::defaultWorkerCount() {
    return std::max(1, QThread::idealThreadCount());
}

ReadAhead::Ticket ReadAhead::submit(QByteArray nativePath, std::shared_ptr<const Query> query) {
    auto job = std::make_shared<Job>(std::move(nativePath), std::move(query));
    if (workers_ > 0) {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->queue.push_back(job);
        }
        shared_->jobQueued.notify_one();
    }
    return job;
}

ItemMatch ReadAhead::testNow(const QByteArray& nativePath, const Query& query) const {
    return guardedTest(*shared_, nativePath, query);
}

ItemMatch ReadAhead::guardedTest(const Shared& shared, const QByteArray& nativePath,
                                 const Query& query) {
    // One rule wherever the item is tested: a test that throws anyway (the columns already keep
    // whatever a failing reader gave) leaves the item unmatched, and the walk goes on.
    try {
        return shared.test(nativePath, query);
    } catch (...) {
        return {};
    }
}

void ReadAhead::work(const std::shared_ptr<Shared>& shared) {
    for (;;) {
        Ticket job;
        {
            std::unique_lock lock(shared->mutex);
            shared->jobQueued.wait(lock,
                                   [&] { return shared->quitting || !shared->queue.empty(); });
            if (shared->quitting)
                return;
            job = std::move(shared->queue.front());
            shared->queue.pop_front();
            job->state = Job::State::Running;
        }
        job->match = guardedTest(*shared, job->nativePath, *job->query);
        {
            std::lock_guard lock(shared->mutex);
            job->state = Job::State::Done;
        }
        shared->jobDone.notify_all();
    }
}

bool ReadAhead::waitFor(const Ticket& ticket, std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared_->mutex);
    if (workers_ == 0 || ticket->state == Job::State::Dropped) {
        if (ticket->state != Job::State::Done) {
            ticket->state = Job::State::Running;
            lock.unlock();
            ticket->match = guardedTest(*shared_, ticket->nativePath, *ticket->query);
            lock.lock();
            ticket->state = Job::State::Done;
        }
        return true;
    }
    return shared_->jobDone.wait_for(lock, timeout,
                                     [&] { return ticket->state == Job::State::Done; });
}

const ItemMatch& ReadAhead::result(const Ticket& ticket) const {
    return ticket->match;
}

void ReadAhead::cancelPending() {
    std::lock_guard lock(shared_->mutex);
    for (const Ticket& job : shared_->queue)
        job->state = Job::State::Dropped;
    shared_->queue.clear();
}

} // namespace quillmere::search
