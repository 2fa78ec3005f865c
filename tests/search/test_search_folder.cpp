#include "search/detail_columns.h"
#include "search/detail_sources.h"
#include "search/read_ahead.h"
#include "search/search_folder.h"
#include "search/work_queues.h"
#include "support/model_search_observer.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QScopeGuard>
#include <QTemporaryDir>

#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::test;

namespace {

// Records everything the walk tells it, paths relative to the root, in one list.
class Recorder : public ModelSearchObserver {
public:
    Recorder(results::ResultsModel& model, QByteArray root)
        : ModelSearchObserver(model), root_(root) {}

    QString relative(QString text) const {
        return text.replace(QFile::decodeName(root_), QStringLiteral("~"));
    }
    void showStatus(const QString& text) override {
        log << QStringLiteral("status ") + relative(text);
        if (onStatus)
            onStatus(text);
    }
    void pumpMessages() override {
        ++pumps;
        if (onPump)
            onPump(pumps);
    }
    bool stopRequested() override { return stop; }
    void addRows(std::vector<FoundRow> rows) override {
        for (const FoundRow& r : rows)
            log << QStringLiteral("row ") + relative(r.displayPath) + QStringLiteral(" | ") +
                       r.label;
        ModelSearchObserver::addRows(std::move(rows));
    }
    void reportFailure(const QByteArray& folder, const QString& description) override {
        log << QStringLiteral("failure ") + relative(QFile::decodeName(folder)) +
                   QStringLiteral(": ") + description;
    }

    QStringList log;
    int pumps = 0;
    bool stop = false;
    std::function<void(int)> onPump;
    std::function<void(const QString&)> onStatus;

private:
    QByteArray root_;
};

// Item tests counted per path, to prove what is not read twice.
struct CountingTest {
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::map<QByteArray, int>> counts =
        std::make_shared<std::map<QByteArray, int>>();
    std::shared_ptr<DetailSources> sources = std::make_shared<DetailSources>();
    ItemMatch operator()(const QByteArray& path, const Query& query) const {
        {
            std::lock_guard lock(*mutex);
            ++(*counts)[path];
        }
        return testItem(path, query, *sources);
    }
};

const QList<QByteArray> standardTree{
    "a_zebra.txt",    "b.txt",
    "sub1/",          "sub1/zebra1.txt",
    "sub1/deeper/",   "sub1/deeper/zebra_deep.txt",
    "sub2_zebra/",    "sub2_zebra/zebra2.txt",
    ".hidden/",       ".hidden/zebra_in_hidden.txt",
    ".zebra_dotfile", "ZEBRA_upper.txt",
};

} // namespace

class TestSearchFolder : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QByteArray root_;

    SearchOptions options(int workers) {
        SearchOptions o;
        o.workers = workers;
        o.itemsAhead = 3; // small, so the window really moves across folders
        return o;
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        root_ = QFile::encodeName(dir_->path()) + "/root";
        QCOMPARE(::mkdir(root_.constData(), 0755), 0);
    }

    // QTemporaryDir cannot remove names that are not valid UTF-8; std::filesystem takes bytes.
    void cleanup() {
        std::error_code ignored;
        std::filesystem::permissions(std::string(root_.constData()) + "/locked",
                                     std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(std::string(root_.constData()), ignored);
    }

    void walkOrder_data() {
        QTest::addColumn<bool>("deep");
        QTest::addColumn<int>("workers");
        QTest::addColumn<QStringList>("expected");
        const QStringList deep{
            "status Searching ~",
            "row ~/a_zebra.txt | [Name] a_zebra.txt",
            "row ~/sub2_zebra | [Name] sub2_zebra",
            "row ~/.hidden/zebra_in_hidden.txt | [Name] zebra_in_hidden.txt",
            "status Searching ~/.hidden",
            "row ~/sub1/zebra1.txt | [Name] zebra1.txt",
            "status Searching ~/sub1",
            "row ~/sub1/deeper/zebra_deep.txt | [Name] zebra_deep.txt",
            "status Searching ~/sub1/deeper",
            "row ~/sub2_zebra/zebra2.txt | [Name] zebra2.txt",
            "status Searching ~/sub2_zebra",
        };
        const QStringList shallow{
            "status Searching ~",
            "row ~/a_zebra.txt | [Name] a_zebra.txt",
            "row ~/sub2_zebra | [Name] sub2_zebra",
            "row ~/.hidden/zebra_in_hidden.txt | [Name] zebra_in_hidden.txt",
            "row ~/sub1/zebra1.txt | [Name] zebra1.txt",
            "row ~/sub2_zebra/zebra2.txt | [Name] zebra2.txt",
        };
        QTest::addRow("deep, on this thread") << true << 0 << deep;
        QTest::addRow("deep, two workers") << true << 2 << deep;
        QTest::addRow("one level, on this thread") << false << 0 << shallow;
        QTest::addRow("one level, two workers") << false << 2 << shallow;
    }
    void walkOrder() {
        QFETCH(bool, deep);
        QFETCH(int, workers);
        QFETCH(QStringList, expected);
        QVERIFY(makeTree(root_, standardTree));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchEngine engine(recorder, options(workers));
        QCOMPARE(engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, deep),
                 SearchEngine::Outcome::Finished);
        QCOMPARE(recorder.log, expected);
        QCOMPARE(model.rowCount(), expected.filter(QStringLiteral("row ")).size());
    }

    void caseIgnoredFindsMore() {
        QVERIFY(makeTree(root_, standardTree));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchEngine engine(recorder, options(2));
        engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::Ignored}, false);
        QVERIFY(recorder.log.contains(
            QStringLiteral("row ~/ZEBRA_upper.txt | [Name] ZEBRA_upper.txt")));
        QVERIFY(!recorder.log.join('\n').contains(QStringLiteral("dotfile")));
    }

    void filenameNeverMatches() {
        QVERIFY(makeTree(root_, {"Filename", "Filename2", "sub/", "sub/Filename"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchEngine engine(recorder, options(1));
        engine.searchFolder(root_, {QStringLiteral("Filename"), CaseMode::MustAgree}, true);
        QCOMPARE(recorder.log,
                 (QStringList{"status Searching ~", "row ~/Filename2 | [Name] Filename2",
                              "status Searching ~/sub"}));
    }

    void untitledColumnLabels() {
        QVERIFY(makeTree(
            root_, {"top.txt", "sub/", "sub/inner.txt", "sub/deeper/", "sub/deeper/bottom.txt"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(2);
        // An item test that finds its phrase in a column the provider gives no title.
        o.testItem = [](const QByteArray& path, const Query&) {
            return path.endsWith(".txt") ? ItemMatch{column::Count, QStringLiteral("v")}
                                         : ItemMatch{};
        };
        SearchEngine engine(recorder, o);
        engine.searchFolder(root_, {QStringLiteral("v"), CaseMode::MustAgree}, true);
        QCOMPARE(recorder.log, (QStringList{"status Searching ~", "row ~/top.txt | [Others] v",
                                            "row ~/sub/inner.txt | [] v", "status Searching ~/sub",
                                            "row ~/sub/deeper/bottom.txt | [] v",
                                            "status Searching ~/sub/deeper"}));
    }

    void secondRunAddsNothingAndReadsNothing() {
        QVERIFY(makeTree(root_, standardTree));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        CountingTest counting;
        SearchOptions o = options(2);
        o.testItem = counting;
        SearchEngine engine(recorder, o);
        engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true);
        const int firstRows = model.rowCount();
        // Each item is read once, although the deep walk takes a sub-folder's items twice.
        for (const auto& [path, count] : *counting.counts)
            QVERIFY2(count == 1, path.constData());
        QCOMPARE(counting.counts->size(), size_t(10));

        // Same items, another phrase that they all hold: nothing new, labels kept, and no
        // listed item is read again.
        recorder.log.clear();
        counting.counts->clear();
        engine.searchFolder(root_, {QStringLiteral("ebra"), CaseMode::MustAgree}, true);
        QCOMPARE(model.rowCount(), firstRows);
        QCOMPARE(recorder.log.filter(QStringLiteral("row ")), QStringList());
        QCOMPARE(model.row(0).label, QStringLiteral("[Name] a_zebra.txt"));
        for (const auto& [path, count] : *counting.counts)
            QVERIFY2(!model.isAlreadyListed(path), path.constData());
    }

    void rowRemovedMidRunIsFoundAgain() {
        QVERIFY(makeTree(root_, {"sub/", "sub/zebra.txt"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        // Between the two passes over "sub", a nested command clears the list.
        recorder.onStatus = [&](const QString& text) {
            if (text.endsWith(QLatin1String("/sub")))
                model.clear();
        };
        SearchOptions o = options(2);
        o.testItem = [](const QByteArray& path, const Query&) {
            return path.endsWith(".txt") ? ItemMatch{column::Count, QStringLiteral("v")}
                                         : ItemMatch{};
        };
        SearchEngine engine(recorder, o);
        engine.searchFolder(root_, {QStringLiteral("v"), CaseMode::MustAgree}, true);
        QCOMPARE(recorder.log,
                 (QStringList{"status Searching ~", "row ~/sub/zebra.txt | [] v",
                              "status Searching ~/sub", "row ~/sub/zebra.txt | [Others] v"}));
        QCOMPARE(model.rowCount(), 1);
    }

    void phraseChangeAppliesFromNextListFolder() {
        QVERIFY(makeTree(root_, {"A/", "A/zebra_a", "A/yak_a", "B/", "B/zebra_b", "B/yak_b"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        QString phrase = QStringLiteral("zebra");
        // Typed while the first folder is searched.
        recorder.onStatus = [&](const QString&) { phrase = QStringLiteral("yak"); };
        QVERIFY(searchFolders(
            {root_ + "/A", root_ + "/B"},
            [&] {
                return Query{phrase, CaseMode::MustAgree};
            },
            true, recorder, options(2)));
        QCOMPARE(recorder.log.filter(QStringLiteral("row ")),
                 (QStringList{"row ~/A/zebra_a | [Name] zebra_a", "row ~/B/yak_b | [Name] yak_b"}));
    }

    void listedPathThatIsNotAFolder() {
        QVERIFY(makeTree(root_, {"file_zebra", "A/", "A/zebra"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        QVERIFY(searchFolders(
            {root_ + "/file_zebra", root_ + "/missing", root_ + "/A"},
            [] {
                return Query{QStringLiteral("zebra"), CaseMode::MustAgree};
            },
            true, recorder, options(1)));
        QCOMPARE(recorder.log,
                 (QStringList{"failure ~/file_zebra: Not a directory",
                              "failure ~/missing: No such file or directory",
                              "status Searching ~/A", "row ~/A/zebra | [Name] zebra"}));
    }

    void stopBetweenSubFolders_data() {
        QTest::addColumn<int>("workers");
        QTest::addRow("on this thread") << 0;
        QTest::addRow("two workers") << 2;
    }
    void stopBetweenSubFolders() {
        QFETCH(int, workers);
        QVERIFY(makeTree(root_, {"s1/", "s1/zebra1", "s1/t/", "s1/t/zebra_t", "s2/", "s2/zebra2",
                                 "s3/", "s3/zebra3"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(workers);
        o.clock = [] { return qint64(0); }; // pumps only between sub-folders
        // The Stop click arrives at the pump before "s1/t", a level down: every level returns.
        recorder.onPump = [&](int n) { recorder.stop = n == 2; };
        SearchEngine engine(recorder, o);
        QCOMPARE(engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true),
                 SearchEngine::Outcome::Stopped);
        QCOMPARE(recorder.log, (QStringList{"status Searching ~", "row ~/s1/zebra1 | [Name] zebra1",
                                            "status Searching ~/s1"}));
        QCOMPARE(recorder.pumps, 2);
    }

    void pumpsInsideOneBigFolder_data() {
        QTest::addColumn<int>("workers");
        QTest::addColumn<int>("msPerClockRead");
        QTest::addColumn<int>("stopAtPump"); // 0: never
        QTest::addRow("frozen clock") << 2 << 0 << 0;
        QTest::addRow("stop at third pump") << 2 << 20 << 3;
        QTest::addRow("stop at third pump, this thread") << 0 << 20 << 3;
        QTest::addRow("clock running, no stop") << 2 << 20 << 0;
    }
    void pumpsInsideOneBigFolder() {
        QFETCH(int, workers);
        QFETCH(int, msPerClockRead);
        QFETCH(int, stopAtPump);
        QList<QByteArray> names;
        for (int i = 0; i < 300; ++i)
            names << QByteArray("zebra_") + QByteArray::number(i).rightJustified(3, '0');
        QVERIFY(makeTree(root_, names));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(workers);
        std::atomic<qint64> time{0};
        o.clock = [&] { return time += msPerClockRead; };
        recorder.onPump = [&](int n) { recorder.stop = n == stopAtPump; };
        SearchEngine engine(recorder, o);
        const auto outcome =
            engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, false);
        if (msPerClockRead == 0) {
            QCOMPARE(recorder.pumps, 0);
        } else if (stopAtPump == 0) {
            // Never longer than 100 ms of (this clock's) time without a pump.
            QVERIFY2(recorder.pumps >= 300 * msPerClockRead / 100 / 2,
                     qPrintable(QString::number(recorder.pumps)));
        }
        if (stopAtPump > 0) {
            QCOMPARE(outcome, SearchEngine::Outcome::Stopped);
            QCOMPARE(recorder.pumps, stopAtPump);
            QVERIFY(model.rowCount() > 0);
            QVERIFY(model.rowCount() < 60);
            // Whatever was found before the stop is in order and in the list.
            for (int r = 0; r < model.rowCount(); ++r)
                QCOMPARE(model.row(r).nativePath, root_ + '/' + names[r]);
        } else {
            QCOMPARE(outcome, SearchEngine::Outcome::Finished);
            QCOMPARE(model.rowCount(), 300);
        }
    }

    // A listing or an item test that never seems to end must not keep Stop from getting through.
    void stopWhileWaiting_data() {
        QTest::addColumn<bool>("slowListing");
        QTest::addRow("slow listing") << true;
        QTest::addRow("slow item") << false;
    }
    void stopWhileWaiting() {
        QFETCH(bool, slowListing);
        QVERIFY(makeTree(root_, {"a_zebra", "slow/", "slow/zebra_slow", "z/", "z/zebra_z"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(2);
        qint64 time = 0;
        o.clock = [&] { return time += 30; };
        auto release = std::make_shared<std::promise<void>>();
        std::shared_future<void> released = release->get_future().share();
        const QByteArray slow = root_ + "/slow";
        if (slowListing) {
            o.readFolder = [slow, released](const QByteArray& path) {
                if (path == slow)
                    released.wait();
                return fs::readFolder(path);
            };
        } else {
            o.testItem = [slow, released, sources = std::make_shared<DetailSources>()](
                             const QByteArray& path, const Query& query) {
                if (path == slow + "/zebra_slow")
                    released.wait();
                return testItem(path, query, *sources);
            };
        }
        int pumpsWhileWaiting = 0;
        recorder.onPump = [&](int) {
            if (recorder.log.join('\n').contains(QLatin1String("a_zebra")))
                recorder.stop = ++pumpsWhileWaiting == 3;
        };
        SearchEngine engine(recorder, o);
        const auto outcome =
            engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true);
        release->set_value();
        QCOMPARE(outcome, SearchEngine::Outcome::Stopped);
        QCOMPARE(recorder.log,
                 (QStringList{"status Searching ~", "row ~/a_zebra | [Name] a_zebra"}));
    }

    // Stop, then the engine's end, while a listing or a reader hangs as on a dead network
    // mount: neither waits for it. The stuck thread ends later without touching freed state.
    void engineIsLeftWhileAReaderHangs_data() { stopWhileWaiting_data(); }
    void engineIsLeftWhileAReaderHangs() {
        QFETCH(bool, slowListing);
        QVERIFY(makeTree(root_, {"a_zebra", "hung/", "hung/zebra_hung"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(2);
        qint64 time = 0;
        o.clock = [&] { return time += 30; };
        auto release = std::make_shared<std::promise<void>>();
        std::shared_future<void> released = release->get_future().share();
        auto entered = std::make_shared<std::atomic<bool>>(false);
        // Owned by the engine's threads only: it is freed once the last of them has ended.
        auto token = std::make_shared<int>(0);
        const std::weak_ptr<int> tokenAlive = token;
        const QByteArray hung = root_ + "/hung";
        if (slowListing) {
            o.readFolder = [hung, released, entered, token](const QByteArray& path) {
                if (path == hung) {
                    *entered = true;
                    released.wait();
                }
                return fs::readFolder(path);
            };
        } else {
            o.testItem = [hung, released, entered, token,
                          sources = std::make_shared<DetailSources>()](const QByteArray& path,
                                                                       const Query& query) {
                if (path == hung + "/zebra_hung") {
                    *entered = true;
                    released.wait();
                }
                return testItem(path, query, *sources);
            };
        }
        token.reset();
        recorder.onPump = [&](int) { recorder.stop = recorder.stop || entered->load(); };

        auto engine = std::make_unique<SearchEngine>(recorder, o);
        o = {}; // the engine holds the only copies of the hanging functions
        QCOMPARE(engine->searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true),
                 SearchEngine::Outcome::Stopped);
        QVERIFY(entered->load());
        std::promise<void> destroyed;
        std::future<void> whenDestroyed = destroyed.get_future();
        std::thread destroyer([&] {
            engine.reset();
            destroyed.set_value();
        });
        const bool returnedAtOnce =
            whenDestroyed.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        const bool keptWhileStuck = !tokenAlive.expired();
        release->set_value(); // lets a joining destructor end, so a failure does not hang
        destroyer.join();
        QVERIFY2(returnedAtOnce, "the engine's destructor waited for a hung reader");
        QVERIFY(keptWhileStuck);
        for (int i = 0; i < 1000 && !tokenAlive.expired(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        QVERIFY2(tokenAlive.expired(), "the released thread never ended");
        QCOMPARE(recorder.log,
                 (QStringList{"status Searching ~", "row ~/a_zebra | [Name] a_zebra"}));
    }

    void readAheadAnswersEveryJob_data() {
        QTest::addColumn<int>("workers");
        QTest::addRow("none") << 0;
        QTest::addRow("one") << 1;
        QTest::addRow("three") << 3;
    }
    void readAheadAnswersEveryJob() {
        QFETCH(int, workers);
        ReadAhead pool(workers, [](const QByteArray& path, const Query& query) {
            if (path.endsWith("7"))
                throw std::runtime_error("a reader that throws after all");
            return path.contains(query.phrase.toUtf8()) ? ItemMatch{0, QString::fromUtf8(path)}
                                                        : ItemMatch{};
        });
        const auto query = std::make_shared<const Query>(Query{QStringLiteral("5")});
        // Handed over in groups of several sizes, each spread over the workers.
        std::vector<ReadAhead::Ticket> tickets;
        for (const auto& [from, to] : {std::pair(0, 1), std::pair(1, 8), std::pair(8, 60)}) {
            std::vector<QByteArray> paths;
            for (int i = from; i < to; ++i)
                paths.push_back("/x/" + QByteArray::number(i));
            for (ReadAhead::Ticket& ticket : pool.submit(std::move(paths), query))
                tickets.push_back(std::move(ticket));
        }
        // Jobs dropped before they started are still answered when awaited.
        pool.cancelPending();
        QStringList matched;
        for (const ReadAhead::Ticket& ticket : tickets) {
            QVERIFY(pool.waitFor(ticket, std::chrono::milliseconds(60000)));
            if (pool.result(ticket).matched())
                matched << pool.result(ticket).value;
        }
        QCOMPARE(matched,
                 (QStringList{"/x/5", "/x/15", "/x/25", "/x/35", "/x/45", "/x/50", "/x/51", "/x/52",
                              "/x/53", "/x/54", "/x/55", "/x/56", "/x/58", "/x/59"}));
    }

    // The queues under the lister and the read-ahead: a group goes to the worker with the fewest
    // items queued or in work; cancelPending drops only groups no worker has taken, and their
    // items no longer count. Groups are named by their first item, `size` items each.
    void workQueuesShareByLoadAndDropOnlyWhatWaits() {
        struct Group {
            int name = 0;
            size_t items = 0;
            size_t size() const { return items; }
        };
        using Queues = WorkQueues<Group>;
        // Kept by the workers too: a failed check must not leave them with freed state.
        struct Seen {
            std::map<int, std::thread::id> ranOn;
            std::vector<int> dropped;
            int taken = 0;
            int working = 0;
        };
        const auto seen = std::make_shared<Seen>(); // guarded by the queues' mutex
        auto release = std::make_shared<std::promise<void>>();
        const std::shared_future<void> released = release->get_future().share();
        Queues::Hooks hooks;
        hooks.work = [seen, released](Queues::State& state, Group& group) {
            state.settle([&] { ++seen->working; });
            released.wait();
            state.settle([&] { seen->ranOn[group.name] = std::this_thread::get_id(); });
        };
        hooks.taken = [seen](Group&) { ++seen->taken; };
        hooks.dropped = [seen](Group& group) { seen->dropped.push_back(group.name); };
        Queues queues(2, std::move(hooks));
        bool releasedYet = false;
        const auto releaseAnyway = qScopeGuard([&] {
            if (!releasedYet)
                release->set_value();
        });
        queues.post({{1, 5}, {2, 1}}); // one to each worker
        QVERIFY(queues.waitFor(std::chrono::seconds(20), [&] { return seen->working == 2; }));
        queues.post({{3, 1}, {4, 1}, {5, 3}}); // 5 items against 1: all three join group 2
        queues.cancelPending();
        QCOMPARE(seen->dropped, (std::vector<int>{3, 4, 5}));
        queues.post({{6, 1}}); // 5 against 1 again, once 3 to 5 no longer count
        releasedYet = true;
        release->set_value();
        QVERIFY(queues.waitFor(std::chrono::seconds(20), [&] { return seen->ranOn.size() == 3; }));
        QVERIFY(seen->ranOn[1] != seen->ranOn[2]);
        QCOMPARE(seen->ranOn[6], seen->ranOn[2]);
        QCOMPARE(seen->taken, 3);
    }

    // A test that throws leaves only its own item unmatched, whether the pool tested it ahead
    // of the walk or the walk tested it itself; the walk goes on either way.
    void throwingTestSkipsOnlyItsItem_data() {
        QTest::addColumn<int>("workers");
        QTest::addRow("on this thread") << 0;
        QTest::addRow("two workers") << 2;
    }
    void throwingTestSkipsOnlyItsItem() {
        QFETCH(int, workers);
        QVERIFY(makeTree(root_, {"sub/", "sub/a.txt", "sub/b.txt", "sub/c.txt", "sub/d.txt"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        // Clearing the list between the two passes over "sub" makes the walk test its items
        // again on its own thread.
        recorder.onStatus = [&](const QString& text) {
            if (text.endsWith(QLatin1String("/sub")))
                model.clear();
        };
        SearchOptions o = options(workers);
        auto testsOfB = std::make_shared<std::atomic<int>>(0);
        o.testItem = [testsOfB](const QByteArray& path, const Query&) {
            if (path.endsWith("/d.txt") || (path.endsWith("/b.txt") && ++*testsOfB == 2))
                throw std::runtime_error("a reader that throws after all");
            return path.endsWith(".txt") ? ItemMatch{column::Count, QStringLiteral("v")}
                                         : ItemMatch{};
        };
        SearchEngine engine(recorder, o);
        QCOMPARE(engine.searchFolder(root_, {QStringLiteral("v"), CaseMode::MustAgree}, true),
                 SearchEngine::Outcome::Finished);
        QCOMPARE(
            recorder.log,
            (QStringList{"status Searching ~", "row ~/sub/a.txt | [] v", "row ~/sub/b.txt | [] v",
                         "row ~/sub/c.txt | [] v", "status Searching ~/sub",
                         "row ~/sub/a.txt | [Others] v", "row ~/sub/c.txt | [Others] v"}));
        QCOMPARE(testsOfB->load(), 2);
    }

    void symbolicLinksAreNotWalked() {
        QVERIFY(makeTree(root_, {"sub/", "sub/loop_zebra -> ..", "sub/self_zebra -> .",
                                 "elsewhere_zebra -> sub", "sub/zebra.txt"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchEngine engine(recorder, options(2));
        QCOMPARE(engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true),
                 SearchEngine::Outcome::Finished);
        QCOMPARE(recorder.log, (QStringList{
                                   "status Searching ~",
                                   "row ~/elsewhere_zebra | [Name] elsewhere_zebra",
                                   "row ~/sub/loop_zebra | [Name] loop_zebra",
                                   "row ~/sub/self_zebra | [Name] self_zebra",
                                   "row ~/sub/zebra.txt | [Name] zebra.txt",
                                   "status Searching ~/sub",
                               }));
    }

    // A sub-folder replaced by a link after its folder was read is not followed either: a link
    // to "/" would otherwise search the whole disk under the sub-folder's name.
    void subFolderReplacedByALink_data() {
        QTest::addColumn<bool>("deep");
        QTest::addColumn<int>("workers");
        QTest::addRow("deep, on this thread") << true << 0;
        QTest::addRow("deep, two workers") << true << 2;
        QTest::addRow("one level, two workers") << false << 2;
    }
    void subFolderReplacedByALink() {
        QFETCH(bool, deep);
        QFETCH(int, workers);
        QVERIFY(
            makeTree(root_, {"a_zebra", "b_zebra", "c_zebra", "sub/", "sub/zebra_inside", "z/",
                             "z/zebra_z", "../outside_zebra/", "../outside_zebra/zebra_outside"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        // The walk asks for no sub-folder before the first of the three items is decided.
        SearchOptions o = options(workers);
        const auto sources = std::make_shared<DetailSources>();
        const QByteArray sub = root_ + "/sub";
        o.testItem = [sources, sub](const QByteArray& path, const Query& query) {
            if (path.endsWith("/a_zebra")) {
                std::filesystem::remove_all(sub.constData());
                ::symlink("..", sub.constData());
            }
            return testItem(path, query, *sources);
        };
        SearchEngine engine(recorder, o);
        QCOMPARE(engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, deep),
                 SearchEngine::Outcome::Finished);
        QStringList expected{"status Searching ~", "row ~/a_zebra | [Name] a_zebra",
                             "row ~/b_zebra | [Name] b_zebra", "row ~/c_zebra | [Name] c_zebra"};
        if (deep)
            expected << "failure ~/sub: Not a directory";
        expected << "row ~/z/zebra_z | [Name] zebra_z";
        if (deep)
            expected << "status Searching ~/z";
        QCOMPARE(recorder.log, expected);
    }

    void oddNamesKeepTheirBytes() {
        const QByteArray newline("zebra\nnext line");
        const QByteArray invalid("zebra\xff\xfe.txt");
        const QByteArray folder("dir\xc3(zebra)/");
        QVERIFY(makeTree(root_, {newline, invalid, folder, folder + "inner_zebra"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchEngine engine(recorder, options(2));
        engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true);
        QList<QByteArray> paths;
        for (int r = 0; r < model.rowCount(); ++r)
            paths << model.row(r).nativePath.mid(root_.size() + 1);
        QList<QByteArray> expected{newline, invalid, folder.chopped(1), folder + "inner_zebra"};
        std::sort(
            expected.begin(), expected.begin() + 3,
            [](const QByteArray& a, const QByteArray& b) { return fs::fileManagerLess(a, b); });
        QCOMPARE(paths, expected);
        for (int r = 0; r < model.rowCount(); ++r) {
            struct stat info {};
            QCOMPARE(::lstat(model.row(r).nativePath.constData(), &info), 0);
        }
    }

    void unreadableSubFolder_data() {
        QTest::addColumn<bool>("deep");
        QTest::addColumn<bool>("byPermissions");
        QTest::addRow("deep, refused by the read") << true << false;
        QTest::addRow("one level, refused by the read") << false << false;
        QTest::addRow("deep, mode 000") << true << true;
        QTest::addRow("one level, mode 000") << false << true;
    }
    void unreadableSubFolder() {
        QFETCH(bool, deep);
        QFETCH(bool, byPermissions);
        if (byPermissions && ::geteuid() == 0)
            QSKIP("running as root: mode 000 does not keep root from reading a folder");
        QVERIFY(makeTree(root_, {"a/", "a/zebra_a", "locked/", "locked/zebra_hidden", "z/",
                                 "z/zebra_z", "z/y/", "z/y/zebra_y"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(2);
        const QByteArray locked = root_ + "/locked";
        if (byPermissions) {
            QCOMPARE(::chmod(locked.constData(), 0), 0);
        } else {
            o.readFolder = [locked](const QByteArray& path) {
                if (path == locked)
                    throw fs::FileSystemError("Permission denied");
                return fs::readFolder(path);
            };
        }
        SearchEngine engine(recorder, o);
        engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, deep);
        if (byPermissions)
            ::chmod(locked.constData(), 0755);
        QStringList expected{"status Searching ~", "row ~/a/zebra_a | [Name] zebra_a"};
        if (deep)
            expected << "status Searching ~/a";
        // Only the whole-tree search reports the folder; one level down it yields nothing.
        if (deep)
            expected << "failure ~/locked: Permission denied";
        expected << "row ~/z/zebra_z | [Name] zebra_z";
        if (deep)
            expected << "status Searching ~/z"
                     << "row ~/z/y/zebra_y | [Name] zebra_y"
                     << "status Searching ~/z/y";
        QCOMPARE(recorder.log, expected);
    }

    void unreadableListFolder() {
        QVERIFY(makeTree(root_, {"zebra"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(2);
        o.readFolder = [](const QByteArray&) -> fs::FolderEntries {
            throw fs::FileSystemError("Permission denied");
        };
        SearchEngine engine(recorder, o);
        QCOMPARE(engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true),
                 SearchEngine::Outcome::Finished);
        QCOMPARE(recorder.log, (QStringList{"status Searching ~", "failure ~: Permission denied"}));
    }

    void folderRemovedBetweenListingAndSearching() {
        QVERIFY(
            makeTree(root_, {"a/", "a/zebra_a", "gone/", "gone/zebra_gone", "z/", "z/zebra_z"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(2);
        const QByteArray root = root_;
        o.readFolder = [root](const QByteArray& path) {
            fs::FolderEntries entries = fs::readFolder(path);
            if (path == root)
                QDir(QFile::decodeName(root + "/gone")).removeRecursively();
            return entries;
        };
        SearchEngine engine(recorder, o);
        engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true);
        QCOMPARE(recorder.log,
                 (QStringList{"status Searching ~", "row ~/a/zebra_a | [Name] zebra_a",
                              "status Searching ~/a", "failure ~/gone: No such file or directory",
                              "row ~/z/zebra_z | [Name] zebra_z", "status Searching ~/z"}));
    }

    // An item the folder's listing names is there, even when nothing else of it can be looked
    // at: past the longest path the system takes, say, or in a folder that may be read but not
    // entered. Its name still matches.
    void itemThatCannotBeLookedAtMatchesByName() {
        QByteArray folder = root_;
        int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const auto closeFolder = qScopeGuard([&] { ::close(fd); });
        while (folder.size() < 3950) {
            const QByteArray part(std::min<qsizetype>(200, 3950 - folder.size()), 'd');
            QCOMPARE(::mkdirat(fd, part.constData(), 0755), 0);
            const int inner = ::openat(fd, part.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            QVERIFY(inner >= 0);
            ::close(std::exchange(fd, inner));
            folder += '/' + part;
        }
        const QByteArray name = "zebra_" + QByteArray(200, 'y');
        const int file = ::openat(fd, name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(file >= 0);
        ::close(file);
        // Gone again before cleanup(), whose paths must stay short enough.
        const auto removeFile = qScopeGuard([&] { ::unlinkat(fd, name.constData(), 0); });
        QVERIFY(folder.size() + 1 + name.size() > PATH_MAX);
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchEngine engine(recorder, options(2));
        QCOMPARE(engine.searchFolder(root_, {QStringLiteral("zebra_"), CaseMode::MustAgree}, true),
                 SearchEngine::Outcome::Finished);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.row(0).nativePath, folder + '/' + name);
        QCOMPARE(model.row(0).label, QStringLiteral("[Name] ") + QString::fromLatin1(name));
    }

    void itemRemovedBeforeItsTest() {
        QVERIFY(makeTree(root_, {"zebra_1", "zebra_2", "zebra_3"}));
        results::ResultsModel model;
        Recorder recorder(model, root_);
        SearchOptions o = options(0);
        const QByteArray root = root_;
        o.readFolder = [root](const QByteArray& path) {
            fs::FolderEntries entries = fs::readFolder(path);
            ::unlink((root + "/zebra_2").constData());
            return entries;
        };
        SearchEngine engine(recorder, o);
        engine.searchFolder(root_, {QStringLiteral("zebra"), CaseMode::MustAgree}, true);
        QCOMPARE(recorder.log.filter(QStringLiteral("row ")),
                 (QStringList{"row ~/zebra_1 | [Name] zebra_1", "row ~/zebra_3 | [Name] zebra_3"}));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestSearchFolder)
#include "test_search_folder.moc"
