#pragma once

#include <QByteArrayView>

#include <cstdint>
#include <vector>

namespace quillmere::results {

// Which native paths the results list holds, by row number: an open-addressed table of row
// numbers keyed by each path's seeded hash, and that hash kept per row. Growing the table and
// renumbering after a removal place the rows again by their kept hashes without reading a path,
// so neither stops the window at a million rows the way rehashing a set of paths did.
class PathIndex {
public:
    // Seeded per process, so names made to collide cannot be prepared in advance.
    static uint32_t hashOf(QByteArrayView path);

    // The row holding `path` (whose hash is `hash`), or -1. `pathOf(row)` gives the path of a row
    // the index holds.
    template <typename PathOf>
    qsizetype find(QByteArrayView path, uint32_t hash, const PathOf& pathOf) const;

    qsizetype size() const { return qsizetype(hashes_.size()); }
    // Indexes the row after the last one, whose path has the hash given.
    void append(uint32_t hash);
    // Forgets rows [first, first + count); the rows after them move up.
    void remove(qsizetype first, qsizetype count);
    // Forgets every row whose flag is set; the others move up, keeping their order.
    void removeFlagged(const std::vector<bool>& flagged);
    void clear();
    void reserve(qsizetype rows);

private:
    static constexpr uint32_t kEmpty = 0;

    // A slot holds the row's hash and the row number plus one (0 marks an empty slot).
    struct Slot {
        uint32_t hash;
        uint32_t rowPlusOne;
    };

    void place(uint32_t row) const;
    void rebuild(size_t slotCount) const;
    void rebuildIfStale() const;

    std::vector<uint32_t> hashes_;
    // Built again on the first look-up after a removal rather than once per removed range.
    mutable std::vector<Slot> slots_;
    mutable bool stale_ = false;
};

template <typename PathOf>
qsizetype PathIndex::find(QByteArrayView path, uint32_t hash, const PathOf& pathOf) const {
    rebuildIfStale();
    if (slots_.empty())
        return -1;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot slot = slots_[i];
        if (slot.rowPlusOne == kEmpty)
            return -1;
        const qsizetype row = qsizetype(slot.rowPlusOne) - 1;
        if (slot.hash == hash && QByteArrayView(pathOf(row)) == path)
            return row;
    }
}

} // namespace quillmere::results
