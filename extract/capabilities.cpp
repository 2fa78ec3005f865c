#include "extract/capabilities.h"

#include "extract/error_name.h"

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere::extract {

namespace {

// The capabilities of the bounding set left in it (the set ends where the kernel's list does).
int emptyBoundingSet(int& error) {
    int kept = 0;
    for (int capability = 0;; ++capability) {
        const int held = ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0)
            return kept;
        if (held == 1 && ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            error = errno;
            ++kept;
        }
    }
}

} // namespace

bool dropCapabilities(std::string& detail) {
    int boundingError = 0;
    const int keptInBoundingSet = emptyBoundingSet(boundingError);
    // Fails only on kernels before 4.3, which have no ambient set.
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, sets) != 0) {
        detail = "capset " + errorName(errno);
        return false;
    }
    if (::syscall(SYS_capget, &header, sets) != 0) {
        detail = "capget " + errorName(errno);
        return false;
    }
    for (const auto& set : sets) {
        if (set.effective || set.permitted || set.inheritable) {
            detail = "capabilities still held after capset";
            return false;
        }
    }
    if (keptInBoundingSet == 0) {
        detail = "none held, bounding set empty";
    } else {
        // Only execve() could use it, and the filter ends the process on execve().
        detail = "none held; " + std::to_string(keptInBoundingSet) + " left in the bounding set (" +
                 errorName(boundingError) + ")";
    }
    return true;
}

} // namespace quillmere::extract
