#pragma once

#include "search/matcher.h"
#include "search/work_queues.h"

#include <QByteArray>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quillmere::search {

class DetailSources;

// A small pool that tests items ahead of the walk, so both cores read details while the walk
// takes the answers in its own order. Items are handed over in groups, each to one worker's own
// queue, and a worker tests a group together: the files of its items that need a reader go to
// its helper as one batch. Only whole item tests run here; rows, the duplicate test and
// everything the user sees stay with the caller's thread.
class ReadAhead {
public:
    using Test = std::function<ItemMatch(const QByteArray& nativePath, const Query& query)>;

    class Job;
    using Ticket = std::shared_ptr<Job>;

    // With no workers every test runs on the caller's thread when its answer is awaited. A
    // `test` given tests each item alone; without it a group is tested together (testItems),
    // with the details from `sources` (sources of its own when none are given).
    explicit ReadAhead(int workers, Test test = nullptr,
                       std::shared_ptr<DetailSources> sources = nullptr);
    // Returns at once, with the idle helpers retired: a worker still inside a test (a file on a
    // hung network mount) is left to finish on its own, and what it uses lives until then.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    static int defaultWorkerCount(); // one per core

    // Items tested together: each group's files of one reader family go to a helper in one
    // request (64 rather than fewer: a mixed folder has some six families); small enough that
    // every worker has a group waiting while the walk awaits the oldest.
    static constexpr size_t GroupSize = 64;

    // One ticket per item, in the order given; the items are handed over in groups of at most
    // GroupSize (fewer where many workers would hold too many descriptors), at least one per
    // worker, each to the worker with least to do, with one wake-up per group. Items with the
    // same extension go together, as they most likely meet the same readers.
    std::vector<Ticket> submit(std::vector<QByteArray> nativePaths,
                               const std::shared_ptr<const Query>& query);

    // True once the answer is there; false when `timeout` passed first.
    bool waitFor(const Ticket& ticket, std::chrono::milliseconds timeout);
    // The answer of a finished job (waitFor returned true).
    const ItemMatch& result(const Ticket& ticket) const;

    // Drops every job not yet started; a group being tested finishes and is forgotten.
    void cancelPending();

    // The same test on the caller's thread, for an item the walk decides without the pool.
    ItemMatch testNow(const QByteArray& nativePath, const Query& query) const;

private:
    struct Group;
    using Queues = WorkQueues<Group>;
    struct Testing;
    static void testGroup(const Testing& testing, Queues::State& state, Group& group);
    static ItemMatch guardedTest(const Testing& testing, const QByteArray& nativePath,
                                 const Query& query);

    size_t largestGroup_ = GroupSize;
    std::shared_ptr<DetailSources> sources_;
    std::shared_ptr<const Testing> testing_; // shared with the workers, who may outlive the pool
    std::unique_ptr<Queues> queues_;
};

} // namespace quillmere::search
