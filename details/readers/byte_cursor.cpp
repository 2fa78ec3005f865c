#include "details/readers/byte_cursor.h"

#include <algorithm>
#include <cstring>

namespace quillmere::details::readers {

namespace {
constexpr qint64 WindowBytes = 64 * 1024;
}

ByteCursor::ByteCursor(const app::fs::RegularFile& file, qint64 start, qint64 budget)
    : file_(file), position_(start), end_(std::min(file.size(), budget)) {
    window_.clear();
}

bool ByteCursor::fill() {
    if (failed_ || position_ >= end_)
        return false;
    const qint64 got = file_.readInto(window_, position_, std::min(WindowBytes, end_ - position_));
    windowStart_ = position_;
    return got > 0;
}

int ByteCursor::next() {
    if (failed_)
        return -1;
    if (position_ >= end_) {
        failed_ = true;
        return -1;
    }
    if (position_ < windowStart_ || position_ >= windowStart_ + window_.size()) {
        if (!fill()) {
            failed_ = true;
            return -1;
        }
    }
    return quint8(window_[position_++ - windowStart_]);
}

bool ByteCursor::take(qint64 count, QByteArray& out) {
    out.clear();
    if (failed_ || count < 0 || count > end_ - position_) {
        failed_ = true;
        return false;
    }
    out.resize(qsizetype(count));
    qint64 done = 0;
    while (done < count) {
        if (position_ < windowStart_ || position_ >= windowStart_ + window_.size()) {
            if (!fill()) {
                failed_ = true;
                out.clear();
                return false;
            }
        }
        const qint64 offset = position_ - windowStart_;
        const qint64 n = std::min(count - done, qint64(window_.size()) - offset);
        std::memcpy(out.data() + done, window_.constData() + offset, size_t(n));
        done += n;
        position_ += n;
    }
    return true;
}

bool ByteCursor::skip(qint64 count) {
    if (failed_ || count < 0 || count > end_ - position_) {
        failed_ = true;
        return false;
    }
    position_ += count;
    return true;
}

quint32 ByteCursor::bigEndian32(bool& ok) {
    quint32 value = 0;
    for (int i = 0; i < 4; ++i) {
        const int byte = next();
        if (byte < 0) {
            ok = false;
            return 0;
        }
        value = (value << 8) | quint32(byte);
    }
    return value;
}

} // namespace quillmere::details::readers
