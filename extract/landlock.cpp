#include "extract/landlock.h"

#include "extract/error_name.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere::extract {

namespace {

// The access rights by the Landlock version that brought them; spelt out here because the C
// library's headers on a build machine may be older than the kernel the program runs on.
constexpr uint64_t FileRightsOfVersion1 = (uint64_t(1) << 13) - 1; // execute .. make_sym
constexpr uint64_t FileRefer = uint64_t(1) << 13;                  // version 2
constexpr uint64_t FileTruncate = uint64_t(1) << 14;               // version 3
constexpr uint64_t FileIoctlDevice = uint64_t(1) << 15;            // version 5
constexpr uint64_t NetBindTcp = uint64_t(1) << 0;                  // version 4
constexpr uint64_t NetConnectTcp = uint64_t(1) << 1;               // version 4
constexpr uint64_t ScopeAbstractUnixSocket = uint64_t(1) << 0;     // version 6
constexpr uint64_t ScopeSignal = uint64_t(1) << 1;                 // version 6
// The newest version whose rights are all listed above.
constexpr long NewestKnownVersion = 7;

// The kernel's landlock_ruleset_attr as of version 6; an older kernel takes the larger struct as
// long as the fields it does not know are zero.
struct RulesetAttributes {
    uint64_t handledAccessFs = 0;
    uint64_t handledAccessNet = 0;
    uint64_t scoped = 0;
};

RulesetAttributes everythingHandled(long version) {
    RulesetAttributes handled;
    handled.handledAccessFs = FileRightsOfVersion1;
    if (version >= 2)
        handled.handledAccessFs |= FileRefer;
    if (version >= 3)
        handled.handledAccessFs |= FileTruncate;
    if (version >= 4)
        handled.handledAccessNet = NetBindTcp | NetConnectTcp;
    if (version >= 5)
        handled.handledAccessFs |= FileIoctlDevice;
    // Signals and abstract sockets only within the sandbox's own processes. The kernel's own
    // signals (the parent-death signal, SIGXCPU) are not affected.
    if (version >= 6)
        handled.scoped = ScopeAbstractUnixSocket | ScopeSignal;
    return handled;
}

} // namespace

LandlockOutcome denyAllFileAccess(std::string& detail) {
    const long version =
        ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (version < 0) {
        // EPERM: a container's own seccomp profile refuses the call, as if there were none.
        const int error = errno;
        detail = error == ENOSYS       ? "the kernel was built without Landlock"
                 : error == EOPNOTSUPP ? "Landlock is turned off (not in the kernel's lsm= list)"
                 : error == EPERM      ? "Landlock refused by a seccomp filter around this process"
                                       : "Landlock version unknown: " + errorName(error);
        return error == ENOSYS || error == EOPNOTSUPP || error == EPERM
                   ? LandlockOutcome::Unavailable
                   : LandlockOutcome::Failed;
    }
    const long used = version < NewestKnownVersion ? version : NewestKnownVersion;
    const RulesetAttributes handled = everythingHandled(used);
    const int ruleset = int(::syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0));
    if (ruleset < 0) {
        detail = "ruleset refused: " + errorName(errno);
        return LandlockOutcome::Failed;
    }
    // No rule is added: every handled right is denied everywhere.
    const long restricted = ::syscall(SYS_landlock_restrict_self, ruleset, 0);
    const int error = errno;
    ::close(ruleset);
    if (restricted != 0) {
        detail = "restrict_self refused: " + errorName(error);
        return LandlockOutcome::Failed;
    }
    detail = "version " + std::to_string(version) + ", every right handled" +
             (version > NewestKnownVersion ? " up to version " + std::to_string(NewestKnownVersion)
                                           : std::string()) +
             ", none granted";
    return LandlockOutcome::Holds;
}

} // namespace quillmere::extract
