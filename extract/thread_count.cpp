#include "extract/thread_count.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quillmere::extract {

ThreadCount::ThreadCount() : status_(::open("/proc/self/status", O_RDONLY | O_CLOEXEC)) {}

ThreadCount::~ThreadCount() {
    close();
}

void ThreadCount::close() {
    if (status_ >= 0)
        ::close(status_);
    status_ = -1;
}

int ThreadCount::now() const {
    if (status_ < 0)
        return 0;
    // Read from the start again, /proc writes the status afresh.
    char text[4096];
    const ssize_t got = ::pread(status_, text, sizeof text - 1, 0);
    if (got <= 0)
        return 0;
    text[got] = '\0';
    const char* line = std::strstr(text, "\nThreads:");
    return line ? std::atoi(line + std::strlen("\nThreads:")) : 0;
}

} // namespace quillmere::extract
