#include "search/extraction/helper_process.h"

#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillmere::search::extraction {

namespace {

QString secondsText(std::chrono::milliseconds duration) {
    return QString::number(double(duration.count()) / 1000.0) + QStringLiteral(" s");
}

// Zygotes that did not die in time; each later reap tries them again, so none stays a zombie
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

} // namespace

struct HelperLife::Waiting {
    std::atomic<int> open{1}; // the lives it waits for, and the caller while it asks them
    std::function<void()> keep;

    void release() {
        if (--open > 0)
            return;
        // A file that cannot be remembered is read again next time; the others are unaffected.
        try {
            keep();
        } catch (...) {
        }
    }
};

void HelperLife::whenAllEndCleanly(std::span<const std::shared_ptr<HelperLife>> lives,
                                   std::function<void()> keep) {
    const auto waiting = std::make_shared<Waiting>();
    waiting->keep = std::move(keep);
    for (const std::shared_ptr<HelperLife>& life : lives) {
        if (!life)
            continue;
        std::lock_guard lock(life->mutex_);
        if (life->state_ == State::Clean)
            continue;
        // Left with a count that never reaches nought: the lives asked already drop it when they
        // end.
        if (life->state_ == State::Faulted || life->waiting_.size() >= MaxHeld)
            return;
        ++waiting->open;
        life->waiting_.push_back(waiting);
    }
    waiting->release();
}

void HelperLife::endCleanly() {
    std::vector<std::shared_ptr<Waiting>> waiting;
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Open)
            return;
        state_ = State::Clean;
        waiting.swap(waiting_);
    }
    for (const std::shared_ptr<Waiting>& each : waiting)
        each->release();
}

void HelperLife::endFaulted() {
    std::vector<std::shared_ptr<Waiting>> dropped; // freed outside the lock
    std::lock_guard lock(mutex_);
    if (state_ != State::Open)
        return;
    state_ = State::Faulted;
    dropped.swap(waiting_);
}

HelperProcess::HelperProcess(QByteArray program, HelperLimits limits)
    : program_(std::move(program)), limits_(limits) {}

HelperProcess::~HelperProcess() {
    if (!isRunning())
        return;
    endLife();
    stop({QStringLiteral("closed"), false});
}

void HelperProcess::endLife() {
    // After its last answer a helper waits for the next request. One that still owes answers,
    // said more than it was asked, or ended on its own broke off: no request shows it, but what
    // it said is as suspect as a faulted helper's.
    pollfd watch{socket_, POLLIN, 0};
    if (pending_.empty() && inbox_.isEmpty() && ::poll(&watch, 1, 0) == 0 &&
        !Zygote::hasEnded(helper_))
        life_->endCleanly();
    else
        life_->endFaulted();
}

namespace {

std::vector<std::string> zygoteArguments(const HelperLimits& limits) {
    return {"--zygote", "--memory-limit=" + std::to_string(limits.memoryBytes),
            "--cpu-limit=" + std::to_string(limits.cpuSeconds)};
}

} // namespace

void startZygoteAhead(const QByteArray& program, const HelperLimits& limits) {
    ZygoteKeeper::instance().startAhead(program, zygoteArguments(limits), limits.startDeadline);
}

HelperProcess::Start HelperProcess::start(QString& failure, bool maySpare) {
    const std::vector<std::string> arguments = zygoteArguments(limits_);
    const int spares =
        limits_.spareHelpers >= 0 ? limits_.spareHelpers : std::max(1, QThread::idealThreadCount());
    SpareHelper spare;
    if (maySpare && ZygoteKeeper::instance().takeSpare(program_, arguments, spares, spare)) {
        zygote_ = std::move(spare.zygote);
        helper_ = spare.helper;
        socket_ = spare.socket;
        return awaitReady(failure);
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        failure = QStringLiteral("the reader helper could not start: ") +
                  QString::fromLocal8Bit(std::strerror(errno));
        return Start::Failed;
    }
    // A zygote that died since the last helper is started again, once.
    bool forked = false;
    for (int attempt = 0; attempt < 2 && !forked; ++attempt) {
        zygote_ =
            ZygoteKeeper::instance().zygote(program_, arguments, limits_.startDeadline, failure);
        if (!zygote_)
            break;
        forked = zygote_->forkHelper(ends[1], helper_, failure);
        if (!forked && zygote_->isUsable())
            break;
    }
    ::close(ends[1]);
    if (!forked) {
        zygote_.reset();
        ::close(ends[0]);
        failure = QStringLiteral("the reader helper could not start: ") + failure;
        return Start::Failed;
    }
    socket_ = ends[0];
    return awaitReady(failure);
}

HelperProcess::Start HelperProcess::awaitReady(QString& failure) {
    // Its life, and what it may be trusted with, starts now, not when it was forked.
    pid_ = helper_.pid;
    life_ = std::make_shared<HelperLife>();
    // Every send and receive is bounded by a deadline, so this end never blocks.
    ::fcntl(socket_, F_SETFL, ::fcntl(socket_, F_GETFL) | O_NONBLOCK);
    // A forked helper is ready in a millisecond.
    const auto startup = std::max(limits_.deadline * 2, limits_.startDeadline);
    // Its own, not kept: whatever a taken-over helper says instead of Ready is freed at once.
    QByteArray ready;
    const details::Channel::Received got = details::Channel(socket_).receive(ready, startup);
    if (got == details::Channel::Received::Frame && details::isReady(ready))
        return Start::Ready;
    const bool timedOut = got == details::Channel::Received::TimedOut;
    failure = QStringLiteral("the reader helper could not start: ") +
              stop({timedOut ? QStringLiteral("it did not answer within ") + secondsText(startup)
                             : QString(),
                    false})
                  .cause;
    return Start::Lost;
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
    pid_ = -1;
    filesRead_ = 0;
    folder_.clear();
    lane_ = -1;
    const bool endedAlready = Zygote::hasEnded(helper_);
    int status = 0;
    // Killed even when it closed its end: it may be dying already, or it may have been taken
    // over. Its status comes from the zygote, which reaps it only when asked.
    const Zygote::End end = zygote_->endHelper(helper_, limits_.reapDeadline, status);
    if (end == Zygote::End::NotInTime)
        ZygoteKeeper::instance().reapLater(zygote_, helper_);
    zygote_.reset();
    helper_ = {};
    life_.reset();
    abandoned().reapTheDead();
    if (!known.cause.isEmpty() && !(unlessEnded && endedAlready))
        return known;
    switch (end) {
    case Zygote::End::NotInTime:
        return {QStringLiteral("the reader did not end when it was stopped"), false};
    case Zygote::End::Unknown:
        // Its zygote ended, and it with it.
        return {QStringLiteral("the reader was killed"), false};
    case Zygote::End::Status:
        break;
    }
    const Ending ending = describeEnd(status);
    return {ending.cause, ending.lasting};
}

void HelperProcess::retire() {
    if (!isRunning())
        return;
    endLife();
    life_.reset();
    // Its work is done, so how it ends says nothing: it is killed, and reaped by the keeper's
    // thread rather than waited for, which would cost each batch the teardown of a process.
    ::close(socket_);
    socket_ = -1;
    pid_ = -1;
    filesRead_ = 0;
    folder_.clear();
    lane_ = -1;
    Zygote::kill(helper_);
    ZygoteKeeper::instance().reapLater(std::move(zygote_), helper_);
    zygote_.reset();
    helper_ = {};
}

HelperProcess::Outcome HelperProcess::failed(const End& known, bool unlessEnded) {
    if (life_)
        life_->endFaulted();
    const End end = stop(known, unlessEnded);
    return {Outcome::Kind::Failed, end.cause, end.lasting};
}

bool HelperProcess::takes(QByteArrayView folder, int lane, size_t files) const {
    if (!isRunning())
        return true;
    if (lane_ >= 0 && lane != lane_)
        return false;
    if (limits_.filesPerHelper <= 0)
        return true;
    if (limits_.oneFolderPerHelper && !folder_.isNull() && folder != QByteArrayView(folder_))
        return false;
    return filesRead_ + qsizetype(files) <= limits_.filesPerHelper;
}

void HelperProcess::noteBatch(QByteArrayView folder, int lane) {
    if (folder_.isNull())
        folder_ = folder.toByteArray();
    if (lane_ < 0)
        lane_ = lane;
}

HelperProcess::Outcome HelperProcess::read(std::span<const File> files, const Answered& answered) {
    const Outcome sent = begin(files);
    return sent.kind == Outcome::Kind::Whole ? finish(answered) : sent;
}

HelperProcess::Outcome HelperProcess::begin(std::span<const File> files) {
    using Kind = Outcome::Kind;
    pending_.assign(files.size(), false);
    if (files.empty())
        return {Kind::Whole, {}};
    if (!isRunning()) {
        // Whatever the last helper left unread went with it.
        inbox_.clear();
        QString failure;
        Start started = start(failure);
        // One killed or stopped from outside as it started says nothing of the next: one more
        // try, forked now, as the other spares may have met the same end (their zygote killed).
        if (started == Start::Lost)
            started = start(failure, false);
        if (started != Start::Ready) {
            pending_.clear();
            return {Kind::NotStarted, failure};
        }
    }
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
        return {Kind::Whole, {}};
    case details::Channel::Sent::TimedOut:
        pending_.clear();
        return failed(tookTooLong());
    case details::Channel::Sent::Broken:
        break;
    }
    pending_.clear();
    return failed();
}

HelperProcess::Outcome HelperProcess::finish(const Answered& answered) {
    using Kind = Outcome::Kind;
    std::vector<bool> done = std::exchange(pending_, {});
    size_t culprit = 0; // the first file not answered yet
    const auto failedAt = [&](const End& known, bool unlessEnded = false) {
        Outcome outcome = failed(known, unlessEnded);
        outcome.culprit = culprit;
        return outcome;
    };
    const End nonsense{QStringLiteral("the reader gave an answer that makes no sense"), true};
    thread_local details::Answer answer;
    QByteArrayView payload;
    for (size_t left = done.size(); left > 0; --left) {
        // Each answer within the deadline of one file, counted from the one before.
        switch (inbox_.next(socket_, payload, limits_.deadline)) {
        case details::Channel::Received::Frame:
            break;
        case details::Channel::Received::TimedOut:
            return failedAt(tookTooLong());
        case details::Channel::Received::Broken:
            // A frame too large or cut short, unless the helper died while it wrote.
            return failedAt(nonsense, true);
        case details::Channel::Received::Closed:
            return failedAt({});
        }
        // Bound to its request: this batch, a file in it, not answered before.
        if (!details::decodeAnswer(payload, answer) || answer.batch != batch_ ||
            answer.index >= done.size() || done[answer.index])
            return failedAt(nonsense);
        done[answer.index] = true;
        while (culprit < done.size() && done[culprit])
            ++culprit;
        answered(answer.index, answer);
    }
    inbox_.shrink();
    filesRead_ += qsizetype(done.size());
    if (limits_.filesPerHelper > 0 && filesRead_ >= limits_.filesPerHelper)
        retire();
    return {Kind::Whole, {}};
}

HelperProcess::End HelperProcess::tookTooLong() const {
    return {QStringLiteral("the reader took longer than ") + secondsText(limits_.deadline), false};
}

} // namespace quillmere::search::extraction
