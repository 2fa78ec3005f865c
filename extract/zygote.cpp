#include "extract/zygote.h"

#include "details/helper_protocol.h"
#include "details/zygote_protocol.h"
#include "extract/resource_limits.h"

#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
#include "extract/fault_hooks.h"
#endif

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillmere::extract {

using details::HelperSocketFd;
using details::ZygoteMessage;
using details::ZygoteMessageKind;
using details::ZygoteSocketFd;

namespace {

enum class Received { Message, Closed, Broken };

// One request, and the one descriptor that may come with it (else -1).
Received receiveRequest(ZygoteMessage& request, int& attached) {
    const ssize_t got = details::receiveRecord(ZygoteSocketFd, &request, sizeof request, attached);
    if (got == 0)
        return Received::Closed;
    if (got == ssize_t(sizeof request))
        return Received::Message;
    if (attached >= 0)
        ::close(attached);
    return Received::Broken;
}

bool sendAnswer(const ZygoteMessage& answer) {
#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
    return details::sendRecord(ZygoteSocketFd, &answer, sizeof answer, descriptorToAttach());
#else
    return details::sendRecord(ZygoteSocketFd, &answer, sizeof answer);
#endif
}

[[noreturn]] void becomeHelper(pid_t zygote, const CompiledFilter& helperFilter,
                               int helperCpuSeconds, ServeHelper serve) {
    // The zygote's socket is not the helper's business.
    ::close_range(ZygoteSocketFd, ~0U, 0);
    // The zygote dies with the engine, and its helpers with it. If it is gone already, the helper
    // was handed on to another parent and must not run.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != zygote)
        ::_exit(details::ExitNoSandbox);
    // Its own time starts from zero; the zygote's bound is for a longer life.
    if (!lowerProcessorTime(helperCpuSeconds) || !helperFilter.load())
        ::_exit(details::ExitNoSandbox);
    serve();
    ::_exit(0);
}

ZygoteMessage forkHelper(const ZygoteMessage& request, int socket,
                         const CompiledFilter& helperFilter, int helperCpuSeconds,
                         ServeHelper serve) {
    ZygoteMessage answer{ZygoteMessageKind::NotForked, request.sequence, 0, 0};
    // Received at the lowest free number, which the zygote keeps for it; anywhere else the helper
    // would not find it.
    if (socket != HelperSocketFd) {
        if (socket >= 0)
            ::close(socket);
        answer.value = EBADF;
        return answer;
    }
    const pid_t zygote = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
        becomeHelper(zygote, helperFilter, helperCpuSeconds, serve);
    answer.value = errno;
    ::close(HelperSocketFd);
    if (pid > 0) {
        answer.kind = ZygoteMessageKind::Forked;
        answer.pid = pid;
#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
        answer.pid = helperIdToTell(pid);
#endif
        answer.value = 0;
    }
    return answer;
}

// Only a helper that ended, so that the zygote never waits: the engine asks once it saw the end.
ZygoteMessage reapHelper(const ZygoteMessage& request) {
    ZygoteMessage answer{ZygoteMessageKind::NotReaped, request.sequence, request.pid, EINVAL};
    if (request.pid <= 0)
        return answer; // 0 and -1 would reap any helper
    int status = 0;
    const pid_t reaped = ::waitpid(request.pid, &status, WNOHANG);
    if (reaped == request.pid) {
        answer.kind = ZygoteMessageKind::Reaped;
        answer.value = status;
    } else {
        answer.value = reaped == 0 ? EBUSY : errno;
    }
    return answer;
}

} // namespace

void serveForks(const CompiledFilter& helperFilter, int helperCpuSeconds, ServeHelper serve) {
    for (;;) {
        ZygoteMessage request{};
        int attached = -1;
        switch (receiveRequest(request, attached)) {
        case Received::Closed:
            ::_exit(0);
        case Received::Broken:
            ::_exit(details::ExitBadRequest);
        case Received::Message:
            break;
        }
        ZygoteMessage answer{};
        if (request.kind == ZygoteMessageKind::Fork) {
            answer = forkHelper(request, attached, helperFilter, helperCpuSeconds, serve);
        } else {
            if (attached >= 0)
                ::close(attached);
            if (request.kind != ZygoteMessageKind::Reap)
                ::_exit(details::ExitBadRequest);
            answer = reapHelper(request);
        }
        if (!sendAnswer(answer))
            ::_exit(0);
    }
}

} // namespace quillmere::extract
