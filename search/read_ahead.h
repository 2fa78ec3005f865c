#pragma once

#include "search/matcher.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmere::search {

// A small pool that tests items ahead of the walk, so both cores read details while the walk
// takes the answers in its own order. Only whole item tests run here; rows, the duplicate test
// and everything the user sees stay with the caller's thread.
class ReadAhead {
public:
    using Test = std::function<ItemMatch(const QByteArray& nativePath, const Query& query)>;

    class Job;
    using Ticket = std::shared_ptr<Job>;

    // With no workers every test runs on the caller's thread when its answer is awaited.
    explicit ReadAhead(int workers, Test test = nullptr);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    static int defaultWorkerCount(); // one per core

    Ticket submit(QByteArray nativePath, std::shared_ptr<const Query> query);

    // True once the answer is there; false when `timeout` passed first.
    bool waitFor(const Ticket& ticket, std::chrono::milliseconds timeout);
    // The answer of a finished job (waitFor returned true).
    const ItemMatch& result(const Ticket& ticket) const;

    // Drops every job not yet started; a job being tested finishes and is forgotten.
    void cancelPending();

private:
    void work();
    void run(Job& job);

    Test test_;
    mutable std::mutex mutex_;
    std::condition_variable jobQueued_;
    std::condition_variable jobDone_;
    std::deque<Ticket> queue_;
    bool quitting_ = false;
    std::vector<std::thread> workers_;
};

} // namespace quillmere::search
