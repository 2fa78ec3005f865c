// quillmere-extract: reads the embedded details of files handed over by the search engine, under
// a sandbox, so that a parser that crashes, hangs or is taken over by a crafted file costs that one
// file. It never opens a name: each file arrives as an open descriptor on the socket (fd 3).

#include "details/helper_protocol.h"
#include "details/readers/reader.h"
#include "extract/sandbox.h"
#include "extract/warm_up.h"

#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
#include "extract/fault_hooks.h"
#endif

#include <QByteArray>

#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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

void readFile(const details::Request& request, int fd, details::Answer& answer) {
    answer.read = false;
    answer.incomplete = false;
    for (QString& value : answer.values)
        value.clear();
#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
    if (extract::runFaultHook(fd, request.serial, answer))
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

// One request at a time until the engine closes its end.
[[noreturn]] void serve(int cpuSeconds) {
    details::Channel channel(SocketFd);
    QByteArray frame;
    details::Answer answer;
    for (;;) {
        int fd = -1;
        const auto got = channel.receive(frame, std::chrono::milliseconds(-1), &fd);
        if (got == details::Channel::Received::Closed)
            ::_exit(0);
        details::Request request;
        if (got != details::Channel::Received::Frame || fd < 0 ||
            !details::decodeRequest(frame, request))
            ::_exit(details::ExitBadRequest);
        extract::limitProcessorTime(cpuSeconds);
        try {
            readFile(request, fd, answer);
        } catch (const std::bad_alloc&) {
            ::_exit(details::ExitOutOfMemory);
        } catch (...) {
            // A reader must not throw; if one does, the file simply has no details.
            answer = {};
        }
        ::close(fd);
        answer.serial = request.serial;
        details::encodeAnswer(answer, frame);
        if (channel.send(frame) != details::Channel::Sent::Whole)
            ::_exit(0);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (!isSocket(SocketFd))
        return 2; // not started by the engine
    // Nothing inherited beyond the standard streams and the socket stays reachable.
    ::close_range(SocketFd + 1, ~0U, 0);
    extract::SandboxLimits limits;
    limits.memoryBytes = option(argc, argv, "--memory-limit", limits.memoryBytes);
    limits.cpuSeconds = int(option(argc, argv, "--cpu-limit", limits.cpuSeconds));
    extract::warmUp();
    QString failure;
    if (!extract::enterSandbox(SocketFd, limits, failure))
        ::_exit(details::ExitNoSandbox);
    if (details::Channel(SocketFd).send(details::encodeReady()) != details::Channel::Sent::Whole)
        ::_exit(0);
    serve(limits.cpuSeconds);
}
