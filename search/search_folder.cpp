#include "search/search_folder.h"

#include "search/read_ahead.h"
#include "search/work_queues.h"

#include <QElapsedTimer>
#include <QSet>

#include <algorithm>
#include <deque>
#include <optional>

namespace quillmere::search {

namespace {

using Items = std::shared_ptr<const std::vector<QByteArray>>;
// What the first pass over a sub-folder's items decided, for the second pass right after it: 1
// where the item was tested and matched nothing. Everything else is settled by the duplicate test.
using Decisions = std::shared_ptr<std::vector<quint8>>;

struct Step {
    enum class Kind { Status, SubFolder, Item, Failure };
    Kind kind = Kind::Status;
    QByteArray path;
    QString failure;
    LabelForm form = LabelForm::Bracketed;
    bool secondPass = false;
    Decisions decisions;
    size_t index = 0;
    ReadAhead::Ticket ticket; // set when the item was handed to the read-ahead
};

} // namespace

// Reads folder listings on a thread of its own: sorting a folder of many thousand names takes
// long enough to keep the window from answering, so the walk waits for a listing the way it waits
// for an item, letting messages run meanwhile. Destroying the lister never waits for its thread:
// a listing stuck on a hung network mount finishes on its own, with what it uses kept alive.
class FolderLister {
public:
    struct Listing {
        QByteArray folder;
        app::fs::LinkAtPath link = app::fs::LinkAtPath::Followed;
        bool done = false; // guarded by the queues' mutex
        std::optional<app::fs::FolderEntries> entries;
        QString failure;
    };
    using Ticket = std::shared_ptr<Listing>;

    explicit FolderLister(std::function<app::fs::FolderEntries(const QByteArray&)> read)
        : queues_(1, hooks(std::move(read))) {}

    Ticket request(QByteArray folder, app::fs::LinkAtPath link) {
        auto ticket = std::make_shared<Listing>();
        ticket->folder = std::move(folder);
        ticket->link = link;
        std::vector<Group> one(1);
        one.front().push_back(ticket);
        queues_.post(std::move(one));
        return ticket;
    }
    bool waitFor(const Ticket& ticket, std::chrono::milliseconds timeout) {
        return queues_.waitFor(timeout, [&] { return ticket->done; });
    }
    bool ready(const Ticket& ticket) {
        return queues_.locked([&] { return ticket->done; });
    }
    void cancelPending() { queues_.cancelPending(); }

private:
    using Group = std::vector<Ticket>;
    using Queues = WorkQueues<Group>;

    static Queues::Hooks hooks(std::function<app::fs::FolderEntries(const QByteArray&)> read) {
        Queues::Hooks hooks;
        hooks.work = [read = std::move(read)](Queues::State& state, Group& group) {
            for (const Ticket& ticket : group) {
                list(read, *ticket);
                state.settle([&] { ticket->done = true; });
            }
        };
        return hooks;
    }

    static void list(const std::function<app::fs::FolderEntries(const QByteArray&)>& read,
                     Listing& listing) {
        try {
            listing.entries =
                read ? read(listing.folder) : app::fs::readFolder(listing.folder, listing.link);
        } catch (const std::exception& e) {
            listing.failure = QString::fromLocal8Bit(e.what());
        } catch (...) {
            listing.failure = QStringLiteral("The folder could not be read");
        }
    }

    Queues queues_;
};

namespace {

// The walk as a flat sequence of steps, produced lazily so that only a window of it exists.
// A sub-folder is read once for both of its passes: the contents test and the nested walk.
class WalkSteps {
public:
    WalkSteps(const QByteArray& root, bool deep, FolderLister& lister)
        : deep_(deep), lister_(lister) {
        todo_.push_back(status(root));
        // The list folder may be a link to a folder: the user named it.
        pending_ = lister_.request(root, app::fs::LinkAtPath::Followed);
        pendingIsRoot_ = true;
    }

    enum class Next { Step, Pending, End };

    // `Pending` while the listing the walk needs next is still being read.
    Next next(Step& step) {
        while (todo_.empty()) {
            const Next advanced = descend();
            if (advanced != Next::Step)
                return advanced;
        }
        Segment& front = todo_.front();
        if (!front.items) {
            step = std::move(front.step);
            todo_.pop_front();
            return Next::Step;
        }
        step = Step();
        step.kind = Step::Kind::Item;
        step.path = (*front.items)[front.next];
        step.form = front.form;
        step.secondPass = front.secondPass;
        step.decisions = front.decisions;
        step.index = front.next;
        if (++front.next == front.items->size())
            todo_.pop_front();
        return Next::Step;
    }

    bool waitForListing(std::chrono::milliseconds timeout) {
        return !pending_ || lister_.waitFor(pending_, timeout);
    }

private:
    struct Segment {
        Step step; // when items is null
        Items items;
        size_t next = 0;
        LabelForm form = LabelForm::Bracketed;
        Decisions decisions;
        bool secondPass = false;
    };
    struct Frame {
        std::vector<QByteArray> subFolders;
        size_t next;
    };

    static Segment status(const QByteArray& folder) {
        Segment s;
        s.step.kind = Step::Kind::Status;
        s.step.path = folder;
        return s;
    }

    // The listing's entries, or nothing after the failure was queued as a step when `report`.
    std::optional<app::fs::FolderEntries> takeListing(const FolderLister::Ticket& ticket,
                                                      bool report = true) {
        if (ticket->entries)
            return std::move(ticket->entries);
        if (!report)
            return std::nullopt;
        Segment s;
        s.step.kind = Step::Kind::Failure;
        s.step.path = ticket->folder;
        s.step.failure = ticket->failure;
        todo_.push_back(std::move(s));
        return std::nullopt;
    }

    void pushItems(const app::fs::FolderEntries& entries, LabelForm form, Decisions decisions,
                   bool secondPass, const Items& shared = nullptr) {
        if (entries.items.empty())
            return;
        Segment s;
        s.items = shared ? shared : std::make_shared<const std::vector<QByteArray>>(entries.items);
        s.form = form;
        s.decisions = std::move(decisions);
        s.secondPass = secondPass;
        todo_.push_back(std::move(s));
    }

    Next descend() {
        if (pending_) {
            if (!lister_.ready(pending_))
                return Next::Pending;
            const FolderLister::Ticket ticket = std::exchange(pending_, nullptr);
            if (std::exchange(pendingIsRoot_, false))
                takeRoot(ticket);
            else
                takeSubFolder(ticket);
            return Next::Step;
        }
        if (stack_.empty())
            return Next::End;
        Frame& top = stack_.back();
        if (top.next == top.subFolders.size()) {
            stack_.pop_back();
            return Next::Step;
        }
        const QByteArray sub = std::move(top.subFolders[top.next++]);
        Segment before;
        before.step.kind = Step::Kind::SubFolder;
        before.step.path = sub;
        todo_.push_back(std::move(before));
        pending_ = lister_.request(sub, app::fs::LinkAtPath::Refused);
        return Next::Step;
    }

    void takeRoot(const FolderLister::Ticket& ticket) {
        if (auto entries = takeListing(ticket)) {
            pushItems(*entries, LabelForm::OthersWhenUntitled, nullptr, false);
            stack_.push_back({std::move(entries->subFolders), 0});
        }
    }

    void takeSubFolder(const FolderLister::Ticket& ticket) {
        // One level down, a sub-folder that cannot be opened simply yields nothing: the user
        // asked for the list folder's own items, and its sub-folders' only as a bonus.
        auto entries = takeListing(ticket, deep_);
        if (!entries)
            return;
        const QByteArray& sub = ticket->folder;
        const Decisions decisions =
            deep_ && !entries->items.empty()
                ? std::make_shared<std::vector<quint8>>(entries->items.size(), quint8(0))
                : nullptr;
        pushItems(*entries, LabelForm::Bracketed, decisions, false);
        if (!deep_)
            return;
        todo_.push_back(status(sub));
        if (!entries->items.empty())
            pushItems(*entries, LabelForm::OthersWhenUntitled, decisions, true,
                      todo_[todo_.size() - 2].items);
        stack_.push_back({std::move(entries->subFolders), 0});
    }

    const bool deep_;
    FolderLister& lister_;
    FolderLister::Ticket pending_;
    bool pendingIsRoot_ = false;
    std::deque<Segment> todo_;
    std::vector<Frame> stack_;
};

} // namespace

// One list folder's search: the walk, the window of items read ahead, and the rows not yet
// handed to the observer.
class SearchEngine::Run {
public:
    Run(SearchEngine& engine, const QByteArray& root, const Query& query, bool deep)
        : engine_(engine), observer_(engine.observer_), options_(engine.options_),
          query_(std::make_shared<const Query>(query)), walk_(root, deep, *engine.lister_) {
        lastPump_ = now();
    }

    ~Run() {
        engine_.readAhead_->cancelPending();
        engine_.lister_->cancelPending();
    }

    Outcome go() {
        for (;;) {
            const bool more = refill();
            if (window_.empty()) {
                if (!more)
                    break;
                if (!awaitListing())
                    return Outcome::Stopped;
                continue;
            }
            Step step = std::move(window_.front());
            window_.pop_front();
            if (step.ticket)
                --inFlight_;
            switch (step.kind) {
            case Step::Kind::Status:
                flush();
                observer_.showStatus(QStringLiteral("Searching ") +
                                     app::fs::displayPath(step.path));
                break;
            case Step::Kind::SubFolder:
                if (pump())
                    return Outcome::Stopped;
                break;
            case Step::Kind::Failure:
                flush();
                observer_.reportFailure(step.path, step.failure);
                break;
            case Step::Kind::Item:
                if (!decide(step) || (due() && pump()))
                    return Outcome::Stopped;
                break;
            }
        }
        flush();
        return Outcome::Finished;
    }

private:
    static constexpr size_t rowsPerBatch = 1024;

    qint64 now() const { return options_.clock ? options_.clock() : clock_.elapsed(); }
    bool due() const { return now() - lastPump_ >= options_.pumpInterval.count(); }

    // Lets messages run; true when the user asked to stop meanwhile.
    bool pump() {
        flush();
        observer_.pumpMessages();
        lastPump_ = now();
        return observer_.stopRequested();
    }

    bool listed(const QByteArray& path) {
        return pendingPaths_.contains(path) || observer_.isAlreadyListed(path);
    }

    // Moves the walk ahead as far as the window allows; false once the walk has ended. Items go
    // to the read-ahead in groups: the window is topped up once a group's room is free in it.
    bool refill() {
        const size_t maxSteps = size_t(options_.itemsAhead) * 4 + 16;
        const int room = std::min(int(ReadAhead::GroupSize), (options_.itemsAhead + 1) / 2);
        if (options_.itemsAhead - inFlight_ < room)
            return true;
        std::vector<QByteArray> paths;
        std::vector<size_t> steps; // where in the window each path's step is
        const auto handOver = [&] {
            std::vector<ReadAhead::Ticket> tickets =
                engine_.readAhead_->submit(std::move(paths), query_);
            for (size_t i = 0; i < tickets.size(); ++i)
                window_[steps[i]].ticket = std::move(tickets[i]);
        };
        while (inFlight_ < options_.itemsAhead && window_.size() < maxSteps) {
            Step step;
            const WalkSteps::Next next = walk_.next(step);
            if (next != WalkSteps::Next::Step) {
                handOver();
                return next != WalkSteps::Next::End;
            }
            if (step.kind == Step::Kind::Item && !step.secondPass && !listed(step.path)) {
                paths.push_back(step.path);
                steps.push_back(window_.size());
                ++inFlight_;
            }
            window_.push_back(std::move(step));
        }
        handOver();
        return true;
    }

    // Waits for the folder listing the walk needs, letting messages run as while awaiting an item.
    bool awaitListing() {
        for (;;) {
            if (walk_.waitForListing(sliceLeft()))
                return true;
            if (due() && pump())
                return false;
        }
    }

    std::chrono::milliseconds sliceLeft() const {
        const qint64 left = options_.pumpInterval.count() - (now() - lastPump_);
        return std::chrono::milliseconds(std::clamp<qint64>(left, 1, 100));
    }

    // The item test with the duplicate test first, so nothing is read for a listed item. False
    // when the user asked to stop while the answer was awaited.
    bool decide(const Step& step) {
        ItemMatch match;
        if (step.ticket) {
            if (!await(step.ticket))
                return false;
            if (listed(step.path))
                return true;
            match = engine_.readAhead_->result(step.ticket);
        } else {
            if (listed(step.path))
                return true;
            // Listed when the walk reached it, or decided in the first pass, and gone from the
            // list since: only then is it tested here.
            if (step.secondPass && step.decisions && (*step.decisions)[step.index])
                return true;
            match = engine_.readAhead_->testNow(step.path, *query_);
        }
        if (!match.matched()) {
            if (step.decisions && !step.secondPass)
                (*step.decisions)[step.index] = 1;
            return true;
        }
        pendingPaths_.insert(step.path);
        pending_.push_back(
            {app::fs::displayPath(step.path), step.path, matchLabel(match, step.form)});
        if (pending_.size() >= rowsPerBatch)
            flush();
        return true;
    }

    // Waits for an answer without leaving the window unanswered for longer than the interval.
    bool await(const ReadAhead::Ticket& ticket) {
        for (;;) {
            if (engine_.readAhead_->waitFor(ticket, sliceLeft()))
                return true;
            if (due() && pump())
                return false;
        }
    }

    void flush() {
        if (pending_.empty())
            return;
        std::vector<FoundRow> rows;
        rows.swap(pending_);
        pendingPaths_.clear();
        observer_.addRows(std::move(rows));
    }

    SearchEngine& engine_;
    SearchObserver& observer_;
    const SearchOptions& options_;
    const std::shared_ptr<const Query> query_;
    WalkSteps walk_;
    std::deque<Step> window_;
    int inFlight_ = 0;
    std::vector<FoundRow> pending_;
    QSet<QByteArray> pendingPaths_;
    QElapsedTimer clock_ = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    qint64 lastPump_ = 0;
};

SearchEngine::SearchEngine(SearchObserver& observer, SearchOptions options)
    : observer_(observer), options_(std::move(options)) {
    if (options_.itemsAhead < 1)
        options_.itemsAhead = 1;
    const int workers = options_.workers < 0 ? ReadAhead::defaultWorkerCount() : options_.workers;
    readAhead_ = std::make_unique<ReadAhead>(workers, options_.testItem, options_.sources);
    lister_ = std::make_unique<FolderLister>(options_.readFolder);
}

SearchEngine::~SearchEngine() = default;

SearchEngine::Outcome SearchEngine::searchFolder(const QByteArray& folderPath, const Query& query,
                                                 bool deep) {
    Run run(*this, folderPath, query, deep);
    return run.go();
}

bool searchFolders(const std::vector<QByteArray>& folderPaths, const std::function<Query()>& query,
                   bool deep, SearchObserver& observer, SearchOptions options) {
    SearchEngine engine(observer, std::move(options));
    for (const QByteArray& path : folderPaths) {
        observer.pumpMessages();
        if (observer.stopRequested())
            return false;
        QByteArray folder;
        try {
            folder = app::fs::getFolder(path).nativePath();
        } catch (const std::exception& e) {
            observer.reportFailure(path, QString::fromLocal8Bit(e.what()));
            continue;
        }
        if (engine.searchFolder(folder, query(), deep) == SearchEngine::Outcome::Stopped)
            return false;
    }
    return true;
}

} // namespace quillmere::search
