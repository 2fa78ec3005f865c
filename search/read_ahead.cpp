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

struct ReadAhead::Group {
    std::shared_ptr<const Query> query;
    std::vector<Ticket> jobs;
};

struct ReadAhead::Shared {
    struct Queue {
        std::condition_variable queued;
        std::deque<Group> groups;
    };
    Test test;
    std::mutex mutex;
    std::condition_variable jobDone;
    std::vector<Queue> queues; // one per worker
    bool quitting = false;

    // Under the mutex.
    void dropQueued() {
        for (Queue& queue : queues) {
            for (const Group& group : queue.groups) {
                for (const Ticket& job : group.jobs)
                    job->state = Job::State::Dropped;
            }
            queue.groups.clear();
        }
    }
};

ReadAhead::ReadAhead(int workers, Test test)
    : shared_(std::make_shared<Shared>()), workers_(std::max(workers, 0)) {
    shared_->test = std::move(test);
    shared_->queues = std::vector<Shared::Queue>(size_t(workers_));
    for (int i = 0; i < workers_; ++i)
        std::thread([shared = shared_, i] { work(shared, size_t(i)); }).detach();
}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->quitting = true;
        shared_->dropQueued();
    }
    for (Shared::Queue& queue : shared_->queues)
        queue.queued.notify_all();
}

int ReadAhead::defaultWorkerCount() {
    return std::max(1, QThread::idealThreadCount());
}

std::vector<ReadAhead::Ticket> ReadAhead::submit(std::vector<QByteArray> nativePaths,
                                                 const std::shared_ptr<const Query>& query) {
    std::vector<Ticket> tickets;
    tickets.reserve(nativePaths.size());
    for (QByteArray& path : nativePaths)
        tickets.push_back(std::make_shared<Job>(std::move(path), query));
    if (workers_ == 0 || tickets.empty())
        return tickets;
    // Consecutive items stay together, so the walk's next answers come from one group.
    const size_t groups = std::min(size_t(workers_), tickets.size());
    const size_t size = (tickets.size() + groups - 1) / groups;
    std::vector<size_t> woken;
    {
        std::lock_guard lock(shared_->mutex);
        for (size_t from = 0; from < tickets.size(); from += size) {
            Group group{query, {}};
            group.jobs.assign(tickets.begin() + qsizetype(from),
                              tickets.begin() + qsizetype(std::min(from + size, tickets.size())));
            shared_->queues[nextWorker_].groups.push_back(std::move(group));
            woken.push_back(nextWorker_);
            nextWorker_ = (nextWorker_ + 1) % size_t(workers_);
        }
    }
    for (const size_t worker : woken)
        shared_->queues[worker].queued.notify_one();
    return tickets;
}

ItemMatch ReadAhead::testNow(const QByteArray& nativePath, const Query& query) const {
    return guardedTest(*shared_, nativePath, query);
}

ItemMatch ReadAhead::guardedTest(const Shared& shared, const QByteArray& nativePath,
                                 const Query& query) {
    // One rule wherever the item is tested: a test that throws anyway (the columns already keep
    // whatever a failing reader gave) leaves the item unmatched, and the walk goes on.
    try {
        return shared.test ? shared.test(nativePath, query) : testItem(nativePath, query);
    } catch (...) {
        return {};
    }
}

void ReadAhead::testGroup(const Shared& shared, const Group& group) {
    if (shared.test) {
        for (const Ticket& job : group.jobs)
            job->match = guardedTest(shared, job->nativePath, *group.query);
        return;
    }
    std::vector<QByteArray> paths;
    paths.reserve(group.jobs.size());
    for (const Ticket& job : group.jobs)
        paths.push_back(job->nativePath);
    try {
        std::vector<ItemMatch> matches = testItems(paths, *group.query);
        for (size_t i = 0; i < matches.size(); ++i)
            group.jobs[i]->match = std::move(matches[i]);
    } catch (...) {
        // Out of memory, say: the group's items stay unmatched, as a single item's would.
    }
}

void ReadAhead::work(const std::shared_ptr<Shared>& shared, size_t worker) {
    Shared::Queue& queue = shared->queues[worker];
    for (;;) {
        Group group;
        {
            std::unique_lock lock(shared->mutex);
            queue.queued.wait(lock, [&] { return shared->quitting || !queue.groups.empty(); });
            if (shared->quitting)
                return;
            group = std::move(queue.groups.front());
            queue.groups.pop_front();
            for (const Ticket& job : group.jobs)
                job->state = Job::State::Running;
        }
        testGroup(*shared, group);
        {
            std::lock_guard lock(shared->mutex);
            for (const Ticket& job : group.jobs)
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
    shared_->dropQueued();
}

} // namespace quillmere::search
