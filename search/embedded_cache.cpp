#include "search/embedded_cache.h"

#include <mutex>

namespace quillmere::search {

bool EmbeddedCache::find(const QByteArray& path, const store::FileSignature& signature,
                         KeptDetails& out) {
    {
        std::shared_lock lock(mutex_);
        const auto it = kept_.constFind(path);
        if (it == kept_.constEnd() || !(it->signature == signature))
            return false;
        out = *it;
    }
    ++reuses_;
    return true;
}

void EmbeddedCache::keep(const QByteArray& path, KeptDetails kept, bool read) {
    ++(read ? reads_ : remembered_);
    std::unique_lock lock(mutex_);
    if (limit_ <= 0)
        return;
    const auto it = kept_.find(path);
    if (it != kept_.end()) {
        *it = std::move(kept); // a changed file keeps its place in the order
        return;
    }
    kept_.insert(path, kept);
    order_.push_back(path);
    dropOverLimit();
}

std::shared_ptr<const void> EmbeddedCache::holdWaiting(qsizetype bytes) {
    if (waiting_.fetch_add(bytes) + bytes > WaitingBytes) {
        waiting_ -= bytes;
        return nullptr;
    }
    class Room {
    public:
        Room(std::atomic<qsizetype>& waiting, qsizetype bytes) : waiting_(waiting), bytes_(bytes) {}
        ~Room() { waiting_ -= bytes_; }
        Room(const Room&) = delete;
        Room& operator=(const Room&) = delete;

    private:
        std::atomic<qsizetype>& waiting_;
        const qsizetype bytes_;
    };
    return std::make_shared<const Room>(waiting_, bytes);
}

EmbeddedCache::Figures EmbeddedCache::figures() {
    std::shared_lock lock(mutex_);
    return {reads_.load(), reuses_.load(), remembered_.load(), kept_.size()};
}

void EmbeddedCache::clear() {
    std::unique_lock lock(mutex_);
    kept_.clear();
    order_.clear();
}

void EmbeddedCache::dropOverLimit() {
    while (kept_.size() > limit_ && !order_.empty()) {
        kept_.remove(order_.front());
        order_.pop_front();
    }
}

} // namespace quillmere::search
