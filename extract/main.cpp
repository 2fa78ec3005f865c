// quillmere-extract: reads the embedded details of files handed over by the search engine, under
// a sandbox, so that a parser that crashes, hangs or is taken over by a crafted file costs that
// one helper's files. It never opens a name: each file arrives as an open descriptor.
//
//   quillmere-extract --zygote            started by the engine with its socket on 3: loads every
//                                         reader library, seals itself, says Ready, then forks a
//                                         helper for each request of the engine
//   quillmere-extract --describe-sandbox  prints which layers of the sandbox hold on this machine
//
// Built twice: quillmere-extract with every reader, and quillmere-extract-lean without those that
// use FFmpeg, which the engine starts for every other family of readers.

#include "details/helper_protocol.h"
#include "details/readers/reader.h"
#include "details/zygote_protocol.h"
#include "extract/sandbox.h"
#include "extract/syscall_filter.h"
#include "extract/thread_count.h"
#include "extract/warm_up.h"
#include "extract/zygote.h"

#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
#include "extract/fault_hooks.h"
#endif

#include <QByteArray>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;

namespace {

constexpr int SocketFd = details::HelperSocketFd;

// What each forked helper allows a file; set once, before the zygote forks.
int cpuSecondsPerFile = extract::SandboxLimits().cpuSecondsPerFile;

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

// Answers waiting to go out together: each wake-up of the engine costs both ends a switch, and
// most files are read in far less time than that. They go out before the next file once the
// first of them has waited MaxHeldWait, at MaxHeldAnswers, and at the batch's end.
class HeldAnswers {
public:
    explicit HeldAnswers(int socket) : channel_(socket) {}

    void add(const QByteArray& frame) {
        if (held_ == 0)
            first_ = std::chrono::steady_clock::now();
        details::Channel::appendFrame(frames_, frame);
        if (++held_ >= details::MaxHeldAnswers)
            send();
    }
    void sendIfWaited() {
        if (held_ > 0 && std::chrono::steady_clock::now() - first_ >= details::MaxHeldWait)
            send();
    }
    void send() {
        if (held_ == 0)
            return;
        if (channel_.sendFrames(frames_) != details::Channel::Sent::Whole)
            ::_exit(0);
        frames_.resize(0);
        held_ = 0;
    }

private:
    details::Channel channel_;
    QByteArray frames_;
    int held_ = 0;
    std::chrono::steady_clock::time_point first_;
};

// One batch at a time until the engine closes its end: the files in order, each answered once it
// is read and its descriptor closed, so a helper that dies leaves the rest to the next.
[[noreturn]] void serve(int cpuSeconds) {
    details::Channel channel(SocketFd);
    HeldAnswers held(SocketFd);
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
            held.sendIfWaited();
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
            held.add(frame);
        }
        held.send();
    }
}

// A forked helper, confined: says Ready, then serves.
[[noreturn]] void serveForked() {
    if (details::Channel(SocketFd).send(details::encodeReady()) != details::Channel::Sent::Whole)
        ::_exit(0);
    serve(cpuSecondsPerFile);
}

bool sendZygoteRecord(details::ZygoteMessageKind kind, const std::string& text) {
    const details::ZygoteMessage header{kind, 0, ::getpid(), 0};
    std::string record(reinterpret_cast<const char*>(&header), sizeof header);
    record += text.substr(0, details::MaxSandboxDescription);
    return details::sendRecord(details::ZygoteSocketFd, record.data(), record.size());
}

// The zygote, its socket on 3: everything before forking, in the order the sandbox needs, then
// Ready with the description of its layers. A zygote that cannot seal itself forks nothing.
[[noreturn]] void runZygote(const extract::SandboxLimits& limits, bool describeOnly) {
    // Number 3 stays free from here on: each helper socket the zygote receives lands there.
    if (::dup3(SocketFd, details::ZygoteSocketFd, O_CLOEXEC) != details::ZygoteSocketFd)
        ::_exit(details::ExitNoSandbox);
    ::close(SocketFd);
    extract::SandboxReport report;
    extract::ThreadCount threads;
    // A new user namespace needs a process with one thread: before any library could start one.
    extract::enterNamespaces(report);
    extract::warmUp();
#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
    extract::startAThreadWhenAsked();
#endif
    // A fork copies only the thread that forks: a thread a library started while warming up
    // could leave every helper with a lock nobody will release.
    if (threads.now() > 1) {
        sendZygoteRecord(details::ZygoteMessageKind::NotReady,
                         "a reader library started a thread while warming up");
        ::_exit(details::ExitNoSandbox);
    }
    threads.close();
    std::string failure;
    extract::CompiledFilter helperFilter;
    // libseccomp needs memory descriptors and its own probing: before sealing.
    if (!helperFilter.compileForHelper(SocketFd, failure) ||
        !extract::sealSandbox(details::ZygoteSocketFd, limits, report, failure)) {
        sendZygoteRecord(details::ZygoteMessageKind::NotReady, failure);
        ::_exit(details::ExitNoSandbox);
    }
    report.holds(extract::Layer::Helpers,
                 "forked; each dies with the zygote, has processor time " +
                     std::to_string(limits.cpuSecondsPerHelper) +
                     " s, and adds a filter: no clone, clone3 or unshare, talks on 3 only");
    if (!sendZygoteRecord(details::ZygoteMessageKind::Ready, report.describe()) || describeOnly)
        ::_exit(0);
    extract::serveForks(helperFilter, limits.cpuSecondsPerHelper, serveForked);
}

// Seals a child exactly as a zygote is sealed and prints what it says of its layers.
int describeSandbox() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::dup2(ends[1], SocketFd) != SocketFd)
            ::_exit(1);
        ::close_range(SocketFd + 1, ~0U, 0);
        runZygote(extract::SandboxLimits(), true);
    }
    ::close(ends[1]);
    char record[sizeof(details::ZygoteMessage) + details::MaxSandboxDescription];
    int attached = -1;
    // The child ends by its own limits if it never seals, which closes the socket.
    const ssize_t got = details::receiveRecord(ends[0], record, sizeof record, attached);
    ::close(ends[0]);
    if (attached >= 0)
        ::close(attached);
    ::waitpid(child, nullptr, 0);
    details::ZygoteMessage header{};
    if (got < ssize_t(sizeof header)) {
        std::fputs("The sandbox could not be tried.\n", stderr);
        return 1;
    }
    std::memcpy(&header, record, sizeof header);
    const std::string text(record + sizeof header, size_t(got) - sizeof header);
    if (header.kind != details::ZygoteMessageKind::Ready) {
        std::fprintf(stderr, "The sandbox could not be sealed on this machine: %s\n", text.c_str());
        return 1;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--describe-sandbox") == 0)
        return describeSandbox();
    if (argc < 2 || std::strcmp(argv[1], "--zygote") != 0 || !isSocket(SocketFd))
        return 2; // not started by the engine
    // Nothing inherited beyond the standard streams and the socket stays reachable.
    ::close_range(SocketFd + 1, ~0U, 0);
#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
    extract::readZygoteFault(argv[0]);
#endif
    // The loader's setting, which it has used by now: the helpers' environment is the readers'.
    ::unsetenv("LD_BIND_NOW");
    extract::SandboxLimits limits;
    limits.memoryBytes = option(argc, argv, "--memory-limit", limits.memoryBytes);
    cpuSecondsPerFile = int(option(argc, argv, "--cpu-limit", limits.cpuSecondsPerFile));
    runZygote(limits, false);
}
