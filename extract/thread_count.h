#pragma once

namespace quillmere::extract {

// The threads of this process, counted through /proc. Opened before the namespaces hide /proc, so
// it can still count after them; closed before sealing.
class ThreadCount {
public:
    ThreadCount();
    ~ThreadCount();
    ThreadCount(const ThreadCount&) = delete;
    ThreadCount& operator=(const ThreadCount&) = delete;

    // The number of threads now, or 0 when it cannot be told (no /proc here).
    int now() const;
    void close();

private:
    int status_ = -1;
};

} // namespace quillmere::extract
