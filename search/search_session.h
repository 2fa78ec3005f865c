#pragma once

#include <QString>

#include <memory>

namespace quillmere::search {

class DetailSources;

// The search's state that outlives one click, owned by the window: a Stop click is a second,
// nested run of the same handler, and the two meet only here.
struct SearchSession {
    bool StopRequested = false; // the running search stops at its next check
    QString SavedStartCaption;  // the caption of "Start Finding" while it reads "Stop"
    int runningSearches = 0;    // runs between taking the caption "Stop" and their end
    quint64 runsStarted = 0;    // every run so far, so the window can tell a run from a Stop click
    // Where every run finds the details; none: each run makes its own, with no detail store.
    std::shared_ptr<DetailSources> detailSources;

    bool searchRunning() const { return runningSearches > 0; }
};

} // namespace quillmere::search
