#include "search/detail_sources.h"

#include "search/store/detail_store.h"

#include <mutex>

namespace quillmere::search {

DetailSources::DetailSources(Setup setup)
    : store_(std::move(setup.store)), cache_(setup.cacheLimit),
      extractor_(std::move(setup.reading),
                 [this](const extraction::ReaderFault& fault) { tell(fault); }) {}

DetailSources::DetailSources() : DetailSources(Setup{}) {}

DetailSources::~DetailSources() = default;

bool DetailSources::writeStore(std::chrono::milliseconds timeout) {
    return !store_ || store_->flushWithin(timeout);
}

void DetailSources::setFaultListener(extraction::FaultListener listener) {
    std::unique_lock lock(listenerMutex_);
    listener_ = std::move(listener);
}

void DetailSources::tell(const extraction::ReaderFault& fault) {
    extraction::FaultListener listener;
    {
        std::shared_lock lock(listenerMutex_);
        listener = listener_;
    }
    if (listener)
        listener(fault);
}

} // namespace quillmere::search
