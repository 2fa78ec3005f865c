// quillmere-extract: reads the embedded details of files handed over by the search engine, under
// a sandbox, so that a parser that crashes, hangs or is taken over by a crafted file costs that one
// file. It never opens a name: each file arrives as an open descriptor on the socket (fd 3).

#include "extract/sandbox.h"
#include "extract/warm_up.h"
#include "search/extraction/protocol.h"
#include "search/readers/reader.h"

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

void readFile(const extraction::Request& request, int fd, extraction::Answer& answer) {
    answer.read = false;
    answer.incomplete = false;
    for (QString& value : answer.values)
        value.clear();
#ifdef QUILLMERE_EXTRACT_FAULT_HOOKS
    if (extract::runFaultHook(fd, answer))
        return;
#endif
    const readers::Reader* reader = readers::readerByNumber(request.reader);
    if (!reader)
        ::_exit(extraction::ExitBadRequest);
    readers::FileToRead file;
    file.size = request.size;
    file.descriptor = fd;
    file.confined = true;
    readers::EmbeddedDetails found;
    answer.read = readers::readKeepingWhatWasFound(*reader, file, found, answer.incomplete);
    for (int c = extraction::FirstColumn; c < extraction::ColumnCount; ++c)
        answer.values[size_t(c - extraction::FirstColumn)] = found.joined(c);
}

// One request at a time until the engine closes its end.
[[noreturn]] void serve(int cpuSeconds) {
    extraction::Channel channel(SocketFd);
    QByteArray frame;
    extraction::Answer answer;
    for (;;) {
        int fd = -1;
        const auto got = channel.receive(frame, std::chrono::milliseconds(-1), &fd);
        if (got == extraction::Channel::Received::Closed)
            ::_exit(0);
        extraction::Request request;
        if (got != extraction::Channel::Received::Frame || fd < 0 ||
            !extraction::decodeRequest(frame, request))
            ::_exit(extraction::ExitBadRequest);
        extract::limitProcessorTime(cpuSeconds);
        try {
            readFile(request, fd, answer);
        } catch (const std::bad_alloc&) {
            ::_exit(extraction::ExitOutOfMemory);
        } catch (...) {
            // A reader must not throw; if one does, the file simply has no details.
            answer = {};
        }
        ::close(fd);
        extraction::encodeAnswer(answer, frame);
        if (!channel.send(frame))
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
        ::_exit(extraction::ExitNoSandbox);
    if (!extraction::Channel(SocketFd).send(extraction::encodeReady()))
        ::_exit(0);
    serve(limits.cpuSeconds);
}
