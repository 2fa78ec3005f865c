#pragma once

#include "app/fs/descriptor.h"
#include "details/zygote_protocol.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quillmere::search::extraction {

// How a helper or zygote ended, from its wait status, and whether the file it read would do the
// same again: a kill from outside (the user, the kernel short of memory) says nothing about it.
struct Ending {
    QString cause;
    bool lasting;
};
Ending describeEnd(int status);

// A helper forked from the zygote, as the engine holds it.
struct ForkedHelper {
    pid_t pid = -1;
    int pidfd = -1; // signals and watches this very process, never one that reused its id
};

// A running zygote: `quillmere-extract --zygote`, sealed in its sandbox with every reader library
// loaded, which forks a helper for each request. Any thread may ask for helpers.
class Zygote {
public:
    // Starts a zygote and waits up to `deadline` for it to be sealed. The zygote gets SIGKILL when
    // the calling thread ends, so only the keeper's thread calls this.
    static std::unique_ptr<Zygote> start(const QByteArray& program,
                                         const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds deadline, QString& failure);
    // The same in two steps, so that one thread starts several at once: `launch` spawns it, and
    // `awaitReady` waits until `deadline` (`allowed` after the launch) for it to be sealed.
    static std::unique_ptr<Zygote>
    launch(const QByteArray& program, const std::vector<std::string>& arguments, QString& failure);
    bool awaitReady(std::chrono::steady_clock::time_point deadline,
                    std::chrono::milliseconds allowed, QString& failure);
    // Ends the zygote, and so its helpers, within a bounded wait.
    ~Zygote();
    Zygote(const Zygote&) = delete;
    Zygote& operator=(const Zygote&) = delete;

    // Forks a helper that talks on `helperEnd`, which is sent to it; the caller still closes it.
    bool forkHelper(int helperEnd, ForkedHelper& helper, QString& failure);

    enum class End {
        Status,    // it ended; `status` says how
        Unknown,   // it ended, but with its zygote: the status is lost (it was killed)
        NotInTime, // it did not end within the deadline; ask again later
    };
    // Kills `helper` unless it ended already, waits at most `deadline` for it to end, and asks
    // the zygote how it ended. Closes the pidfd unless NotInTime.
    End endHelper(ForkedHelper& helper, std::chrono::milliseconds deadline, int& status);
    // Whether `helper` has ended, without waiting.
    static bool hasEnded(const ForkedHelper& helper);
    // Sends `helper` SIGKILL, without waiting for it to end.
    static void kill(const ForkedHelper& helper);

    pid_t pid() const { return pid_; }
    // False once a conversation with it failed or it ended: the keeper then starts a new one.
    bool isUsable() const;

private:
    friend class ZygoteKeeper; // watches the sockets of the zygotes it starts, all at once
    Zygote(pid_t pid, int socket) : pid_(pid), socket_(socket) {}
    bool ask(details::ZygoteMessage request, int attached, details::ZygoteMessage& answer,
             QString& failure);

    const pid_t pid_;
    const int socket_;
    mutable std::mutex mutex_; // one conversation at a time
    quint32 lastSequence_ = 0;
    bool broken_ = false;
    bool reaped_ = false;
};

// A helper forked from a zygote that has not started its life yet, with the engine's end of its
// socket.
struct SpareHelper {
    std::shared_ptr<Zygote> zygote;
    ForkedHelper helper;
    int socket = -1;
};

// The one long-lived thread that starts zygotes. A process's parent-death signal fires when the
// thread that started it ends, so zygotes are never started from the threads that read files,
// which come and go: they ask this one. Off the reading threads it also forks spare helpers
// ahead of need, and reaps the helpers that were killed, so that replacing a helper costs a
// reading thread neither a fork nor a reap. It keeps a zygote for each of the last MaxZygotes
// programs and arguments asked for (the lean helper and the whole one).
class ZygoteKeeper {
public:
    static ZygoteKeeper& instance();

    // The zygote running `program` with `arguments`; one is started first, given `startDeadline`
    // to say it is ready, when there is none, or the last one broke or ended. Where a start is
    // under way already, its outcome is the answer. Null, with the reason, when none could be
    // started.
    std::shared_ptr<Zygote> zygote(const QByteArray& program,
                                   const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds startDeadline, QString& failure);
    // Has the zygote running `program` with `arguments` started, without waiting for it, unless
    // there is one or one is starting: zygotes wanted at once start side by side, each loading
    // its libraries on a core of its own.
    void startAhead(const QByteArray& program, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds startDeadline);
    // A spare helper of the zygote running `program` with `arguments`, handed to this caller
    // alone, and `spares` kept forked ahead for the next callers. False when none is at hand (no
    // such zygote runs yet, or every spare was taken or had died): the caller forks its own.
    bool takeSpare(const QByteArray& program, const std::vector<std::string>& arguments, int spares,
                   SpareHelper& taken);
    // Ends the spares, and forks no more until one is taken again: a search ended.
    void dropSpares();
    // Reaps `helper`, which was sent SIGKILL, once it ended; until then its zygote is held.
    void reapLater(std::shared_ptr<Zygote> zygote, const ForkedHelper& helper);
    // The running zygotes' process ids.
    std::vector<pid_t> runningPids();
    // The spares' process ids.
    std::vector<pid_t> sparePids();
    // Whether it waits with nothing to end or reap: until it works again, it opens and closes no
    // descriptor.
    bool isIdle();
    // Lets go of the running zygotes and their spares: each ends once no helper forked from it is
    // held any more, and the next helper asked for starts a new one.
    void retire();

    // A spare that nobody takes for this long is ended (one forked for a search that just ended).
    static constexpr std::chrono::seconds SpareLife{2};
    static constexpr size_t MaxZygotes = 2;

private:
    struct Slot;
    using SlotPtr = std::shared_ptr<Slot>;

    ZygoteKeeper();
    [[noreturn]] void run();
    // Starts every zygote wanted, side by side, until none is wanted.
    void startZygotes(std::unique_lock<std::mutex>& lock);
    // Has the slot's zygote started by the keeper; the caller holds the lock.
    void wantStart(Slot& slot, std::chrono::milliseconds startDeadline);
    void forkSpare(const SlotPtr& slot, std::unique_lock<std::mutex>& lock);
    void reapEnded(std::unique_lock<std::mutex>& lock);
    static bool wantsSpare(const Slot& slot);
    // The slot of `program` with `arguments`, made when there is none; a slot made beyond
    // MaxZygotes takes the place of the one asked for longest ago that nobody waits for, whose
    // zygote is let go of into `evicted` (to be ended once the lock is let go). The caller holds
    // the lock.
    SlotPtr slotFor(const QByteArray& program, const std::vector<std::string>& arguments,
                    std::shared_ptr<Zygote>& evicted);
    // Kills the slot's spares, to be reaped later; the caller holds the lock.
    void endSpares(Slot& slot, bool expiredOnly);

    struct Ending {
        std::shared_ptr<Zygote> zygote;
        ForkedHelper helper;
        std::chrono::steady_clock::time_point since;
    };
    struct Spare {
        ForkedHelper helper;
        int socket;
        std::chrono::steady_clock::time_point forked;
    };
    // One program with its arguments, its zygote and that zygote's spares.
    struct Slot {
        QByteArray program;
        std::vector<std::string> arguments;
        std::shared_ptr<Zygote> current;
        std::chrono::milliseconds startDeadline{0};
        QString failure;
        bool startWanted = false;
        quint64 attempts = 0;      // starts finished, so that a caller waits for its own
        std::vector<Spare> spares; // forked from `current`
        size_t sparesWanted = 0;
        quint64 lastAsked = 0; // for choosing the slot to give up
        int waiters = 0;       // callers waiting for its zygote to start
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SlotPtr> slots_;
    quint64 asks_ = 0;
    quint64 spareRound_ = 0; // counts drops, so that a spare forked across one is not kept
    std::vector<Ending> ending_;
    bool endingAdded_ = false;
    bool working_ = false; // between its waits, with the lock let go at times
    std::chrono::steady_clock::time_point sleepsUntil_{}; // when the keeper wakes on its own
    app::fs::Descriptor startWanted_; // an eventfd, readable once a start is wanted
};

} // namespace quillmere::search::extraction
