#include "search/read_ahead.h"

#include <QThread>

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

ReadAhead::ReadAhead(int workers, Test test) : test_(std::move(test)) {
    if (!test_)
        test_ = [](const QByteArray& path, const Query& query) { return testItem(path, query); };
    for (int i = 0; i < workers; ++i)
        workers_.emplace_back([this] { work(); });
}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        for (const Ticket& job : queue_)
            job->state = Job::State::Dropped;
        queue_.clear();
    }
    jobQueued_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

int ReadAhead::defaultWorkerCount() {
    return std::max(1, QThread::idealThreadCount());
}

ReadAhead::Ticket ReadAhead::submit(QByteArray nativePath, std::shared_ptr<const Query> query) {
    auto job = std::make_shared<Job>(std::move(nativePath), std::move(query));
    if (!workers_.empty()) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(job);
        }
        jobQueued_.notify_one();
    }
    return job;
}

void ReadAhead::run(Job& job) {
    // A reader must not throw; if one does anyway, the item simply does not match rather than
    // taking the whole search down.
    try {
        job.match = test_(job.nativePath, *job.query);
    } catch (...) {
        job.match = {};
    }
}

void ReadAhead::work() {
    for (;;) {
        Ticket job;
        {
            std::unique_lock lock(mutex_);
            jobQueued_.wait(lock, [this] { return quitting_ || !queue_.empty(); });
            if (quitting_)
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
            job->state = Job::State::Running;
        }
        run(*job);
        {
            std::lock_guard lock(mutex_);
            job->state = Job::State::Done;
        }
        jobDone_.notify_all();
    }
}

bool ReadAhead::waitFor(const Ticket& ticket, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (workers_.empty() || ticket->state == Job::State::Dropped) {
        if (ticket->state != Job::State::Done) {
            ticket->state = Job::State::Running;
            lock.unlock();
            run(*ticket);
            lock.lock();
            ticket->state = Job::State::Done;
        }
        return true;
    }
    return jobDone_.wait_for(lock, timeout, [&] { return ticket->state == Job::State::Done; });
}

const ItemMatch& ReadAhead::result(const Ticket& ticket) const {
    return ticket->match;
}

void ReadAhead::cancelPending() {
    std::lock_guard lock(mutex_);
    for (const Ticket& job : queue_)
        job->state = Job::State::Dropped;
    queue_.clear();
}

} // namespace quillmere::search
