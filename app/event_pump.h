#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <system_error>
#include <thread>
#include <type_traits>

// Lets pending window messages run in the middle of a long loop, so clicks (such as "Stop")
// and the close of the window reach the user-interface thread.
namespace quillmere::app {

// At most once every 30 ms, so a loop over a million cells does not spend its time polling.
void letWindowMessagesRun();

// Every time it is called.
void letWindowMessagesRunNow();

// Runs `work` on a thread of its own while window messages run on this one, and gives back what
// it returned (or throws what it threw): for work that cannot stop to let them run itself, such
// as a copy or a flush to a slow disk. Where no thread can be had, it runs here.
template <typename Work> std::invoke_result_t<Work&> runWhileWindowMessagesRun(Work work) {
    using Result = std::invoke_result_t<Work&>;
    std::packaged_task<Result()> task(std::ref(work));
    std::future<Result> done = task.get_future();
    std::thread worker;
    try {
        worker = std::thread(std::move(task));
    } catch (const std::system_error&) {
        return work();
    }
    while (done.wait_for(std::chrono::milliseconds(25)) != std::future_status::ready)
        letWindowMessagesRunNow();
    worker.join();
    return done.get();
}

// Told at the start of every pump that runs; the benchmarks time the gaps between pumps with it.
// An empty function removes the observer.
void setPumpObserver(std::function<void()> observer);

} // namespace quillmere::app
