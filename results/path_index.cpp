#include "results/path_index.h"

#include <QHashFunctions>

#include <algorithm>
#include <bit>

namespace quillmere::results {

namespace {

// At most half the slots in use keeps a probe short, found or not.
size_t slotsFor(size_t rows) {
    return std::bit_ceil(std::max<size_t>(16, rows * 2));
}

} // namespace

uint32_t PathIndex::hashOf(QByteArrayView path) {
    return uint32_t(qHash(path, QHashSeed::globalSeed()));
}

void PathIndex::append(uint32_t hash) {
    hashes_.push_back(hash);
    if (stale_)
        return;
    if (hashes_.size() * 2 > slots_.size())
        rebuild(slotsFor(hashes_.size()));
    else
        place(uint32_t(hashes_.size() - 1));
}

void PathIndex::remove(qsizetype first, qsizetype count) {
    hashes_.erase(hashes_.begin() + first, hashes_.begin() + first + count);
    stale_ = true;
}

void PathIndex::removeFlagged(const std::vector<bool>& flagged) {
    size_t kept = 0;
    for (size_t i = 0; i < hashes_.size(); ++i) {
        if (!flagged[i])
            hashes_[kept++] = hashes_[i];
    }
    hashes_.resize(kept);
    stale_ = true;
}

void PathIndex::clear() {
    hashes_ = {};
    slots_ = {};
    stale_ = false;
}

void PathIndex::reserve(qsizetype rows) {
    hashes_.reserve(size_t(rows));
    if (!stale_ && slotsFor(size_t(rows)) > slots_.size())
        rebuild(slotsFor(size_t(rows)));
}

void PathIndex::place(uint32_t row) const {
    const uint32_t hash = hashes_[row];
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i].rowPlusOne != kEmpty)
        i = (i + 1) & mask;
    slots_[i] = {hash, row + 1};
}

void PathIndex::rebuild(size_t slotCount) const {
    slots_.assign(slotCount, Slot{0, kEmpty});
    for (size_t row = 0; row < hashes_.size(); ++row)
        place(uint32_t(row));
    stale_ = false;
}

void PathIndex::rebuildIfStale() const {
    if (stale_)
        rebuild(slotsFor(hashes_.size()));
}

} // namespace quillmere::results
