#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

#include <poll.h>
#include <unistd.h>

namespace quillmere::app::fs {

// Closes a descriptor on every path out of a function.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Whether `fd` is ready for `events` (POLLIN, POLLOUT) before `deadline`; a pidfd is readable once
// its process has ended.
inline bool readyBefore(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watch{fd, events, 0};
        const int ready = ::poll(&watch, 1, int(std::clamp<long long>(left.count(), 0, INT_MAX)));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace quillmere::app::fs
