#include "search/read_ahead.h"

#include "search/detail_sources.h"

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
        size_t load = 0; // items queued or being tested
    };
    Test test;
    // Held by a worker only while it tests, so that the sources end with the search that uses
    // them, not with the last idle worker.
    std::weak_ptr<DetailSources> sources;
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
                queue.load -= group.jobs.size();
            }
            queue.groups.clear();
        }
    }
};

ReadAhead::ReadAhead(int workers, Test test, std::shared_ptr<DetailSources> sources)
    : shared_(std::make_shared<Shared>()), workers_(std::max(workers, 0)) {
    if (!test && !sources)
        sources = std::make_shared<DetailSources>();
    shared_->test = std::move(test);
    sources_ = std::move(sources);
    shared_->sources = sources_;
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
    // Consecutive items stay together, each group with the worker that has least to do; a few
    // items still go to every worker.
    const size_t workers = size_t(workers_);
    const size_t size =
        std::clamp((tickets.size() + workers - 1) / workers, size_t(1), size_t(GroupSize));
    std::vector<size_t> woken;
    {
        std::lock_guard lock(shared_->mutex);
        for (size_t from = 0; from < tickets.size(); from += size) {
            Group group{query, {}};
            group.jobs.assign(tickets.begin() + qsizetype(from),
                              tickets.begin() + qsizetype(std::min(from + size, tickets.size())));
            const auto idlest = std::min_element(
                shared_->queues.begin(), shared_->queues.end(),
                [](const Shared::Queue& a, const Shared::Queue& b) { return a.load < b.load; });
            idlest->load += group.jobs.size();
            idlest->groups.push_back(std::move(group));
            woken.push_back(size_t(idlest - shared_->queues.begin()));
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
        if (shared.test)
            return shared.test(nativePath, query);
        const std::shared_ptr<DetailSources> sources = shared.sources.lock();
        return sources ? testItem(nativePath, query, *sources) : ItemMatch{};
    } catch (...) {
        return {};
    }
}

void ReadAhead::testGroup(Shared& shared, Group& group) {
    // Each item is answered as soon as it is decided, so the walk never waits for a later one.
    const auto answer = [&shared, &group](size_t index, ItemMatch match) {
        const Ticket& job = group.jobs[index];
        job->match = std::move(match);
        {
            std::lock_guard lock(shared.mutex);
            job->state = Job::State::Done;
        }
        shared.jobDone.notify_all();
    };
    if (shared.test) {
        for (size_t i = 0; i < group.jobs.size(); ++i)
            answer(i, guardedTest(shared, group.jobs[i]->nativePath, *group.query));
        return;
    }
    std::vector<QByteArray> paths;
    paths.reserve(group.jobs.size());
    for (const Ticket& job : group.jobs)
        paths.push_back(job->nativePath);
    std::vector<bool> answered(group.jobs.size(), false);
    try {
        // None once the pool is gone: its jobs are forgotten.
        if (const std::shared_ptr<DetailSources> sources = shared.sources.lock())
            testItems(paths, *group.query, *sources, [&](size_t index, ItemMatch match) {
                answered[index] = true;
                answer(index, std::move(match));
            });
    } catch (...) {
        // Out of memory, say: the items not yet answered stay unmatched, as a single item would.
    }
    for (size_t i = 0; i < answered.size(); ++i) {
        if (!answered[i])
            answer(i, {});
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
        std::lock_guard lock(shared->mutex);
        queue.load -= group.jobs.size();
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
