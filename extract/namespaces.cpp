#include "extract/namespaces.h"

#include "extract/error_name.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere::extract {

namespace {

bool writeFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    const int error = errno;
    ::close(fd);
    errno = error;
    return written;
}

// Inside, the process keeps the ids it has outside, so nothing it does there is done as anyone
// else. (Unmapped, it would be the overflow user, which is no better.)
bool mapOwnIds(uid_t uid, gid_t gid, std::string& failure) {
    // The kernel lets an unprivileged process map its group only once it gave up setgroups().
    if (!writeFile("/proc/self/setgroups", "deny")) {
        failure = "setgroups " + errorName(errno);
        return false;
    }
    if (!writeFile("/proc/self/uid_map", std::to_string(uid) + ' ' + std::to_string(uid) + " 1")) {
        failure = "uid_map " + errorName(errno);
        return false;
    }
    if (!writeFile("/proc/self/gid_map", std::to_string(gid) + ' ' + std::to_string(gid) + " 1")) {
        failure = "gid_map " + errorName(errno);
        return false;
    }
    return true;
}

std::string unshareFailure(const char* what, int error) {
    if (error == EINVAL)
        return std::string(what) + " EINVAL (the process already runs threads)";
    return std::string(what) + ' ' + errorName(error);
}

} // namespace

bool enterOwnNamespaces(std::string& detail) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
        std::string mapFailure;
        detail = mapOwnIds(uid, gid, mapFailure)
                     ? "user and mount"
                     : "user and mount (ids unmapped: " + mapFailure + ")";
    } else {
        const std::string userFailure = unshareFailure("user namespace", errno);
        // A process with CAP_SYS_ADMIN (root, mostly) still gets a mount namespace of its own.
        if (::unshare(CLONE_NEWNS) != 0) {
            detail = userFailure + "; " + unshareFailure("mount namespace", errno);
            return false;
        }
        detail = "mount only (" + userFailure + ")";
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        detail += "; mounts not made private: " + errorName(errno);
        return false;
    }
    return true;
}

bool enterEmptyRoot(std::string& detail) {
    // Any folder will do as a place to mount it: it is seen in this mount namespace only.
    const char* place = nullptr;
    for (const char* candidate : {"/tmp", "/mnt", "/proc"}) {
        if (::mount("quillmere-empty", candidate, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    "size=4k,nr_inodes=8,mode=0555") == 0) {
            place = candidate;
            break;
        }
    }
    if (!place) {
        detail = "tmpfs not mounted: " + errorName(errno);
        return false;
    }
    if (::chdir(place) != 0) {
        detail = "chdir " + errorName(errno);
        return false;
    }
    // The old root ends up stacked on the new one; detached, it is gone from this namespace.
    if (::syscall(SYS_pivot_root, ".", ".") == 0) {
        if (::umount2(".", MNT_DETACH) != 0) {
            detail = "old root not detached: " + errorName(errno);
            return false;
        }
        detail = "pivot_root";
    } else {
        // pivot_root cannot leave an initramfs root; chroot holds once no capability is left.
        const int pivotError = errno;
        if (::chroot(".") != 0) {
            detail = "pivot_root " + errorName(pivotError) + ", chroot " + errorName(errno);
            return false;
        }
        detail = "chroot (pivot_root " + errorName(pivotError) + ")";
    }
    if (::chdir("/") != 0 ||
        ::mount(nullptr, "/", nullptr,
                MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                nullptr) != 0) {
        detail = "empty root not made read-only: " + errorName(errno);
        return false;
    }
    detail += ", read-only tmpfs";
    return true;
}

} // namespace quillmere::extract
