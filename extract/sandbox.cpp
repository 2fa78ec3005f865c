#include "extract/sandbox.h"

#include "details/helper_environment.h"
#include "details/zygote_protocol.h"

#include "extract/capabilities.h"
#include "extract/error_name.h"
#include "extract/landlock.h"
#include "extract/namespaces.h"
#include "extract/sanitizer_build.h"
#include "extract/syscall_filter.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace quillmere::extract {

namespace {

const char* layerName(Layer layer) {
    switch (layer) {
    case Layer::Namespaces:
        return "namespaces";
    case Layer::EmptyRoot:
        return "empty root";
    case Layer::Capabilities:
        return "capabilities";
    case Layer::NoNewPrivileges:
        return "no new privileges";
    case Layer::Landlock:
        return "Landlock";
    case Layer::Limits:
        return "limits";
    case Layer::Environment:
        return "environment";
    case Layer::Descriptors:
        return "descriptors";
    case Layer::SystemCalls:
        return "system calls";
    case Layer::Helpers:
        return "helpers";
    }
    return "?";
}

std::string limitText(int resource) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0)
        return "?";
    if (limit.rlim_max == RLIM_INFINITY)
        return "unlimited";
    return std::to_string(limit.rlim_max);
}

std::string describeLimits() {
    return "hard: cpu " + limitText(RLIMIT_CPU) + " s, address space " + limitText(RLIMIT_AS) +
           " bytes, " + limitText(RLIMIT_NOFILE) + " descriptors, core " + limitText(RLIMIT_CORE);
}

// The names of the variables kept.
std::string reduceEnvironment() {
    std::vector<std::string> dropped;
    std::string kept;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const std::string name(text.substr(0, text.find('=')));
        if (details::isReaderVariable(text))
            kept += (kept.empty() ? "" : ", ") + name;
        else
            dropped.push_back(name);
    }
    for (const std::string& name : dropped)
        ::unsetenv(name.c_str());
    return kept.empty() ? "empty" : kept;
}

// 0, 1 and 2 become /dev/null; every other descriptor but the socket is closed, those a library
// opened while loading too.
bool settleDescriptors(int devNull, int socket, std::string& detail) {
    const int lastStandard = SanitizerBuild ? STDOUT_FILENO : STDERR_FILENO;
    for (int fd = STDIN_FILENO; fd <= lastStandard; ++fd) {
        if (::dup2(devNull, fd) != fd) {
            detail = "dup2 " + errorName(errno);
            return false;
        }
    }
    if (devNull > STDERR_FILENO && devNull != socket)
        ::close(devNull);
    if (socket > STDERR_FILENO + 1)
        ::close_range(STDERR_FILENO + 1, unsigned(socket) - 1, 0);
    ::close_range(unsigned(socket) + 1, ~0U, 0);
    detail = SanitizerBuild ? "0 and 1 on /dev/null, 2 kept for the sanitizers' reports"
                            : "0, 1 and 2 on /dev/null";
    detail += "; open:";
    for (int fd = 0; fd <= socket; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0)
            detail += ' ' + std::to_string(fd);
    }
    return true;
}

} // namespace

void SandboxReport::holds(Layer layer, std::string detail) {
    entries_.push_back({layer, true, std::move(detail)});
}

void SandboxReport::skipped(Layer layer, std::string reason) {
    entries_.push_back({layer, false, std::move(reason)});
}

bool SandboxReport::has(Layer layer) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [layer](const Entry& entry) { return entry.layer == layer && entry.holds; });
}

std::string SandboxReport::describe() const {
    std::string text;
    for (const Entry& entry : entries_) {
        text += layerName(entry.layer);
        text +=
            entry.holds ? ": holds (" + entry.detail + ")\n" : ": skipped: " + entry.detail + '\n';
    }
    return text;
}

void enterNamespaces(SandboxReport& report) {
    std::string detail;
    if (enterOwnNamespaces(detail))
        report.holds(Layer::Namespaces, detail);
    else
        report.skipped(Layer::Namespaces, detail);
}

bool sealSandbox(int socket, const SandboxLimits& limits, SandboxReport& report,
                 std::string& failure) {
    const auto fail = [&report, &failure](Layer layer, const std::string& why) {
        report.skipped(layer, why);
        failure = std::string(layerName(layer)) + ": " + why;
        return false;
    };
    // Opened while there still is a file system to open it from.
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        return fail(Layer::Descriptors, "/dev/null " + errorName(errno));

    std::string detail;
    if (!report.has(Layer::Namespaces))
        report.skipped(Layer::EmptyRoot, "no mount namespace of its own");
    else if (enterEmptyRoot(detail))
        report.holds(Layer::EmptyRoot, detail);
    else
        report.skipped(Layer::EmptyRoot, detail);

    if (!dropCapabilities(detail))
        return fail(Layer::Capabilities, detail);
    report.holds(Layer::Capabilities, detail);

    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return fail(Layer::NoNewPrivileges, errorName(errno));
    report.holds(Layer::NoNewPrivileges, "set");

    switch (denyAllFileAccess(detail)) {
    case LandlockOutcome::Holds:
        report.holds(Layer::Landlock, detail);
        break;
    case LandlockOutcome::Unavailable:
        report.skipped(Layer::Landlock, detail);
        break;
    case LandlockOutcome::Failed:
        return fail(Layer::Landlock, detail);
    }

    if (!lowerLimits(limits, detail))
        return fail(Layer::Limits, detail);
    report.holds(Layer::Limits, describeLimits());

    report.holds(Layer::Environment, reduceEnvironment());

    if (!settleDescriptors(devNull, socket, detail))
        return fail(Layer::Descriptors, detail);
    report.holds(Layer::Descriptors, detail);

    // Each helper forked later talks on the number kept free for it.
    if (!loadReaderFilter({details::HelperSocketFd, socket}, detail))
        return fail(Layer::SystemCalls, detail);
    report.holds(Layer::SystemCalls, "seccomp; forks as fork() does, nothing else");
    return true;
}

} // namespace quillmere::extract
