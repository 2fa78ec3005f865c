#include "extract/syscall_filter.h"

#include "app/fs/regular_file.h"
#include "extract/error_name.h"
#include "extract/sanitizer_build.h"

#include <seccomp.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere::extract {

namespace {

// A comparison of argument `index`, as libseccomp's SCMP_A* macros make it (with compound
// literals, which C++ lacks). For SCMP_CMP_MASKED_EQ, `a` is the mask and `b` the value.
scmp_arg_cmp argument(unsigned index, scmp_compare compare, uint64_t a, uint64_t b = 0) {
    return {index, compare, a, b};
}

class Filter {
public:
    explicit Filter(uint32_t otherwise) : context_(seccomp_init(otherwise)) {
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
    // Mapping files and anonymous memory, never executable: a parser taken over cannot make room
    // for code of its own.
    for (int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)})
        filter.allow(call, argument(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    for (int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise)})
        filter.allow(call);
}

// fcntl(F_DUPFD_CLOEXEC) with a lower bound from `lowest` up. seccomp compares all 64 bits of an
// argument while the kernel reads the bound as an int, so a bound of 1 << 32 would pass a "greater
// than" and still mean 0. The bounds are therefore matched as aligned blocks of the low 32 bits
// with the high ones zero: [4, 7], [8, 15] ... [2^30, 2^31 - 1].
void allowCopiesFrom(Filter& filter, uint64_t lowest) {
    constexpr uint64_t Highest = INT_MAX;
    for (uint64_t from = lowest; from <= Highest;) {
        uint64_t size = from & (~from + 1); // the largest power of two that divides it
        while (from + size - 1 > Highest)
            size /= 2;
        filter.allow(SCMP_SYS(fcntl), argument(1, SCMP_CMP_EQ, F_DUPFD_CLOEXEC),
                     argument(2, SCMP_CMP_MASKED_EQ, ~(size - 1), from));
        from += size;
    }
}

void allowReading(Filter& filter) {
    for (int call : {SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(readv), SCMP_SYS(preadv),
                     SCMP_SYS(preadv2), SCMP_SYS(lseek), SCMP_SYS(fstat), SCMP_SYS(close)})
        filter.allow(call);
    // fstat() is newfstatat(fd, "", AT_EMPTY_PATH) in the C library. The path cannot be checked
    // here; the empty root is what makes every other path name nothing.
    filter.allow(SCMP_SYS(newfstatat), argument(3, SCMP_CMP_EQ, AT_EMPTY_PATH));
    for (int command : {F_GETFD, F_SETFD, F_GETFL, F_SETFL})
        filter.allow(SCMP_SYS(fcntl), argument(1, SCMP_CMP_EQ, unsigned(command)));
    // The filter sees only descriptor numbers: a copy must never land on a socket's number, or a
    // helper could close its socket and copy its standard error there. So dup, dup2 and dup3
    // stay refused, like everything not listed, and copies go above the socket.
    allowCopiesFrom(filter, app::fs::LowestCopiedFd);
}

void allowTalking(Filter& filter, int socket) {
    for (int call : {SCMP_SYS(recvmsg), SCMP_SYS(sendmsg)})
        filter.allow(call, argument(0, SCMP_CMP_EQ, unsigned(socket)));
    if (!SanitizerBuild) {
        for (int call : {SCMP_SYS(write), SCMP_SYS(writev)})
            filter.allow(call, argument(0, SCMP_CMP_EQ, unsigned(socket)));
    }
    if (SanitizerBuild) {
        // The sanitizers write their reports to standard error, and UndefinedBehaviorSanitizer
        // checks that an object's vtable is readable by writing it into a pipe of its own; their
        // reports name the executable.
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
    // glibc's qsort() asks for the size of memory.
    filter.allow(SCMP_SYS(sysinfo));
    // abort() signals this very process; no other process can be reached.
    filter.allow(SCMP_SYS(tgkill), argument(0, SCMP_CMP_EQ, unsigned(::getpid())));
    // Reading limits, and moving the processor-time limit before each file (lifting it past the
    // hard limit is the kernel's to refuse).
    filter.allow(SCMP_SYS(prlimit64), argument(0, SCMP_CMP_EQ, 0), argument(2, SCMP_CMP_EQ, 0));
    filter.allow(SCMP_SYS(prlimit64), argument(0, SCMP_CMP_EQ, 0),
                 argument(1, SCMP_CMP_EQ, unsigned(RLIMIT_CPU)));
    filter.allow(SCMP_SYS(setrlimit), argument(0, SCMP_CMP_EQ, unsigned(RLIMIT_CPU)));
}

void killOnSight(Filter& filter) {
    for (int call : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(ptrace),
                     SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev)})
        filter.kill(call);
}

} // namespace

bool loadReaderFilter(int socket, std::string& failure) {
    Filter filter(SCMP_ACT_ERRNO(EPERM));
    allowMemory(filter);
    allowReading(filter);
    allowTalking(filter, socket);
    allowRunning(filter);
    killOnSight(filter);
    if (!filter.isValid()) {
        failure = "seccomp filter not built";
        return false;
    }
    if (const int error = filter.load(); error != 0) {
        failure = "seccomp filter not loaded: " + errorName(-error);
        return false;
    }
    return true;
}

} // namespace quillmere::extract
