#include "extract/fault_hooks.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include "app/fs/regular_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillmere::extract {

namespace {

constexpr char Marker[] = "QUILLMERE-FAULT ";
constexpr int CommentsColumn = 24;

QString outcome(long result) {
    if (result >= 0)
        return QStringLiteral("allowed");
    return QString::fromLatin1(strerrorname_np(errno));
}

// What the sandbox answers to the calls a taken-over parser would try first.
// `file` is the descriptor of the file being read, which the engine shares.
QString probeSandbox(int file) {
    QStringList said;
    said << QStringLiteral("open ") + outcome(::open("/etc/passwd", O_RDONLY));
    said << QStringLiteral("openat ") + outcome(::openat(AT_FDCWD, "/etc/passwd", O_RDONLY));
    said << QStringLiteral("socket ") + outcome(::socket(AF_INET, SOCK_STREAM, 0));
    said << QStringLiteral("unix socket ") + outcome(::socket(AF_UNIX, SOCK_STREAM, 0));
    said << QStringLiteral("write ") + outcome(::write(STDOUT_FILENO, "x", 1));
    // The filter sees only numbers: a copy onto the socket's number or below would let standard
    // error pass for the socket.
    said << QStringLiteral("dup ") + outcome(::dup(STDERR_FILENO));
    said << QStringLiteral("dup2 ") + outcome(::dup2(STDERR_FILENO, 9));
    said << QStringLiteral("copy below ") + outcome(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
    const int above = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, app::fs::LowestCopiedFd);
    said << QStringLiteral("copy above ") + outcome(above);
    if (above >= 0)
        ::close(above);
    char typed = 0;
    said << QStringLiteral("stdin ") +
                (::read(STDIN_FILENO, &typed, 1) == 0 ? QStringLiteral("empty") : outcome(-1));
    struct stat st {};
    said << QStringLiteral("stat ") +
                outcome(::fstatat(AT_FDCWD, "/etc/passwd", &st, AT_EMPTY_PATH));
    const int flags = ::fcntl(file, F_GETFL);
    const int direct = ::fcntl(file, F_SETFL, flags | O_DIRECT);
    said << QStringLiteral("direct ") + outcome(direct);
    if (direct == 0)
        ::fcntl(file, F_SETFL, flags);
    rlimit limit{};
    ::getrlimit(RLIMIT_CPU, &limit);
    limit.rlim_max = RLIM_INFINITY;
    said << QStringLiteral("raise cpu ") + outcome(::setrlimit(RLIMIT_CPU, &limit));
    ::getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = limit.rlim_max = RLIM_INFINITY;
    said << QStringLiteral("raise memory ") + outcome(::setrlimit(RLIMIT_AS, &limit));
    // The zygote may fork; a helper forked from it may not, nor start a thread or a namespace.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    said << QStringLiteral("fork ") + outcome(child);
    said << QStringLiteral("unshare ") + outcome(::unshare(CLONE_NEWUSER));
    said << QStringLiteral("secret ") + (std::getenv("QUILLMERE_TEST_SECRET")
                                             ? QStringLiteral("seen")
                                             : QStringLiteral("absent"));
    said << QStringLiteral("pid ") + QString::number(::getpid());
    return said.join(QStringLiteral(", "));
}

// A real fault: raise() needs tgkill, which a helper forked from the zygote may not call.
[[noreturn]] void crash() {
    // Read back from memory, so the compiler cannot see it is null and drop the store.
    static volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    ::_exit(1); // not reached
}

[[noreturn]] void spinForever() {
    volatile unsigned long turns = 0;
    for (;;)
        turns = turns + 1;
}

[[noreturn]] void allocateForever() {
    std::vector<char*> blocks;
    for (;;) {
        char* block = new char[64 << 20];
        std::memset(block, 1, 64 << 20);
        blocks.push_back(block);
    }
}

void spinFor(int milliseconds) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000 >=
            milliseconds)
            return;
    }
}

[[noreturn]] void sleepForever() {
    for (;;)
        ::sleep(1000);
}

void sendAnswer(const details::Answer& answer) {
    QByteArray frame;
    details::encodeAnswer(answer, frame);
    details::Channel(3).send(frame);
}

// Answers this file and, guessing their serial numbers, the first file of the next `count`
// batches before they are asked, then reads nothing more: the engine's requests pile up until
// its end would block.
[[noreturn]] void answerAheadAndStopReading(const details::Answer& asked, int count) {
    details::Answer answer;
    answer.index = asked.index;
    for (int i = 0; i <= count; ++i) {
        answer.batch = asked.batch + quint32(i);
        sendAnswer(answer);
        answer.index = 0;
    }
    sleepForever();
}

// Set by a file that makes the helper die while it reads the next one, whatever that is.
bool dieAtNextFile = false;
// Set by a file that makes the helper say that the next one is of no reader's kind.
bool disownNextFile = false;

// Set for a zygote by "names PID": it tells that id for every helper it forks.
pid_t namedInstead = 0;
// Set for a zygote by "attaches": it sends its standard input with every answer.
bool attachToAnswers = false;

// Every value far past the bounds, with a surrogate pair across each cut.
void fillPastBounds(details::Answer& answer) {
    QString value(100'000, u'x');
    value[details::MaxValueUnits - 1] = QChar(0xD83D);
    value[details::MaxValueUnits] = QChar(0xDE00);
    for (QString& each : answer.values)
        each = value;
}

// A frame header that promises far more than any answer may hold.
[[noreturn]] void promiseAHugeFrame() {
    const quint32 length = 64u << 20;
    if (::write(3, &length, sizeof length) == sizeof length)
        sleepForever();
    ::_exit(0);
}

} // namespace

bool runFaultHook(int fd, details::Answer& answer) {
    if (dieAtNextFile)
        ::raise(SIGSEGV);
    if (std::exchange(disownNextFile, false)) {
        answer.read = false;
        return true;
    }
    char head[64] = {};
    const ssize_t n = ::pread(fd, head, sizeof head - 1, 0);
    const size_t markerLength = sizeof Marker - 1;
    if (n < ssize_t(markerLength) || std::memcmp(head, Marker, markerLength) != 0)
        return false;
    const QByteArray word = QByteArray(head + markerLength, n - ssize_t(markerLength)).trimmed();
    if (word == "crash")
        crash();
    if (word == "hang")
        spinForever();
    if (word == "allocate")
        allocateForever();
    if (word.startsWith("slow"))
        spinFor(word.mid(4).toInt());
    if (word == "stall")
        sleepForever();
    if (word == "ahead")
        answerAheadAndStopReading(answer, 20000);
    dieAtNextFile = word == "dies next";
    disownNextFile = word == "disowns next";
    if (word == "hugeframe")
        promiseAHugeFrame();
    answer.read = true;
    if (word == "huge") {
        fillPastBounds(answer);
        return true;
    }
    QString& said = answer.values[CommentsColumn - details::column::FirstEmbedded];
    said = word == "probe" ? probeSandbox(fd) : QString::fromLatin1(word);
    if (word == "hostile") {
        // What a taken-over helper could send: a terminal sequence, a bell, a NUL, a C1 control
        // and a lone surrogate, around text that must stay.
        said = QStringLiteral("a\x1b[31mb\a\tc\r\n");
        said += QChar(0);
        said += QChar(0x9b);
        said += QChar(0xd800);
        said += QStringLiteral("d\U0001F600");
    }
    // Breaks off after its answer, where no request is out to show it: a second answer in the
    // same write, which has arrived by the time the first is taken, or an end of its own.
    if (word == "says more") {
        QByteArray frame;
        QByteArray frames;
        details::encodeAnswer(answer, frame);
        details::Channel::appendFrame(frames, frame);
        details::Channel::appendFrame(frames, frame);
        details::Channel(3).sendFrames(frames);
    }
    if (word == "answers, ends") {
        sendAnswer(answer);
        ::_exit(0);
    }
    // Lies about whom it answers: this file is answered twice, or instead of its answer comes one
    // for a file outside the batch or one for the next batch.
    if (word == "twice")
        sendAnswer(answer);
    if (word == "outside")
        answer.index = details::MaxBatchFiles;
    if (word == "otherbatch")
        ++answer.batch;
    return true;
}

void readZygoteFault(const char* program) {
    QFile file(QFile::decodeName(program) + QStringLiteral(".zygote"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray word = file.read(64).trimmed();
    if (word.startsWith("names "))
        namedInstead = pid_t(word.mid(6).toInt());
    attachToAnswers = word == "attaches";
}

pid_t helperIdToTell(pid_t forked) {
    return namedInstead > 0 ? namedInstead : forked;
}

int descriptorToAttach() {
    return attachToAnswers ? STDIN_FILENO : -1;
}

void startAThreadWhenAsked() {
    if (std::getenv("QUILLMERE_TEST_THREAD_IN_WARM_UP"))
        std::thread([] { ::pause(); }).detach();
}

} // namespace quillmere::extract
