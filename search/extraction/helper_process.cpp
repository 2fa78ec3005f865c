#include "search/extraction/helper_process.h"

#include "details/helper_environment.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillmere::search::extraction {

namespace {

// The descriptor number on which a helper finds its end of the socket.
constexpr int HelperSocket = 3;

QString secondsText(std::chrono::milliseconds duration) {
    return QString::number(double(duration.count()) / 1000.0) + QStringLiteral(" s");
}

// What became of a helper, and whether the file it read would do the same again: a kill from
// outside (the user, the kernel short of memory) says nothing about the file.
struct Ending {
    QString cause;
    bool lasting;
};

Ending describeEnd(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGXCPU)
            return {QStringLiteral("the reader used too much processor time"), true};
        if (signal == SIGKILL)
            return {QStringLiteral("the reader was killed"), false};
        const char* name = sigabbrev_np(signal);
        return {
            QStringLiteral("the reader crashed (%1)")
                .arg(name ? QStringLiteral("SIG") + QLatin1String(name) : QString::number(signal)),
            true};
    }
    const int code = WEXITSTATUS(status);
    switch (code) {
    case details::ExitOutOfMemory:
        return {QStringLiteral("the reader ran out of memory"), true};
    case details::ExitNoSandbox:
        return {QStringLiteral("the reader's sandbox could not be set up"), false};
    case details::ExitBadRequest:
        return {QStringLiteral("the reader stopped unexpectedly (exit code %1)").arg(code), false};
    default:
        return {QStringLiteral("the reader stopped unexpectedly (exit code %1)").arg(code), true};
    }
}

// Helpers that did not die in time; each later reap tries them again, so none stays a zombie
// once it is gone.
class Abandoned {
public:
    void add(pid_t pid) {
        std::lock_guard lock(mutex_);
        pids_.push_back(pid);
    }
    void reapTheDead() {
        std::lock_guard lock(mutex_);
        std::erase_if(pids_, [](pid_t pid) {
            int status = 0;
            const pid_t got = ::waitpid(pid, &status, WNOHANG);
            return got == pid || (got < 0 && errno == ECHILD);
        });
    }

private:
    std::mutex mutex_;
    std::vector<pid_t> pids_;
};

Abandoned& abandoned() {
    static Abandoned* const helpers =
        new Abandoned; // threads may stop helpers while the process ends
    return *helpers;
}

class SpawnSettings {
public:
    SpawnSettings(int childEnd) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawn_file_actions_adddup2(&actions_, childEnd, HelperSocket);
        // The helper may read any descriptor it holds: it gets none of the engine's input.
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes_, &none);
        sigset_t defaults;
        sigfillset(&defaults);
        sigdelset(&defaults, SIGKILL);
        sigdelset(&defaults, SIGSTOP);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

} // namespace

HelperProcess::HelperProcess(QByteArray program, HelperLimits limits)
    : program_(std::move(program)), limits_(limits) {}

HelperProcess::~HelperProcess() {
    if (isRunning())
        stop({QStringLiteral("closed"), false});
}

bool HelperProcess::start(QString& failure) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        failure = QStringLiteral("the reader helper could not start: ") +
                  QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    int childEnd = ends[1];
    if (childEnd == HelperSocket) {
        // dup2 onto itself would leave close-on-exec set.
        childEnd = ::fcntl(ends[1], F_DUPFD_CLOEXEC, HelperSocket + 1);
        ::close(ends[1]);
    }
    const std::string memory = "--memory-limit=" + std::to_string(limits_.memoryBytes);
    const std::string cpu = "--cpu-limit=" + std::to_string(limits_.cpuSeconds);
    char* const arguments[] = {const_cast<char*>(program_.constData()),
                               const_cast<char*>(memory.c_str()), const_cast<char*>(cpu.c_str()),
                               nullptr};
    // Only the locale and the time zone: nothing else of the user's session reaches a parser.
    const std::vector<std::string> variables = details::readerEnvironment(environ);
    std::vector<char*> environment;
    environment.reserve(variables.size() + 1);
    for (const std::string& variable : variables)
        environment.push_back(const_cast<char*>(variable.c_str()));
    environment.push_back(nullptr);
    pid_t pid = -1;
    int spawned = ENOMEM;
    if (childEnd >= 0) {
        const SpawnSettings settings(childEnd);
        spawned = ::posix_spawn(&pid, program_.constData(), settings.actions(),
                                settings.attributes(), arguments, environment.data());
        ::close(childEnd);
    }
    if (spawned != 0) {
        ::close(ends[0]);
        failure = QStringLiteral("the reader helper could not start: ") +
                  QString::fromLocal8Bit(std::strerror(spawned));
        return false;
    }
    pid_ = pid;
    socket_ = ends[0];
    // Every send and receive is bounded by a deadline, so this end never blocks.
    ::fcntl(socket_, F_SETFL, ::fcntl(socket_, F_GETFL) | O_NONBLOCK);
    // Libraries load and the sandbox goes up before the helper answers; a sanitizer build is slow.
    const auto startup =
        std::max<std::chrono::milliseconds>(limits_.deadline * 2, std::chrono::seconds(20));
    const details::Channel::Received got = details::Channel(socket_).receive(buffer_, startup);
    if (got == details::Channel::Received::Frame && details::isReady(buffer_))
        return true;
    failure = QStringLiteral("the reader helper could not start: ") +
              stop({got == details::Channel::Received::TimedOut
                        ? QStringLiteral("it did not answer within ") + secondsText(startup)
                        : QString(),
                    false})
                  .cause;
    return false;
}

bool reapWithin(pid_t pid, std::chrono::milliseconds deadline, int& status) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return true;
        if (got < 0 && errno != EINTR)
            return false; // not our child (any more)
        if (std::chrono::steady_clock::now() >= end) {
            abandoned().add(pid);
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
    }
}

HelperProcess::End HelperProcess::stop(const End& known, bool unlessEnded) {
    ::close(socket_);
    socket_ = -1;
    const pid_t pid = pid_.exchange(-1);
    int status = 0;
    const bool endedAlready = ::waitpid(pid, &status, WNOHANG) == pid;
    bool reaped = endedAlready;
    if (!reaped) {
        // Killed even when it closed its end: it may be dying already, or it may have been
        // taken over.
        ::kill(pid, SIGKILL);
        reaped = reapWithin(pid, limits_.reapDeadline, status);
    }
    abandoned().reapTheDead();
    if (!known.cause.isEmpty() && !(unlessEnded && endedAlready))
        return known;
    if (!reaped)
        return {QStringLiteral("the reader did not end when it was stopped"), false};
    const Ending ending = describeEnd(status);
    return {ending.cause, ending.lasting};
}

HelperProcess::Outcome HelperProcess::failed(const End& known, bool unlessEnded) {
    const End end = stop(known, unlessEnded);
    return {Outcome::Kind::Failed, end.cause, end.lasting};
}

void HelperProcess::retire() {
    if (isRunning())
        stop({QStringLiteral("closed"), false});
}

HelperProcess::Outcome HelperProcess::read(std::span<const File> files, const Answered& answered) {
    using Kind = Outcome::Kind;
    if (files.empty())
        return {Kind::Whole, {}};
    if (!isRunning()) {
        QString failure;
        if (!start(failure))
            return {Kind::NotStarted, failure};
    }
    const End nonsense{QStringLiteral("the reader gave an answer that makes no sense"), true};
    const End tookTooLong{
        QStringLiteral("the reader took longer than ") + secondsText(limits_.deadline), false};
    std::vector<bool> done(files.size(), false);
    size_t culprit = 0; // the first file not answered yet
    const auto failedAt = [&](const End& known, bool unlessEnded = false) {
        Outcome outcome = failed(known, unlessEnded);
        outcome.culprit = culprit;
        return outcome;
    };
    details::Request request;
    request.batch = ++batch_;
    request.files.reserve(files.size());
    std::vector<int> fds;
    fds.reserve(files.size());
    for (const File& file : files) {
        request.files.push_back({quint8(file.reader), file.size});
        fds.push_back(file.fd);
    }
    details::Channel channel(socket_);
    // A helper that stops reading is as stuck as one that stops answering.
    switch (channel.send(details::encodeRequest(request), fds, limits_.deadline)) {
    case details::Channel::Sent::Whole:
        break;
    case details::Channel::Sent::TimedOut:
        return failedAt(tookTooLong);
    case details::Channel::Sent::Broken:
        return failedAt({});
    }
    thread_local details::Answer answer;
    for (size_t left = files.size(); left > 0; --left) {
        // Each answer within the deadline of one file, counted from the one before.
        switch (channel.receive(buffer_, limits_.deadline)) {
        case details::Channel::Received::Frame:
            break;
        case details::Channel::Received::TimedOut:
            return failedAt(tookTooLong);
        case details::Channel::Received::Broken:
            // A frame too large or cut short, unless the helper died while it wrote.
            return failedAt(nonsense, true);
        case details::Channel::Received::Closed:
            return failedAt({});
        }
        // Bound to its request: this batch, a file in it, not answered before.
        if (!details::decodeAnswer(buffer_, answer) || answer.batch != request.batch ||
            answer.index >= files.size() || done[answer.index])
            return failedAt(nonsense);
        done[answer.index] = true;
        while (culprit < done.size() && done[culprit])
            ++culprit;
        answered(answer.index, answer);
    }
    return {Kind::Whole, {}};
}

} // namespace quillmere::search::extraction
