#include "extract/sandbox.h"

#include <seccomp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

namespace quillmere::extract {

namespace {

// AddressSanitizer reserves terabytes of address space for its shadow memory, so an address-space
// limit would stop it from starting; its builds go without one. They also let the sanitizers
// write their reports and check memory (see allowTalking).
#ifdef QUILLMERE_SANITIZE
constexpr bool SanitizerBuild = true;
#else
constexpr bool SanitizerBuild = false;
#endif

bool setLimit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit limit{soft, hard};
    return ::setrlimit(resource, &limit) == 0;
}

class Filter {
public:
    Filter() : context_(seccomp_init(SCMP_ACT_ERRNO(EPERM))) {
        // A binary search over the calls rather than a list: reads are checked quickest.
        if (context_)
            seccomp_attr_set(context_, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    }
    ~Filter() {
        if (context_)
            seccomp_release(context_);
    }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    bool isValid() const { return context_ != nullptr && ok_; }

    template <typename... Conditions> void allow(int syscall, Conditions... conditions) {
        add(SCMP_ACT_ALLOW, syscall, conditions...);
    }
    void kill(int syscall) { add(SCMP_ACT_KILL_PROCESS, syscall); }

    int load() { return seccomp_load(context_); }

private:
    template <typename... Conditions>
    void add(uint32_t action, int syscall, Conditions... conditions) {
        if (!context_)
            return;
        const scmp_arg_cmp list[] = {conditions..., scmp_arg_cmp{}};
        if (seccomp_rule_add_array(context_, action, syscall, unsigned(sizeof...(conditions)),
                                   list) != 0)
            ok_ = false;
    }

    scmp_filter_ctx context_;
    bool ok_ = true;
};

void allowMemory(Filter& filter) {
    // Mapping files and anonymous memory, never executable: a parser taken over cannot make
    // room for code of its own. (PCRE's just-in-time compiler then falls back to interpreting.)
    for (int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)})
        filter.allow(call, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    for (int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise)})
        filter.allow(call);
}

void allowReading(Filter& filter) {
    for (int call :
         {SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(readv), SCMP_SYS(preadv), SCMP_SYS(preadv2),
          SCMP_SYS(lseek), SCMP_SYS(fstat), SCMP_SYS(close), SCMP_SYS(dup)})
        filter.allow(call);
    // fstat() is newfstatat(fd, "", AT_EMPTY_PATH) in the C library.
    filter.allow(SCMP_SYS(newfstatat), SCMP_A3(SCMP_CMP_EQ, AT_EMPTY_PATH));
    for (int command : {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC})
        filter.allow(SCMP_SYS(fcntl), SCMP_A1(SCMP_CMP_EQ, unsigned(command)));
}

void allowTalking(Filter& filter, int socket) {
    const auto onSocket = SCMP_A0(SCMP_CMP_EQ, unsigned(socket));
    for (int call : {SCMP_SYS(recvmsg), SCMP_SYS(sendmsg), SCMP_SYS(write), SCMP_SYS(writev)})
        filter.allow(call, onSocket);
    if (SanitizerBuild) {
        // UndefinedBehaviourSanitizer checks that memory is readable by writing it into a pipe
        // of its own, and names the executable in its reports.
        for (int call : {SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pipe), SCMP_SYS(pipe2),
                         SCMP_SYS(readlink)})
            filter.allow(call);
    }
}

void allowRunning(Filter& filter) {
    for (int call :
         {SCMP_SYS(futex), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday),
          SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep), SCMP_SYS(sched_yield),
          SCMP_SYS(sched_getaffinity), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getrusage),
          SCMP_SYS(getrandom), SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask),
          SCMP_SYS(rt_sigaction), SCMP_SYS(sigaltstack), SCMP_SYS(restart_syscall), SCMP_SYS(exit),
          SCMP_SYS(exit_group)})
        filter.allow(call);
    // abort() signals this very process; no other process can be reached.
    filter.allow(SCMP_SYS(tgkill), SCMP_A0(SCMP_CMP_EQ, unsigned(::getpid())));
    // Reading limits, and moving the processor-time limit before each file.
    filter.allow(SCMP_SYS(prlimit64), SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0));
    filter.allow(SCMP_SYS(prlimit64), SCMP_A0(SCMP_CMP_EQ, 0),
                 SCMP_A1(SCMP_CMP_EQ, unsigned(RLIMIT_CPU)));
    filter.allow(SCMP_SYS(setrlimit), SCMP_A0(SCMP_CMP_EQ, unsigned(RLIMIT_CPU)));
}

// Anything else fails with EPERM: opening (open, openat, openat2, creat), sockets, connecting,
// forking, and writes to any descriptor but the socket. These end the process outright.
void killOnSight(Filter& filter) {
    for (int call : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(ptrace),
                     SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev)})
        filter.kill(call);
}

} // namespace

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

bool enterSandbox(int socket, const SandboxLimits& limits, QString& failure) {
    const auto fail = [&failure](const char* what, int error) {
        failure = QString::fromLatin1(what) + QStringLiteral(": ") +
                  QString::fromLatin1(strerrorname_np(error));
        return false;
    };
    if (!SanitizerBuild && limits.memoryBytes > 0 &&
        !setLimit(RLIMIT_AS, rlim_t(limits.memoryBytes), rlim_t(limits.memoryBytes)))
        return fail("address-space limit", errno);
    // No core files from a crashing parser, few descriptors held at once.
    if (!setLimit(RLIMIT_CORE, 0, 0) || !setLimit(RLIMIT_NOFILE, 64, 64))
        return fail("resource limits", errno);
    limitProcessorTime(limits.cpuSeconds);
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return fail("no new privileges", errno);
    Filter filter;
    allowMemory(filter);
    allowReading(filter);
    allowTalking(filter, socket);
    allowRunning(filter);
    killOnSight(filter);
    if (!filter.isValid())
        return fail("seccomp filter", EINVAL);
    if (const int error = filter.load(); error != 0)
        return fail("seccomp filter", -error);
    return true;
}

} // namespace quillmere::extract
