#pragma once

#include <functional>

// Lets pending window messages run in the middle of a long loop, so clicks (such as "Stop")
// and the close of the window reach the user-interface thread.
namespace quillmere::app {

// At most once every 30 ms, so a loop over a million cells does not spend its time polling.
void letWindowMessagesRun();

// Every time it is called.
void letWindowMessagesRunNow();

// Told at the start of every pump that runs; the benchmarks time the gaps between pumps with it.
// An empty function removes the observer.
void setPumpObserver(std::function<void()> observer);

} // namespace quillmere::app
