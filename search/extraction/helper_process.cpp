#include "search/extraction/helper_process.h"

#include "details/helper_environment.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quillmere::search::extraction {

namespace {

// The descriptor number on which a helper finds its end of the socket.
constexpr int HelperSocket = 3;

QString secondsText(std::chrono::milliseconds duration) {
    return QString::number(double(duration.count()) / 1000.0) + QStringLiteral(" s");
}

QString describeEnd(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGXCPU)
            return QStringLiteral("the reader used too much processor time");
        if (signal == SIGKILL)
            return QStringLiteral("the reader was killed");
        const char* name = sigabbrev_np(signal);
        return QStringLiteral("the reader crashed (%1)")
            .arg(name ? QStringLiteral("SIG") + QLatin1String(name) : QString::number(signal));
    }
    const int code = WEXITSTATUS(status);
    switch (code) {
    case details::ExitOutOfMemory:
        return QStringLiteral("the reader ran out of memory");
    case details::ExitNoSandbox:
        return QStringLiteral("the reader's sandbox could not be set up");
    default:
        return QStringLiteral("the reader stopped unexpectedly (exit code %1)").arg(code);
    }
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
        stop(QStringLiteral("closed"));
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
    // Libraries load and the sandbox goes up before the helper answers; a sanitizer build is slow.
    const auto startup =
        std::max<std::chrono::milliseconds>(limits_.deadline * 2, std::chrono::seconds(20));
    const details::Channel::Received got = details::Channel(socket_).receive(buffer_, startup);
    if (got == details::Channel::Received::Frame && details::isReady(buffer_))
        return true;
    failure = QStringLiteral("the reader helper could not start: ") +
              stop(got == details::Channel::Received::TimedOut
                       ? QStringLiteral("it did not answer within ") + secondsText(startup)
                       : QString());
    return false;
}

QString HelperProcess::stop(const QString& knownCause) {
    ::close(socket_);
    socket_ = -1;
    // Killed even when it closed its end: it may be dying already, or it may have been taken over.
    ::kill(pid_.load(), SIGKILL);
    int status = 0;
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(pid_.load(), &status, 0);
    } while (reaped < 0 && errno == EINTR);
    pid_ = -1;
    if (!knownCause.isEmpty())
        return knownCause;
    if (reaped < 0)
        return QStringLiteral("the reader stopped unexpectedly");
    return describeEnd(status);
}

HelperProcess::Outcome HelperProcess::read(int reader, int fd, qint64 size,
                                           details::Answer& answer) {
    using Kind = Outcome::Kind;
    if (!isRunning()) {
        QString failure;
        if (!start(failure))
            return {Kind::NotStarted, failure};
    }
    details::Channel channel(socket_);
    if (!channel.send(details::encodeRequest({quint8(reader), size}), fd))
        return {Kind::Failed, stop()};
    switch (channel.receive(buffer_, limits_.deadline)) {
    case details::Channel::Received::Frame:
        if (!details::decodeAnswer(buffer_, answer))
            return {Kind::Failed,
                    stop(QStringLiteral("the reader gave an answer that makes no sense"))};
        return {answer.read ? Kind::Read : Kind::NotItsKind, {}};
    case details::Channel::Received::TimedOut:
        return {Kind::Failed, stop(QStringLiteral("the reader took longer than ") +
                                   secondsText(limits_.deadline))};
    case details::Channel::Received::Closed:
    case details::Channel::Received::Broken:
        break;
    }
    return {Kind::Failed, stop()};
}

} // namespace quillmere::search::extraction
