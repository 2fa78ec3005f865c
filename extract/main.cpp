// quillmere-extract: reads the embedded details of files handed over by the search engine, under
// a sandbox, so that a parser that crashes, hangs or is taken over by a crafted file costs that one
// file. It never opens a name: each file arrives as an open descriptor on the socket (fd 3).
//
//   quillmere-extract                     a helper, started by the engine with its socket on 3
//   quillmere-extract --describe-sandbox  prints which layers of the sandbox hold on this machine

#include "details/helper_protocol.h"
#include "details/readers/reader.h"
#include "extract/sandbox.h"
#include "extract/warm_up.h"

#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
#include "extract/fault_hooks.h"
#endif

#include <QByteArray>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;

namespace {

constexpr int SocketFd = 3;

qint64 option(int argc, char** argv, const char* name, qint64 fallback) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=')
            return QByteArray(argv[i] + length + 1).toLongLong();
    }
    return fallback;
}

bool isSocket(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

void readFile(const details::Request::File& request, int fd, details::Answer& answer) {
    answer.read = false;
    answer.incomplete = false;
    for (QString& value : answer.values)
        value.clear();
#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
    if (extract::runFaultHook(fd, answer))
        return;
#endif
    const details::readers::Reader* reader = details::readers::readerByNumber(request.reader);
    if (!reader)
        ::_exit(details::ExitBadRequest);
    details::readers::FileToRead file;
    file.size = request.size;
    file.descriptor = fd;
    file.confined = true;
    details::readers::EmbeddedDetails found;
    answer.read =
        details::readers::readKeepingWhatWasFound(*reader, file, found, answer.incomplete);
    for (int c = details::column::FirstEmbedded; c < details::column::Count; ++c)
        answer.values[size_t(c - details::column::FirstEmbedded)] = found.joined(c);
}

// One batch at a time until the engine closes its end: the files in order, each answered as soon
// as it is read and its descriptor closed, so a helper that dies leaves the rest to the next.
[[noreturn]] void serve(int cpuSeconds) {
    details::Channel channel(SocketFd);
    QByteArray frame;
    details::Request request;
    std::vector<int> fds;
    details::Answer answer;
    for (;;) {
        const auto got = channel.receive(frame, std::chrono::milliseconds(-1), &fds);
        if (got == details::Channel::Received::Closed)
            ::_exit(0);
        // Exactly one descriptor per file announced: any other count is a broken frame.
        if (got != details::Channel::Received::Frame || !details::decodeRequest(frame, request) ||
            fds.size() != request.files.size())
            ::_exit(details::ExitBadRequest);
        for (size_t i = 0; i < fds.size(); ++i) {
            extract::limitProcessorTime(cpuSeconds);
            try {
                answer.batch = request.batch;
                answer.index = quint16(i);
                readFile(request.files[i], fds[i], answer);
            } catch (const std::bad_alloc&) {
                ::_exit(details::ExitOutOfMemory);
            } catch (...) {
                // A reader must not throw; if one does, the file simply has no details.
                answer = {};
                answer.batch = request.batch;
                answer.index = quint16(i);
            }
            ::close(fds[i]);
            details::encodeAnswer(answer, frame);
            if (channel.send(frame) != details::Channel::Sent::Whole)
                ::_exit(0);
        }
    }
}

// Everything before serving, in the order the sandbox needs; a helper that cannot seal itself
// reads nothing.
void seal(const extract::SandboxLimits& limits, extract::SandboxReport& report) {
    // A new user namespace needs a process with one thread: before any library could start one.
    extract::enterNamespaces(report);
    extract::warmUp();
    std::string failure;
    if (!extract::sealSandbox(SocketFd, limits, report, failure))
        ::_exit(details::ExitNoSandbox);
}

// Seals a child exactly as a helper is sealed and prints what it says of its layers.
int describeSandbox() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::dup2(ends[1], SocketFd) != SocketFd)
            ::_exit(1);
        ::close_range(SocketFd + 1, ~0U, 0);
        extract::SandboxReport report;
        seal(extract::SandboxLimits(), report);
        const std::string text = report.describe();
        ::_exit(::write(SocketFd, text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
    }
    ::close(ends[1]);
    std::string text;
    char part[4096];
    ssize_t got = 0;
    // Bounded: the report is a few lines, and a child that never seals ends by its own limits.
    while (text.size() < 65536 && (got = ::read(ends[0], part, sizeof part)) > 0)
        text.append(part, size_t(got));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fputs(WIFEXITED(status) && WEXITSTATUS(status) == details::ExitNoSandbox
                       ? "The sandbox could not be sealed on this machine.\n"
                       : "The sandbox could not be tried.\n",
                   stderr);
        return 1;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--describe-sandbox") == 0)
        return describeSandbox();
    if (!isSocket(SocketFd))
        return 2; // not started by the engine
    // Nothing inherited beyond the standard streams and the socket stays reachable.
    ::close_range(SocketFd + 1, ~0U, 0);
    extract::SandboxLimits limits;
    limits.memoryBytes = option(argc, argv, "--memory-limit", limits.memoryBytes);
    limits.cpuSecondsPerFile = int(option(argc, argv, "--cpu-limit", limits.cpuSecondsPerFile));
    extract::SandboxReport report;
    seal(limits, report);
    if (details::Channel(SocketFd).send(details::encodeReady()) != details::Channel::Sent::Whole)
        ::_exit(0);
    serve(limits.cpuSecondsPerFile);
}
