#include "search/read_ahead.h"

#include "search/detail_sources.h"

#include <QThread>

#include <algorithm>
#include <numeric>

#include <sys/resource.h>

namespace quillmere::search {

namespace {

// A worker's group holds each item's file open, and a helper's socket for each reader family
// among them. All workers' groups together stay within a quarter of the descriptors this process
// may open: with many cores, full groups would run out of them, and files would go unread.
size_t largestGroup(size_t workers) {
    rlimit limit{};
    rlim_t soft = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        soft = limit.rlim_cur;
    const size_t budget = size_t(std::min<rlim_t>(soft, rlim_t(1) << 20)) / 4;
    return std::clamp(budget / (2 * std::max<size_t>(workers, 1)), size_t(1),
                      size_t(ReadAhead::GroupSize));
}

} // namespace

class ReadAhead::Job {
public:
    enum class State { Queued, Running, Done, Dropped };
    Job(QByteArray path, std::shared_ptr<const Query> q)
        : nativePath(std::move(path)), query(std::move(q)) {}

    const QByteArray nativePath;
    const std::shared_ptr<const Query> query;
    State state = State::Queued; // guarded by the queues' mutex
    ItemMatch match;             // written before Done, read only after
};

struct ReadAhead::Group {
    std::shared_ptr<const Query> query;
    std::vector<Ticket> jobs;
    size_t size() const { return jobs.size(); }
};

// What the workers test with, shared with them since they may outlive the pool.
struct ReadAhead::Testing {
    Test test;
    // Held by a worker only while it tests, so that the sources end with the search that uses
    // them, not with the last idle worker.
    std::weak_ptr<DetailSources> sources;
};

ReadAhead::ReadAhead(int workers, Test test, std::shared_ptr<DetailSources> sources) {
    if (!test && !sources)
        sources = std::make_shared<DetailSources>();
    sources_ = std::move(sources);
    testing_ = std::make_shared<const Testing>(Testing{std::move(test), sources_});
    Queues::Hooks hooks;
    hooks.work = [testing = testing_](Queues::State& state, Group& group) {
        testGroup(*testing, state, group);
    };
    hooks.taken = [](Group& group) {
        for (const Ticket& job : group.jobs)
            job->state = Job::State::Running;
    };
    hooks.dropped = [](Group& group) {
        for (const Ticket& job : group.jobs)
            job->state = Job::State::Dropped;
    };
    queues_ = std::make_unique<Queues>(workers, std::move(hooks));
    largestGroup_ = largestGroup(queues_->workers());
}

ReadAhead::~ReadAhead() {
    // The search is over: helpers no worker holds now retire, so that what they answered is
    // remembered; a worker still inside a test keeps its helper until it is done.
    if (sources_)
        sources_->extractor().retireIdleHelpers();
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
    const size_t workers = queues_->workers();
    if (workers == 0 || tickets.empty())
        return tickets;
    // Items of one kind go together, so that a group's files of one reader family go to a helper
    // in as few requests as may be; a few items still go to every worker.
    std::vector<QByteArrayView> suffixes;
    suffixes.reserve(tickets.size());
    for (const Ticket& ticket : tickets) {
        const QByteArray& path = ticket->nativePath;
        qsizetype at = path.size();
        while (at > 0 && path[at - 1] != '.' && path[at - 1] != '/')
            --at;
        suffixes.push_back(at > 0 && path[at - 1] == '.' ? QByteArrayView(path).sliced(at)
                                                         : QByteArrayView());
    }
    std::vector<size_t> order(tickets.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return suffixes[a] < suffixes[b]; });
    const size_t size =
        std::clamp((tickets.size() + workers - 1) / workers, size_t(1), largestGroup_);
    std::vector<Group> groups;
    groups.reserve((tickets.size() + size - 1) / size);
    for (size_t from = 0; from < order.size(); from += size) {
        Group& group = groups.emplace_back(Group{query, {}});
        for (size_t i = from; i < std::min(from + size, order.size()); ++i)
            group.jobs.push_back(tickets[order[i]]);
    }
    queues_->post(std::move(groups));
    return tickets;
}

ItemMatch ReadAhead::testNow(const QByteArray& nativePath, const Query& query) const {
    return guardedTest(*testing_, nativePath, query);
}

ItemMatch ReadAhead::guardedTest(const Testing& testing, const QByteArray& nativePath,
                                 const Query& query) {
    // One rule wherever the item is tested: a test that throws anyway (the columns already keep
    // whatever a failing reader gave) leaves the item unmatched, and the walk goes on.
    try {
        if (testing.test)
            return testing.test(nativePath, query);
        const std::shared_ptr<DetailSources> sources = testing.sources.lock();
        return sources ? testItem(nativePath, query, *sources) : ItemMatch{};
    } catch (...) {
        return {};
    }
}

void ReadAhead::testGroup(const Testing& testing, Queues::State& state, Group& group) {
    // Each item is answered as soon as it is decided, so the walk never waits for a later one
    // that needs a file read.
    const auto answer = [&state, &group](size_t index, ItemMatch match) {
        const Ticket& job = group.jobs[index];
        job->match = std::move(match);
        state.settle([&job] { job->state = Job::State::Done; });
    };
    if (testing.test) {
        for (size_t i = 0; i < group.jobs.size(); ++i)
            answer(i, guardedTest(testing, group.jobs[i]->nativePath, *group.query));
        return;
    }
    std::vector<QByteArray> paths;
    paths.reserve(group.jobs.size());
    for (const Ticket& job : group.jobs)
        paths.push_back(job->nativePath);
    std::vector<bool> answered(group.jobs.size(), false);
    try {
        // None once the pool is gone: its jobs are forgotten.
        if (const std::shared_ptr<DetailSources> sources = testing.sources.lock())
            testItems(paths, *group.query, *sources, [&](std::vector<ItemAnswer>& answers) {
                // One wake-up for the bunch.
                for (ItemAnswer& a : answers) {
                    answered[a.index] = true;
                    group.jobs[a.index]->match = std::move(a.match);
                }
                state.settle([&] {
                    for (const ItemAnswer& a : answers)
                        group.jobs[a.index]->state = Job::State::Done;
                });
            });
    } catch (...) {
        // Out of memory, say: the items not yet answered stay unmatched, as a single item would.
    }
    for (size_t i = 0; i < answered.size(); ++i) {
        if (!answered[i])
            answer(i, {});
    }
}

bool ReadAhead::waitFor(const Ticket& ticket, std::chrono::milliseconds timeout) {
    // Without workers, or dropped before a worker took it, the item is tested here and now.
    const bool testHere = queues_->locked([&] {
        if ((queues_->workers() > 0 && ticket->state != Job::State::Dropped) ||
            ticket->state == Job::State::Done)
            return false;
        ticket->state = Job::State::Running;
        return true;
    });
    if (testHere) {
        ticket->match = guardedTest(*testing_, ticket->nativePath, *ticket->query);
        queues_->settle([&] { ticket->state = Job::State::Done; });
        return true;
    }
    return queues_->waitFor(timeout, [&] { return ticket->state == Job::State::Done; });
}

const ItemMatch& ReadAhead::result(const Ticket& ticket) const {
    return ticket->match;
}

void ReadAhead::cancelPending() {
    queues_->cancelPending();
}

} // namespace quillmere::search
