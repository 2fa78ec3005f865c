#include "details/readers/scratch_bytes.h"

#include <vector>

namespace quillmere::details::readers {

namespace {
// Buffers given back by ScratchBytes, for the next file of the same thread.
thread_local std::vector<QByteArray> spareBuffers;
} // namespace

ScratchBytes::ScratchBytes() {
    if (!spareBuffers.empty()) {
        bytes_ = std::move(spareBuffers.back());
        spareBuffers.pop_back();
    }
}

ScratchBytes::~ScratchBytes() {
    // A buffer grown past a few windows is let go rather than kept for the thread's life.
    if (bytes_.capacity() <= 1024 * 1024 && spareBuffers.size() < 8) {
        bytes_.resize(0);
        spareBuffers.push_back(std::move(bytes_));
    }
}

} // namespace quillmere::details::readers
