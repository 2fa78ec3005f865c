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

// The clone() flags of glibc's fork(): a process that shares nothing, whose thread id the kernel
// writes into the child and clears when it ends. Any other flags would make a thread, share memory
// or descriptors, or enter namespaces.
constexpr uint64_t ForkCloneFlags = CLONE_CHILD_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD;

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
    template <typename... Conditions>
    void refuse(int syscall, int error, Conditions... conditions) {
        add(SCMP_ACT_ERRNO(uint32_t(error)), syscall, conditions...);
    }
    void kill(int syscall) { add(SCMP_ACT_KILL_PROCESS, syscall); }

    int load() { return seccomp_load(context_); }
    int exportTo(int fd) { return seccomp_export_bpf(context_, fd); }

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
// with the high ones zero: [5], [6, 7], [8, 15] ... [2^30, 2^31 - 1].
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
    for (int command : {F_GETFD, F_SETFD, F_GETFL})
        filter.allow(SCMP_SYS(fcntl), argument(1, SCMP_CMP_EQ, unsigned(command)));
    // A file's open description is the engine's too: O_DIRECT set here would make the engine's
    // own later reads of the file fail.
    filter.allow(SCMP_SYS(fcntl), argument(1, SCMP_CMP_EQ, unsigned(F_SETFL)),
                 argument(2, SCMP_CMP_MASKED_EQ, unsigned(O_DIRECT), 0));
    // The filter sees only descriptor numbers: a copy must never land on a socket's number, or a
    // helper could close its socket and copy its standard error there. So dup, dup2 and dup3
    // stay refused, like everything not listed, and copies go above the sockets.
    allowCopiesFrom(filter, app::fs::LowestCopiedFd);
}

void allowTalking(Filter& filter, const std::vector<int>& sockets) {
    for (int socket : sockets) {
        for (int call : {SCMP_SYS(recvmsg), SCMP_SYS(sendmsg)})
            filter.allow(call, argument(0, SCMP_CMP_EQ, unsigned(socket)));
        if (!SanitizerBuild) {
            for (int call : {SCMP_SYS(write), SCMP_SYS(writev)})
                filter.allow(call, argument(0, SCMP_CMP_EQ, unsigned(socket)));
        }
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
    // No tgkill, not even to its own id: that id would be the zygote's in every helper, which
    // could then kill it. A helper's abort() ends it with SIGSEGV instead of SIGABRT.
    // Reading limits, and moving the processor-time limit before each file (lifting it past the
    // hard limit is the kernel's to refuse).
    filter.allow(SCMP_SYS(prlimit64), argument(0, SCMP_CMP_EQ, 0), argument(2, SCMP_CMP_EQ, 0));
    filter.allow(SCMP_SYS(prlimit64), argument(0, SCMP_CMP_EQ, 0),
                 argument(1, SCMP_CMP_EQ, unsigned(RLIMIT_CPU)));
    filter.allow(SCMP_SYS(setrlimit), argument(0, SCMP_CMP_EQ, unsigned(RLIMIT_CPU)));
}

// The zygote forks as glibc's fork() does; a child closes the zygote's socket, takes SIGKILL as
// its parent-death signal, checks that its parent still lives and adds its own filter.
void allowForking(Filter& filter) {
    filter.allow(SCMP_SYS(clone), argument(0, SCMP_CMP_EQ, ForkCloneFlags));
    for (int call :
         {SCMP_SYS(set_robust_list), SCMP_SYS(wait4), SCMP_SYS(close_range), SCMP_SYS(getppid)})
        filter.allow(call);
    filter.allow(SCMP_SYS(prctl), argument(0, SCMP_CMP_EQ, PR_SET_PDEATHSIG),
                 argument(1, SCMP_CMP_EQ, unsigned(SIGKILL)));
    filter.allow(SCMP_SYS(seccomp), argument(0, SCMP_CMP_EQ, SECCOMP_SET_MODE_FILTER),
                 argument(1, SCMP_CMP_EQ, 0));
}

// clone3 takes its flags in memory the filter cannot read. ENOSYS, as if the kernel had none,
// makes glibc fall back to clone(), whose flags are checked.
void refuseClone3(Filter& filter) {
    filter.refuse(SCMP_SYS(clone3), ENOSYS);
}

void killOnSight(Filter& filter) {
    for (int call : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(ptrace),
                     SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev)})
        filter.kill(call);
}

} // namespace

bool loadReaderFilter(const std::vector<int>& sockets, std::string& failure) {
    Filter filter(SCMP_ACT_ERRNO(EPERM));
    allowMemory(filter);
    allowReading(filter);
    allowTalking(filter, sockets);
    allowRunning(filter);
    allowForking(filter);
    refuseClone3(filter);
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

bool CompiledFilter::compileForHelper(int socket, std::string& failure) {
    Filter filter(SCMP_ACT_ALLOW);
    filter.refuse(SCMP_SYS(clone), EPERM);
    refuseClone3(filter);
    filter.refuse(SCMP_SYS(unshare), EPERM);
    // The zygote's filter also lets its own socket be written to.
    for (int call : {SCMP_SYS(recvmsg), SCMP_SYS(sendmsg)})
        filter.refuse(call, EPERM, argument(0, SCMP_CMP_NE, unsigned(socket)));
    if (!SanitizerBuild) {
        for (int call : {SCMP_SYS(write), SCMP_SYS(writev)})
            filter.refuse(call, EPERM, argument(0, SCMP_CMP_NE, unsigned(socket)));
    }
    if (!filter.isValid()) {
        failure = "helper filter not built";
        return false;
    }
    // libseccomp 2.5 exports a program only to a descriptor.
    const int memory = ::memfd_create("helper-filter", MFD_CLOEXEC);
    if (memory < 0) {
        failure = "helper filter: memfd_create " + errorName(errno);
        return false;
    }
    struct stat exported {};
    bool written = filter.exportTo(memory) == 0 && ::fstat(memory, &exported) == 0 &&
                   exported.st_size > 0 && exported.st_size % sizeof(sock_filter) == 0;
    if (written) {
        program_.resize(size_t(exported.st_size) / sizeof(sock_filter));
        written = ::pread(memory, program_.data(), size_t(exported.st_size), 0) == exported.st_size;
    }
    ::close(memory);
    if (!written || program_.size() > BPF_MAXINSNS) {
        failure = "helper filter not exported";
        program_.clear();
        return false;
    }
    return true;
}

bool CompiledFilter::load() const {
    const sock_fprog program{static_cast<unsigned short>(program_.size()),
                             const_cast<sock_filter*>(program_.data())};
    return !program_.empty() && ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

} // namespace quillmere::extract
