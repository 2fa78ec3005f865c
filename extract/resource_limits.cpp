#include "extract/resource_limits.h"

#include "extract/error_name.h"
#include "extract/sanitizer_build.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <sys/time.h>

namespace quillmere::extract {

namespace {

bool lowerLimit(int resource, rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0)
        return false;
    limit.rlim_max = std::min(limit.rlim_max, wanted);
    limit.rlim_cur = std::min(limit.rlim_cur, limit.rlim_max);
    return ::setrlimit(resource, &limit) == 0;
}

} // namespace

bool lowerLimits(const SandboxLimits& limits, std::string& failure) {
    const auto fail = [&failure](const char* what) {
        failure = std::string(what) + " limit: " + errorName(errno);
        return false;
    };
    if (!SanitizerBuild && !lowerLimit(RLIMIT_AS, rlim_t(limits.memoryBytes)))
        return fail("address-space");
    if (!lowerLimit(RLIMIT_CPU, rlim_t(limits.cpuSecondsPerZygote)))
        return fail("processor-time");
    if (!lowerLimit(RLIMIT_NOFILE, rlim_t(limits.openFiles)))
        return fail("descriptor");
    if (!lowerLimit(RLIMIT_CORE, 0))
        return fail("core-file");
    return true;
}

bool lowerProcessorTime(int seconds) {
    return lowerLimit(RLIMIT_CPU, rlim_t(seconds));
}

void limitProcessorTime(int seconds) {
    // The limit is moved only when less than `seconds` of it is left, so a file has at least
    // `seconds` and at most twice that; most files cost one call here.
    static rlim_t limitAt = 0;
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return;
    const rlim_t used = rlim_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec);
    const rlim_t allowance = rlim_t(std::max(seconds, 1));
    if (limitAt != 0 && used + allowance <= limitAt)
        return;
    rlimit limit{};
    if (::getrlimit(RLIMIT_CPU, &limit) != 0)
        return;
    limit.rlim_cur = std::min<rlim_t>(used + 2 * allowance, limit.rlim_max);
    if (::setrlimit(RLIMIT_CPU, &limit) == 0)
        limitAt = limit.rlim_cur;
}

} // namespace quillmere::extract
