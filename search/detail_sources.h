#pragma once

#include "search/embedded_cache.h"
#include "search/extraction/extraction.h"

#include <chrono>
#include <memory>
#include <shared_mutex>

namespace quillmere::search {

namespace store {
class DetailStore;
}

// Where the detail columns of items find what the entry itself does not tell: the embedded
// details kept in this process, the detail store of earlier runs, and the readers with their
// helpers. Each front end makes one and hands it to every search and details box; tests make
// their own. Thread-safe.
class DetailSources {
public:
    struct Setup {
        extraction::Settings reading;
        // Remembers embedded details across runs; none: each run reads every file again.
        std::shared_ptr<store::DetailStore> store;
        // Files whose embedded details are kept in memory.
        qsizetype cacheLimit = 200'000;
    };

    DetailSources(); // helpers beside this program, no store
    explicit DetailSources(Setup setup);
    ~DetailSources();
    DetailSources(const DetailSources&) = delete;
    DetailSources& operator=(const DetailSources&) = delete;

    extraction::Extractor& extractor() { return extractor_; }
    const extraction::Extractor& extractor() const { return extractor_; }
    EmbeddedCache& cache() { return cache_; }
    store::DetailStore* store() const { return store_.get(); }

    // Writes what the store has queued, waiting at most `timeout`; the rest is dropped. False
    // when anything was.
    bool writeStore(std::chrono::milliseconds timeout);

    // Told, from the thread that asked, of every file whose reader failed, now in a helper or
    // remembered by the store: the same cause either way. nullptr stops.
    void setFaultListener(extraction::FaultListener listener);
    void tell(const extraction::ReaderFault& fault);

private:
    const std::shared_ptr<store::DetailStore> store_;
    EmbeddedCache cache_;
    std::shared_mutex listenerMutex_;
    extraction::FaultListener listener_;
    extraction::Extractor extractor_; // goes first: its helpers tell of faults until then
};

} // namespace quillmere::search
