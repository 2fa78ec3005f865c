#include "search/extraction/zygote.h"

#include "app/fs/descriptor.h"
#include "details/helper_environment.h"
#include "details/helper_protocol.h"
#include "search/extraction/helper_process.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quillmere::search::extraction {

using details::ZygoteMessage;
using details::ZygoteMessageKind;

namespace {

using Clock = std::chrono::steady_clock;

// A fork or a reap takes a millisecond; this much means the zygote is stuck.
constexpr std::chrono::seconds AnswerDeadline{5};

QString errorText(const QString& what, int error) {
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
}

constexpr ssize_t NoneInTime = -1;
constexpr ssize_t Malformed = -2;

// One whole record of at most `capacity` bytes: its length, 0 when the zygote ended, NoneInTime
// when none came by `deadline`, Malformed when it was longer or brought a descriptor, which the
// zygote never sends (closed at once).
ssize_t receiveMessage(int socket, void* into, size_t capacity, Clock::time_point deadline) {
    if (!app::fs::readyBefore(socket, POLLIN, deadline))
        return NoneInTime;
    int attached = -1;
    const ssize_t got = details::receiveRecord(socket, into, capacity, attached);
    if (attached >= 0) {
        ::close(attached);
        return Malformed;
    }
    return got < 0 ? Malformed : got;
}

// glibc 2.36 declares these without extern "C", so C++ cannot link to its wrappers.
int openPidfd(pid_t pid) {
    return int(::syscall(SYS_pidfd_open, pid, 0));
}
void killByPidfd(int pidfd) {
    ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

// The parent of process `pid`, or -1 when /proc does not say.
pid_t parentOf(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // The name in brackets may hold anything; the fields after it are numbers and letters.
    char stat[256];
    const ssize_t got = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    if (got <= 0)
        return -1;
    stat[got] = 0;
    const char* afterName = std::strrchr(stat, ')');
    int parent = -1;
    if (!afterName || std::sscanf(afterName + 1, " %*c %d", &parent) != 1)
        return -1;
    return parent;
}

// A list of strings as execve() takes it, built before forking: the child may not allocate.
class CStringList {
public:
    explicit CStringList(std::vector<std::string> strings) : strings_(std::move(strings)) {
        for (std::string& s : strings_)
            pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    char* const* get() const { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

// In the child before exec: only calls that are safe after fork() in a process with threads.
[[noreturn]] void execZygote(const char* program, char* const* arguments, char* const* environment,
                             int socket, int devNull, pid_t parent) {
    // It dies with the thread that forked it, the keeper, which lives as long as the engine.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != parent)
        ::_exit(127);
    // Ignored signals and the blocked mask would survive exec.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Out of the way first: the socket or /dev/null may sit on 0, 1 or 3. The helper may read any
    // descriptor it holds: it gets none of the engine's input.
    const int movedSocket = ::fcntl(socket, F_DUPFD, 10);
    if (movedSocket < 0 || ::dup2(devNull, STDIN_FILENO) < 0 ||
        ::dup2(devNull, STDOUT_FILENO) < 0 || ::dup2(movedSocket, details::HelperSocketFd) < 0)
        ::_exit(127);
    ::close_range(details::HelperSocketFd + 1, ~0U, 0);
    ::execve(program, arguments, environment);
    ::_exit(127);
}

pid_t spawnZygote(const QByteArray& program, const std::vector<std::string>& arguments, int socket,
                  QString& failure) {
    std::vector<std::string> argv{program.toStdString()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const CStringList argumentList(std::move(argv));
    // Only the locale and the time zone: nothing else of the user's session reaches a parser.
    std::vector<std::string> variables = details::readerEnvironment(environ);
    // Every symbol of every library bound as the zygote loads, so that the helpers do not each
    // bind their own on first use, writing to pages they share with the zygote. The zygote drops
    // it before it forks.
    variables.emplace_back("LD_BIND_NOW=1");
    const CStringList environment(std::move(variables));
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) {
        failure = errorText(QStringLiteral("/dev/null"), errno);
        return -1;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
        execZygote(program.constData(), argumentList.get(), environment.get(), socket, devNull,
                   parent);
    const int error = errno;
    ::close(devNull);
    if (pid < 0)
        failure = QString::fromLocal8Bit(std::strerror(error));
    return pid;
}

} // namespace

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

std::unique_ptr<Zygote> Zygote::launch(const QByteArray& program,
                                       const std::vector<std::string>& arguments,
                                       QString& failure) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        failure = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    // Only one request is ever out, so a send that cannot go at once means a zygote that stopped
    // reading: the engine's end never blocks, and every receive is polled against a deadline.
    const bool nonBlocking = ::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0;
    const pid_t pid = nonBlocking ? spawnZygote(program, arguments, ends[1], failure) : -1;
    if (!nonBlocking)
        failure = QString::fromLocal8Bit(std::strerror(errno));
    ::close(ends[1]);
    if (pid < 0) {
        ::close(ends[0]);
        return nullptr;
    }
    return std::unique_ptr<Zygote>(new Zygote(pid, ends[0]));
}

bool Zygote::awaitReady(std::chrono::steady_clock::time_point deadline,
                        std::chrono::milliseconds allowed, QString& failure) {
    char buffer[sizeof(ZygoteMessage) + details::MaxSandboxDescription];
    const ssize_t got = receiveMessage(socket_, buffer, sizeof buffer, deadline);
    ZygoteMessage first{};
    if (got >= ssize_t(sizeof first))
        std::memcpy(&first, buffer, sizeof first);
    if (first.kind == ZygoteMessageKind::Ready && first.pid == pid_)
        return true;
    const QString said =
        QString::fromUtf8(buffer + sizeof first,
                          got > ssize_t(sizeof first) ? qsizetype(got - ssize_t(sizeof first)) : 0);
    int status = 0;
    if (first.kind == ZygoteMessageKind::NotReady) {
        failure = QStringLiteral("the reader's sandbox could not be set up: ") + said;
    } else if (got == NoneInTime) {
        failure =
            QStringLiteral("it did not answer within %1 s").arg(double(allowed.count()) / 1000.0);
    } else if (got == 0 && reapWithin(pid_, std::chrono::seconds(1), status)) {
        reaped_ = true; // the destructor has nothing left to wait for
        failure = describeEnd(status).cause;
    } else {
        failure = QStringLiteral("it said something else than that it was ready");
    }
    return false;
}

std::unique_ptr<Zygote> Zygote::start(const QByteArray& program,
                                      const std::vector<std::string>& arguments,
                                      std::chrono::milliseconds deadline, QString& failure) {
    std::unique_ptr<Zygote> zygote = launch(program, arguments, failure);
    if (zygote && !zygote->awaitReady(Clock::now() + deadline, deadline, failure))
        zygote.reset();
    return zygote;
}

Zygote::~Zygote() {
    // Its helpers get SIGKILL as it ends.
    ::close(socket_);
    if (reaped_)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    reapWithin(pid_, std::chrono::seconds(1), status);
}

bool Zygote::isUsable() const {
    std::lock_guard lock(mutex_);
    if (broken_)
        return false;
    // Between conversations nothing is to be read: readable means it ended or babbles.
    pollfd watch{socket_, POLLIN, 0};
    return ::poll(&watch, 1, 0) == 0;
}

bool Zygote::ask(ZygoteMessage request, int attached, ZygoteMessage& answer, QString& failure) {
    std::lock_guard lock(mutex_);
    if (broken_) {
        failure = QStringLiteral("the reader zygote stopped answering");
        return false;
    }
    request.sequence = ++lastSequence_;
    if (!details::sendRecord(socket_, &request, sizeof request, attached)) {
        broken_ = true;
        failure = errno == EAGAIN
                      ? QStringLiteral("the reader zygote did not take the request")
                      : errorText(QStringLiteral("the reader zygote cannot be reached"), errno);
        return false;
    }
    const ssize_t got =
        receiveMessage(socket_, &answer, sizeof answer, Clock::now() + AnswerDeadline);
    if (got == ssize_t(sizeof answer) && answer.sequence == request.sequence)
        return true;
    broken_ = true;
    failure = got == NoneInTime ? QStringLiteral("the reader zygote did not answer within %1 s")
                                      .arg(AnswerDeadline.count())
              : got == 0 ? QStringLiteral("the reader zygote ended")
                         : QStringLiteral("the reader zygote gave an answer that makes no sense");
    return false;
}

bool Zygote::forkHelper(int helperEnd, ForkedHelper& helper, QString& failure) {
    ZygoteMessage answer;
    if (!ask({ZygoteMessageKind::Fork}, helperEnd, answer, failure))
        return false;
    if (answer.kind == ZygoteMessageKind::NotForked) {
        failure = errorText(QStringLiteral("the reader zygote could not fork"), answer.value);
        return false;
    }
    if (answer.kind != ZygoteMessageKind::Forked || answer.pid <= 0) {
        std::lock_guard lock(mutex_);
        broken_ = true;
        failure = QStringLiteral("the reader zygote gave an answer that makes no sense");
        return false;
    }
    // Until the zygote is asked to reap it, the helper's id goes to no other process.
    const int pidfd = openPidfd(answer.pid);
    const int error = errno;
    // A zygote taken over could name any process of the user for the engine to kill: only its own
    // child is taken. Checked once the pidfd holds the process, so the one checked is the one the
    // pidfd signals, or one gone since.
    if (parentOf(answer.pid) != pid_) {
        if (pidfd >= 0)
            ::close(pidfd);
        std::lock_guard lock(mutex_);
        broken_ = true;
        failure = QStringLiteral("the reader zygote named a process it did not fork");
        return false;
    }
    if (pidfd < 0) {
        failure = errorText(QStringLiteral("cannot watch the reader helper"), error);
        ::kill(answer.pid, SIGKILL); // reaped when the zygote ends
        return false;
    }
    helper.pid = answer.pid;
    helper.pidfd = pidfd;
    return true;
}

bool Zygote::hasEnded(const ForkedHelper& helper) {
    pollfd watch{helper.pidfd, POLLIN, 0};
    return ::poll(&watch, 1, 0) > 0;
}

void Zygote::kill(const ForkedHelper& helper) {
    killByPidfd(helper.pidfd);
}

Zygote::End Zygote::endHelper(ForkedHelper& helper, std::chrono::milliseconds deadline,
                              int& status) {
    if (!hasEnded(helper)) {
        killByPidfd(helper.pidfd);
        if (!app::fs::readyBefore(helper.pidfd, POLLIN, Clock::now() + deadline))
            return End::NotInTime; // one stuck in an uninterruptible read on a hung mount
    }
    ::close(helper.pidfd);
    helper.pidfd = -1;
    ZygoteMessage answer;
    QString failure;
    const bool asked = ask({ZygoteMessageKind::Reap, 0, helper.pid, 0}, -1, answer, failure);
    helper.pid = -1;
    if (!asked || answer.kind != ZygoteMessageKind::Reaped)
        return End::Unknown;
    status = answer.value;
    return End::Status;
}

ZygoteKeeper& ZygoteKeeper::instance() {
    // Never destroyed: its thread must outlive every zygote it started.
    static ZygoteKeeper* const keeper = new ZygoteKeeper;
    return *keeper;
}

ZygoteKeeper::ZygoteKeeper() : startWanted_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    std::thread([this] { run(); }).detach();
}

void ZygoteKeeper::run() {
    std::unique_lock lock(mutex_);
    const auto findSlot = [this](auto wanted) {
        const auto found = std::find_if(slots_.begin(), slots_.end(),
                                        [&](const SlotPtr& slot) { return wanted(*slot); });
        return found == slots_.end() ? SlotPtr() : *found;
    };
    const auto wantsStart = [](const Slot& slot) { return slot.startWanted; };
    for (;;) {
        // A killed helper is looked at again until it ended: often at first, then seldom (one
        // stuck on a hung mount may never end). A spare nobody took is ended after a while.
        const auto now = Clock::now();
        Clock::time_point wake = now + std::chrono::hours(1);
        for (const Ending& each : ending_)
            wake = std::min(wake, now + (now - each.since < std::chrono::seconds(1)
                                             ? std::chrono::milliseconds(20)
                                             : std::chrono::milliseconds(1000)));
        for (const SlotPtr& slot : slots_) {
            for (const Spare& spare : slot->spares)
                wake = std::min(wake, spare.forked + SpareLife);
        }
        sleepsUntil_ = wake;
        working_ = false;
        changed_.wait_until(lock, wake, [&] {
            return findSlot(wantsStart) || findSlot(&ZygoteKeeper::wantsSpare) || endingAdded_;
        });
        working_ = true;
        if (findSlot(wantsStart)) {
            startZygotes(lock);
            continue;
        }
        if (const SlotPtr slot = findSlot(&ZygoteKeeper::wantsSpare))
            forkSpare(slot, lock);
        for (const SlotPtr& slot : slots_)
            endSpares(*slot, true);
        reapEnded(lock);
    }
}

void ZygoteKeeper::startZygotes(std::unique_lock<std::mutex>& lock) {
    struct Start {
        SlotPtr slot;
        std::shared_ptr<Zygote> old;
        std::unique_ptr<Zygote> launched;
        QString failure;
        Clock::time_point deadline;
    };
    std::vector<Start> starts;
    for (;;) {
        // Every start wanted and not under way yet: one wanted while others load their
        // libraries joins them rather than waiting for them.
        std::vector<Start> added;
        for (const SlotPtr& slot : slots_) {
            const auto underWay = [&](const Start& start) { return start.slot == slot; };
            if (!slot->startWanted || std::any_of(starts.begin(), starts.end(), underWay))
                continue;
            endSpares(*slot, false);
            added.push_back({slot, std::move(slot->current), nullptr, {}, {}});
        }
        if (added.empty() && starts.empty())
            return;
        lock.unlock();
        for (Start& start : added) {
            start.old.reset(); // ended outside the lock, unless a reader still holds it
            start.launched =
                Zygote::launch(start.slot->program, start.slot->arguments, start.failure);
            start.deadline = Clock::now() + start.slot->startDeadline;
            starts.push_back(std::move(start));
        }
        // Libraries load and the sandbox goes up before each answers; each is handed out as soon
        // as it is ready, whatever the others do.
        std::vector<pollfd> watched{{startWanted_.get(), POLLIN, 0}};
        auto nearest = Clock::time_point::max();
        for (const Start& start : starts) {
            watched.push_back({start.launched ? start.launched->socket_ : -1, POLLIN, 0});
            nearest = std::min(nearest, start.launched ? start.deadline : Clock::now());
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now());
        ::poll(watched.data(), nfds_t(watched.size()), int(std::max<qint64>(0, left.count())));
        if (watched[0].revents != 0) {
            quint64 count = 0;
            [[maybe_unused]] const auto drained = ::read(startWanted_.get(), &count, sizeof count);
        }
        std::vector<Start> finished;
        for (size_t i = starts.size(); i-- > 0;) {
            Start& start = starts[i];
            if (start.launched && watched[i + 1].revents == 0 && Clock::now() < start.deadline)
                continue;
            if (start.launched && !start.launched->awaitReady(
                                      start.deadline, start.slot->startDeadline, start.failure))
                start.launched.reset();
            finished.push_back(std::move(start));
            starts.erase(starts.begin() + qsizetype(i));
        }
        lock.lock();
        for (Start& start : finished) {
            start.slot->current = std::move(start.launched);
            start.slot->failure = start.failure;
            start.slot->startWanted = false;
            ++start.slot->attempts;
        }
        changed_.notify_all();
    }
}

void ZygoteKeeper::wantStart(Slot& slot, std::chrono::milliseconds startDeadline) {
    slot.startDeadline = startDeadline;
    slot.startWanted = true;
    changed_.notify_all();
    // Wakes the keeper also while it waits for other zygotes to start.
    const quint64 one = 1;
    [[maybe_unused]] const auto woken = ::write(startWanted_.get(), &one, sizeof one);
}

bool ZygoteKeeper::wantsSpare(const Slot& slot) {
    return slot.current && !slot.startWanted && slot.spares.size() < slot.sparesWanted;
}

void ZygoteKeeper::forkSpare(const SlotPtr& slot, std::unique_lock<std::mutex>& lock) {
    std::shared_ptr<Zygote> zygote = slot->current;
    const quint64 round = spareRound_;
    lock.unlock();
    Spare spare{{}, -1, {}};
    bool forked = false;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
        QString failure;
        forked = zygote->forkHelper(ends[1], spare.helper, failure);
        ::close(ends[1]);
        spare.socket = ends[0];
        if (!forked)
            ::close(ends[0]);
    }
    lock.lock();
    if (!forked) {
        // Tried again when a spare is asked for next; readers fork their own.
        slot->sparesWanted = 0;
        lock.unlock();
        zygote.reset(); // maybe the last hold on a zygote let go of meanwhile: ended unlocked
        lock.lock();
        return;
    }
    spare.forked = Clock::now();
    // Dropped, or its zygote replaced or given up, while it was forked.
    if (zygote != slot->current || round != spareRound_ ||
        slot->spares.size() >= slot->sparesWanted) {
        Zygote::kill(spare.helper);
        ::close(spare.socket);
        ending_.push_back({zygote, spare.helper, spare.forked});
        return;
    }
    slot->spares.push_back(spare);
}

void ZygoteKeeper::endSpares(Slot& slot, bool expiredOnly) {
    const auto now = Clock::now();
    std::erase_if(slot.spares, [&](const Spare& spare) {
        if (expiredOnly && now - spare.forked < SpareLife)
            return false;
        slot.sparesWanted = 0; // nobody reads now: none are forked until one is asked for again
        Zygote::kill(spare.helper);
        ::close(spare.socket);
        ending_.push_back({slot.current, spare.helper, now});
        return true;
    });
}

void ZygoteKeeper::reapEnded(std::unique_lock<std::mutex>& lock) {
    std::vector<Ending> ending;
    ending.swap(ending_);
    endingAdded_ = false;
    lock.unlock();
    // The zygote reaps only a helper that ended, so no answer waits; a zygote let go of ends
    // here, with its last helper.
    std::erase_if(ending, [](Ending& each) {
        if (!Zygote::hasEnded(each.helper))
            return false;
        int status = 0;
        each.zygote->endHelper(each.helper, std::chrono::milliseconds(0), status);
        return true;
    });
    lock.lock();
    ending_.insert(ending_.end(), std::make_move_iterator(ending.begin()),
                   std::make_move_iterator(ending.end()));
}

ZygoteKeeper::SlotPtr ZygoteKeeper::slotFor(const QByteArray& program,
                                            const std::vector<std::string>& arguments,
                                            std::shared_ptr<Zygote>& evicted) {
    const quint64 ask = ++asks_;
    for (const SlotPtr& slot : slots_) {
        if (slot->program == program && slot->arguments == arguments) {
            slot->lastAsked = ask;
            return slot;
        }
    }
    if (slots_.size() >= MaxZygotes) {
        // The one asked for longest ago, unless its start is under way or awaited: then there is
        // one slot more for a while.
        auto oldest = slots_.end();
        for (auto it = slots_.begin(); it != slots_.end(); ++it) {
            if (!(*it)->startWanted && (*it)->waiters == 0 &&
                (oldest == slots_.end() || (*it)->lastAsked < (*oldest)->lastAsked))
                oldest = it;
        }
        if (oldest != slots_.end()) {
            endSpares(**oldest, false);
            evicted = std::move((*oldest)->current);
            slots_.erase(oldest);
            endingAdded_ = true;
            changed_.notify_all();
        }
    }
    auto slot = std::make_shared<Slot>();
    slot->program = program;
    slot->arguments = arguments;
    slot->lastAsked = ask;
    slots_.push_back(slot);
    return slot;
}

bool ZygoteKeeper::takeSpare(const QByteArray& program, const std::vector<std::string>& arguments,
                             int spares, SpareHelper& taken) {
    std::shared_ptr<Zygote> evicted; // ended after the lock is let go
    std::lock_guard lock(mutex_);
    const SlotPtr slot = slotFor(program, arguments, evicted);
    slot->sparesWanted = size_t(std::max(0, spares));
    changed_.notify_all();
    // A killed zygote's spares die with it, though some may not have yet.
    if (!slot->current || slot->startWanted || !slot->current->isUsable())
        return false;
    while (!slot->spares.empty()) {
        const Spare spare = slot->spares.front(); // the oldest, which has surely said it is ready
        slot->spares.erase(slot->spares.begin());
        if (Zygote::hasEnded(spare.helper)) { // killed from outside while it waited
            ::close(spare.socket);
            ending_.push_back({slot->current, spare.helper, Clock::now()});
            endingAdded_ = true;
            continue;
        }
        taken = {slot->current, spare.helper, spare.socket};
        return true;
    }
    return false;
}

void ZygoteKeeper::dropSpares() {
    std::lock_guard lock(mutex_);
    ++spareRound_;
    for (const SlotPtr& slot : slots_) {
        slot->sparesWanted = 0;
        endSpares(*slot, false);
    }
    endingAdded_ = true;
    changed_.notify_all();
}

void ZygoteKeeper::reapLater(std::shared_ptr<Zygote> zygote, const ForkedHelper& helper) {
    std::lock_guard lock(mutex_);
    // When the keeper looks again shortly anyway, no wake-up of its own.
    if (sleepsUntil_ > Clock::now() + std::chrono::milliseconds(20)) {
        endingAdded_ = true;
        changed_.notify_all();
    }
    ending_.push_back({std::move(zygote), helper, Clock::now()});
}

std::shared_ptr<Zygote> ZygoteKeeper::zygote(const QByteArray& program,
                                             const std::vector<std::string>& arguments,
                                             std::chrono::milliseconds startDeadline,
                                             QString& failure) {
    std::shared_ptr<Zygote> evicted; // ended after the lock is let go
    std::unique_lock lock(mutex_);
    const SlotPtr slot = slotFor(program, arguments, evicted);
    if (slot->current && slot->current->isUsable())
        return slot->current;
    // Kept while this caller waits. A start under way (asked for ahead, or by another caller) is
    // this caller's answer too, whether it succeeds or not: trying again at once would double the
    // wait for a helper that cannot start.
    ++slot->waiters;
    if (slot->startWanted) {
        changed_.wait(lock, [&] { return !slot->startWanted; });
    } else {
        const quint64 awaited = slot->attempts + 1;
        wantStart(*slot, startDeadline);
        changed_.wait(lock, [&] { return slot->attempts >= awaited; });
    }
    --slot->waiters;
    if (!slot->current)
        failure = slot->failure;
    return slot->current;
}

void ZygoteKeeper::startAhead(const QByteArray& program, const std::vector<std::string>& arguments,
                              std::chrono::milliseconds startDeadline) {
    std::shared_ptr<Zygote> evicted; // ended after the lock is let go
    std::lock_guard lock(mutex_);
    const SlotPtr slot = slotFor(program, arguments, evicted);
    // One that broke since is started again by the first caller that needs it.
    if (slot->startWanted || slot->current)
        return;
    wantStart(*slot, startDeadline);
}

void ZygoteKeeper::retire() {
    dropSpares();
    std::vector<std::shared_ptr<Zygote>> retired; // ended outside the lock
    std::lock_guard lock(mutex_);
    std::erase_if(slots_, [&](const SlotPtr& slot) {
        if (slot->startWanted)
            return false;
        retired.push_back(std::move(slot->current));
        return true;
    });
}

std::vector<pid_t> ZygoteKeeper::sparePids() {
    std::lock_guard lock(mutex_);
    std::vector<pid_t> pids;
    for (const SlotPtr& slot : slots_) {
        for (const Spare& spare : slot->spares)
            pids.push_back(spare.helper.pid);
    }
    return pids;
}

bool ZygoteKeeper::isIdle() {
    std::lock_guard lock(mutex_);
    const bool busy = std::any_of(slots_.begin(), slots_.end(), [](const SlotPtr& slot) {
        return slot->startWanted || !slot->spares.empty();
    });
    return !working_ && !busy && ending_.empty();
}

std::vector<pid_t> ZygoteKeeper::runningPids() {
    std::lock_guard lock(mutex_);
    std::vector<pid_t> pids;
    for (const SlotPtr& slot : slots_) {
        if (slot->current)
            pids.push_back(slot->current->pid());
    }
    return pids;
}

} // namespace quillmere::search::extraction
