// The readers in sandboxed helpers: a reader that crashes, hangs, runs out of memory or is killed
// from outside costs one file's embedded details and nothing else; the sandbox refuses what a
// taken-over parser would try; the helper is found beside the program however it is started.

#include "app/fs/regular_file.h"
#include "details/clean_text.h"
#include "details/column_ids.h"
#include "details/reader_families.h"
#include "fixtures/media.h"
#include "fixtures/sample_files.h"
#include "search/detail_columns.h"
#include "search/detail_sources.h"
#include "search/extraction/extraction.h"
#include "search/extraction/helper_pool.h"
#include "search/extraction/helper_process.h"
#include "search/search_folder.h"
#include "search/store/detail_store.h"
#include "support/model_search_observer.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMimeDatabase>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::search::extraction;
using namespace quillmere::search::store;
using namespace quillmere::test;

namespace {

constexpr int Comments = 24;

// A store in `folder` that also keeps files changed a moment ago, as the tests' files are.
store::StoreOptions storeIn(const QTemporaryDir& folder) {
    store::StoreOptions options;
    options.folder = folder.path();
    options.settleTime = std::chrono::nanoseconds(0);
    return options;
}

// AddressSanitizer catches the crash and exits with its own code; the helper may also write, for
// the sanitizers' reports.
const QString Crashed =
    sanitizerBuild() ? QStringLiteral("stopped unexpectedly") : QStringLiteral("crashed (SIGSEGV)");
const QString WriteRefused =
    sanitizerBuild() ? QStringLiteral("write allowed") : QStringLiteral("write EPERM");

// A stand-in helper program: a shell script only its owner may read and run.
bool writeProgram(const QString& path, const QByteArray& script) {
    return writeBytes(path, script) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
}

// A file the test build of the helper turns into the named misbehaviour.
void writeFault(const QString& path, const QByteArray& word) {
    QVERIFY(writeBytes(path, "QUILLMERE-FAULT " + word + "\n"));
}

void writeKodakPhoto(const QString& path) {
    fixtures::Tags tags;
    tags.cameraMaker = QStringLiteral("Kodak");
    tags.cameraModel = QStringLiteral("EasyShare");
    fixtures::write(fixtures::Kind::Jpeg, path, tags);
}

// Twelve Kodak photos, each beside a file its reader takes 100 ms over, so that a search is
// still reading when something happens to its helpers.
void writeKodakPhotosAmongSlowFiles(const QTemporaryDir& dir) {
    for (int i = 0; i < 12; ++i) {
        writeKodakPhoto(dir.filePath(QStringLiteral("photo %1.jpg").arg(i, 2, 10, QChar(u'0'))));
        writeFault(dir.filePath(QStringLiteral("slow %1.jpg").arg(i)), "slow100");
    }
}

// The helper that read a probe file, which says its process id.
int helperOf(DetailColumns& item) {
    return item.value(Comments).section(QStringLiteral("pid "), 1).toInt();
}

// Reads the items' embedded details together, as a worker of the read-ahead does.
void readTogether(std::vector<DetailColumns>& items) {
    std::vector<DetailColumns*> all;
    for (DetailColumns& item : items)
        all.push_back(&item);
    DetailColumns::readEmbeddedTogether(all);
}

// Reads the files `names` of `dir` together, each a probe but `crashing`: the helper of each, 0
// where none answered.
std::vector<int> helpersReading(const QTemporaryDir& dir, const QStringList& names,
                                const QString& crashing, DetailSources& sources) {
    std::vector<DetailColumns> items;
    for (const QString& name : names) {
        writeFault(dir.filePath(name), name == crashing ? "crash" : "probe");
        items.emplace_back(QFile::encodeName(dir.filePath(name)), sources);
    }
    readTogether(items);
    std::vector<int> pid;
    for (DetailColumns& item : items)
        pid.push_back(helperOf(item));
    return pid;
}

// The helper that reads the probe `name`, written in `dir` first.
int helperReading(const QTemporaryDir& dir, const QString& name, DetailSources& sources) {
    writeFault(dir.filePath(name), "probe");
    DetailColumns item(QFile::encodeName(dir.filePath(name)), sources);
    return helperOf(item);
}

// Sources of a test's own, reading in helpers that misbehave as a file tells them to, with `store`
// if given. Most cases watch one helper across several requests, so by default a helper is kept;
// the program replaces it after a folder or a batch's worth of files. `adjust` changes the rest.
std::shared_ptr<DetailSources>
useHelpers(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000),
           int filesPerHelper = 0, bool oneFolderPerHelper = false,
           std::shared_ptr<DetailStore> store = nullptr, int cpuSeconds = 10,
           const std::function<void(DetailSources::Setup&)>& adjust = {}) {
    DetailSources::Setup setup;
    setup.reading.program = QByteArrayLiteral(QUILLMERE_EXTRACT_FAULTY);
    setup.reading.limits.deadline = deadline;
    setup.reading.limits.cpuSeconds = cpuSeconds;
    setup.reading.limits.filesPerHelper = filesPerHelper;
    setup.reading.limits.oneFolderPerHelper = oneFolderPerHelper;
    setup.reading.limits.memoryBytes = qint64(512) << 20;
    setup.store = std::move(store);
    if (adjust)
        adjust(setup);
    return std::make_shared<DetailSources>(std::move(setup));
}

struct Fault {
    QString name;
    QString cause;
};

// Every fault the helpers report, in the order reported.
class FaultLog {
public:
    explicit FaultLog(std::shared_ptr<DetailSources> sources) : sources_(std::move(sources)) {
        sources_->setFaultListener([this](const ReaderFault& fault) {
            const QByteArray& path = fault.nativePath;
            std::lock_guard lock(mutex_);
            faults_.append({QFile::decodeName(path.mid(path.lastIndexOf('/') + 1)), fault.cause});
        });
    }
    ~FaultLog() { sources_->setFaultListener(nullptr); }
    QList<Fault> faults() {
        std::lock_guard lock(mutex_);
        return faults_;
    }

private:
    const std::shared_ptr<DetailSources> sources_;
    std::mutex mutex_;
    QList<Fault> faults_;
};

// Rows as "name<TAB>label", and a hook that runs at every message pump.
class Rows : public ModelSearchObserver {
public:
    explicit Rows(results::ResultsModel& model) : ModelSearchObserver(model), model_(model) {}
    void showStatus(const QString&) override {}
    void pumpMessages() override {
        if (onPump)
            onPump();
    }
    bool stopRequested() override { return false; }
    void reportFailure(const QByteArray& folder, const QString& description) override {
        QFAIL(qPrintable(QFile::decodeName(folder) + description));
    }
    QStringList names() const {
        QStringList out;
        for (int i = 0; i < model_.rowCount(); ++i) {
            const QString path = model_.row(i).displayPath;
            out << path.mid(path.lastIndexOf(u'/') + 1) + u'\t' + model_.row(i).label;
        }
        return out;
    }
    std::function<void()> onPump;

private:
    const results::ResultsModel& model_;
};

QStringList searchKodak(const std::shared_ptr<DetailSources>& sources, const QString& folder,
                        int workers, const std::function<void()>& onPump = {}) {
    results::ResultsModel model;
    Rows rows(model);
    rows.onPump = onPump;
    SearchOptions options;
    options.workers = workers;
    options.pumpInterval = std::chrono::milliseconds(1);
    options.sources = sources;
    searchFolders(
        {QFile::encodeName(folder)},
        [] {
            return Query{QStringLiteral("Kodak"), CaseMode::MustAgree};
        },
        true, rows, options);
    return rows.names();
}

QString statusLine(pid_t pid, const QByteArray& key) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return QString::fromLatin1(line.mid(key.size() + 1).trimmed());
    }
    return {};
}

// The zygote these tests' helpers are forked from (they run one helper program), or -1.
pid_t theZygote() {
    const std::vector<pid_t> running = extraction::Extractor::runningZygotes();
    return running.size() == 1 ? running.front() : -1;
}

// A helper with its own filter on top of the zygote's has said Ready, or is about to: stopped now,
// it stops while reading, not while starting (which a busy machine may draw out).
bool pastItsStart(pid_t helper) {
    const QString own = statusLine(helper, "Seccomp_filters");
    const QString zygote = statusLine(theZygote(), "Seccomp_filters");
    return own.isEmpty() || zygote.isEmpty() || own.toInt() > zygote.toInt();
}

// The processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        if (isPid && statusLine(pid, "PPid") == QString::number(parent))
            children.push_back(pid);
    }
    return children;
}

// Gone, or ended and waiting to be reaped by whoever inherited it.
bool hasEnded(pid_t pid) {
    const QString state = statusLine(pid, "State");
    return state.isEmpty() || state.startsWith(u'Z') || state.startsWith(u'X');
}

} // namespace

class TestReaderIsolation : public QObject {
    Q_OBJECT

    std::shared_ptr<DetailSources> sources_;

private slots:
    void cleanup() { sources_.reset(); }

    void aFaultCostsOneFile_data() {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<int>("workers");
        QTest::addColumn<int>("deadline");
        QTest::addColumn<int>("cpuSeconds");
        // Deadlines leave ordinary files room on a busy machine.
        QTest::addRow("crash, two workers") << QByteArray("crash") << Crashed << 2 << 5000 << 10;
        QTest::addRow("crash, on the walk's thread")
            << QByteArray("crash") << Crashed << 0 << 5000 << 10;
        QTest::addRow("hang") << QByteArray("hang") << "took longer than 2 s" << 2 << 2000 << 10;
        // The helper's own limit of processor time per file, moved along file by file.
        QTest::addRow("spinning past its processor time")
            << QByteArray("hang") << "used too much processor time" << 2 << 60000 << 1;
        if (!sanitizerBuild()) // the address-space limit is off where AddressSanitizer runs
            QTest::addRow("endless allocation")
                << QByteArray("allocate") << "ran out of memory" << 2 << 20000 << 10;
    }
    void aFaultCostsOneFile() {
        QFETCH(QByteArray, fault);
        QFETCH(QString, cause);
        QFETCH(int, workers);
        QFETCH(int, deadline);
        QFETCH(int, cpuSeconds);
        QTemporaryDir dir;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        // Named as a photo so that the photo reader gets it; its name also matches.
        writeFault(dir.filePath(QStringLiteral("b Kodak.jpg")), fault);
        writeFault(dir.filePath(QStringLiteral("c.jpg")), fault);
        writeKodakPhoto(dir.filePath(QStringLiteral("d.jpg")));
        sources_ = useHelpers(std::chrono::milliseconds(deadline), 0, false, nullptr, cpuSeconds);
        FaultLog log(sources_);

        const QStringList expected = {
            QStringLiteral("a.jpg\t[Camera maker] Kodak"),
            QStringLiteral("b Kodak.jpg\t[Name] b Kodak.jpg"),
            QStringLiteral("d.jpg\t[Camera maker] Kodak"),
        };
        QCOMPARE(searchKodak(sources_, dir.path(), workers), expected);
        // The file whose name matched was never read; the other was, once.
        const QList<Fault> faults = log.faults();
        QCOMPARE(faults.size(), 1);
        QCOMPARE(faults[0].name, QStringLiteral("c.jpg"));
        QVERIFY2(faults[0].cause.contains(cause), qPrintable(faults[0].cause));

        // Never tried again, not even by a later search that forgot every detail.
        sources_->cache().clear();
        QCOMPARE(searchKodak(sources_, dir.path(), workers), expected);
        QCOMPARE(log.faults().size(), 1);
        DetailColumns details(QFile::encodeName(dir.filePath(QStringLiteral("c.jpg"))), *sources_);
        QCOMPARE(details.value(Comments), QString());
        QVERIFY(details.problems().join(u'\n').contains(cause));
    }

    // The store remembers a file whose reader failed as one without details, so a later process
    // does not feed it to a reader again, and tells why as a fresh read does.
    void theStoreRemembersAFault() {
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        writeFault(dir.filePath(QStringLiteral("c.jpg")), "crash");
        const store::StoreOptions options = storeIn(storeFolder);
        const QByteArray faulty = QFile::encodeName(dir.filePath(QStringLiteral("c.jpg")));
        {
            sources_ = useHelpers(std::chrono::milliseconds(5000), 0, false,
                                  std::make_shared<store::DetailStore>(options));
            FaultLog log(sources_);
            QCOMPARE(searchKodak(sources_, dir.path(), 2).size(), 1);
            QCOMPARE(log.faults().size(), 1);
            QVERIFY(sources_->writeStore(std::chrono::seconds(10)));
        }
        // A later process.
        const auto again = std::make_shared<store::DetailStore>(options);
        sources_ = useHelpers(std::chrono::milliseconds(5000), 0, false, again);
        DetailColumns details(faulty, *sources_);
        QCOMPARE(details.value(Comments), QString());
        QCOMPARE(details.problems().size(), 1);
        QVERIFY2(details.problems()[0].startsWith(
                     QStringLiteral("cannot read the embedded details: the reader ") + Crashed),
                 qPrintable(details.problems()[0]));
        QCOMPARE(again->figures().hits, quint64(1));
    }

    // `quillmere-cli find` tells of a file whose reader crashed in the run that read it, and again,
    // in the same words, in a run that has it from the store: one whose helper could not even
    // start, so that any file it read would say so.
    void theCommandLineTellsARememberedFault() {
        QTemporaryDir dir;
        const QString tree = dir.filePath(QStringLiteral("tree"));
        const QString bin = dir.filePath(QStringLiteral("bin"));
        QDir().mkpath(tree);
        QDir().mkpath(bin);
        writeKodakPhoto(tree + QStringLiteral("/a.jpg"));
        writeFault(tree + QStringLiteral("/c.jpg"), "crash");
        const QString helper = bin + QStringLiteral("/quillmere-extract");
        QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_CLI), bin + QStringLiteral("/quillmere-cli")));
        QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_EXTRACT_FAULTY), helper));
        QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_READER_MODULE),
                            bin + QStringLiteral("/quillmere-readers.so")));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
        // The rows, then the program's own lines on stderr (a sanitizer's report may come too).
        const auto find = [&] {
            QProcess cli;
            cli.setProcessEnvironment(env);
            cli.start(bin + QStringLiteral("/quillmere-cli"),
                      {QStringLiteral("find"), QStringLiteral("Kodak"), tree});
            if (!cli.waitForFinished(60000))
                return QByteArrayList{"did not finish"};
            QByteArrayList said{cli.readAllStandardOutput()};
            for (const QByteArray& line : cli.readAllStandardError().split('\n')) {
                if (line.startsWith("quillmere-cli"))
                    said << line;
            }
            return said;
        };
        // Files changed this recently are not remembered.
        QThread::msleep(2100);
        const QByteArrayList first = find();
        QCOMPARE(first.value(0), QFile::encodeName(tree) + "/a.jpg\t[Camera maker] Kodak\n");
        const QByteArray said = "quillmere-cli find: " + QFile::encodeName(tree) +
                                "/c.jpg: the reader " + Crashed.toUtf8();
        QCOMPARE(first.size(), 2);
        QVERIFY2(first.value(1).startsWith(said), first.value(1).constData());

        // Every file is in the store now, so no helper starts: one would leave its mark and fail.
        QVERIFY(QFile::remove(helper));
        const QString mark = dir.filePath(QStringLiteral("started"));
        QVERIFY(writeProgram(helper, "#!/bin/sh\n: > '" + QFile::encodeName(mark) + "'\nexit 1\n"));
        QCOMPARE(find(), first);
        QVERIFY(!QFile::exists(mark));
    }

    // Helpers start when the first file needs a reader: a search whose files are all in the store
    // starts none, and lists what the first one listed. The store keeps a helper's answers only
    // when it finished its batch without a fault; the engine's record of a crash is kept anyway.
    void aWarmSearchStartsNoHelper() {
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        // Read slowly enough that the answer held back before it goes out before the crash.
        writeFault(dir.filePath(QStringLiteral("ab.jpg")), "slow5");
        writeFault(dir.filePath(QStringLiteral("b.jpg")), "crash");
        QVERIFY(writeBytes(dir.filePath(QStringLiteral("c.jpg")), "not a photo"));
        const store::StoreOptions options = storeIn(storeFolder);
        const auto searchAsANewProcess = [&](quint64 hits, bool helpers, QStringList& rows) {
            // No helper, no detail kept in memory.
            const auto store = std::make_shared<store::DetailStore>(options);
            sources_ = useHelpers(std::chrono::milliseconds(5000), 0, false, store);
            // One worker: the four files go to one helper in one batch.
            rows = searchKodak(sources_, dir.path(), 1);
            QCOMPARE(store->figures().hits, hits);
            // A search's helpers are retired at its end; their zygote starts with the first.
            QVERIFY(sources_->extractor().runningHelpers().empty());
            QCOMPARE(theZygote() > 0, helpers);
        };
        QStringList first;
        searchAsANewProcess(0, true, first);
        QCOMPARE(first.size(), 1);
        // a.jpg and ab.jpg were answered by the helper that then crashed on b.jpg: read again.
        QStringList rows;
        searchAsANewProcess(2, true, rows);
        QCOMPARE(rows, first);
        searchAsANewProcess(4, false, rows);
        QCOMPARE(rows, first);
    }

    // A helper that answered well and then faults in a later request of the same life, by a
    // crash or a lie: nothing it said reaches the store or the memory of this process, though its
    // answers still give this search's rows. The engine's own record of the fault is stored, and so
    // is what a helper that ended cleanly answered, at the end of the search.
    void aHelperThatFaultsLaterLeavesNothingInTheStore_data() {
        QTest::addColumn<QByteArray>("fault");
        QTest::addRow("crash") << QByteArray("crash");
        QTest::addRow("a lie about whom it answers") << QByteArray("outside");
    }
    void aHelperThatFaultsLaterLeavesNothingInTheStore() {
        QFETCH(QByteArray, fault);
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        for (const char* name : {"a.jpg", "b.jpg", "z.jpg"})
            writeKodakPhoto(dir.filePath(QString::fromLatin1(name)));
        writeFault(dir.filePath(QStringLiteral("m.jpg")), fault);
        const store::StoreOptions options = storeIn(storeFolder);
        const QStringList all = {QStringLiteral("a.jpg\t[Camera maker] Kodak"),
                                 QStringLiteral("b.jpg\t[Camera maker] Kodak"),
                                 QStringLiteral("z.jpg\t[Camera maker] Kodak")};
        const auto search = [&](quint64 hits, qint64 entries) {
            const auto store = std::make_shared<store::DetailStore>(options);
            sources_ = useHelpers(std::chrono::milliseconds(5000), 0, false, store);
            // No workers: each file is a request of its own to one helper, a and b before m.
            QCOMPARE(searchKodak(sources_, dir.path(), 0), all);
            const store::StoreFigures figures = store->figures();
            QCOMPARE(figures.hits, hits);
            QCOMPARE(figures.entries, entries);
            // Nor does this process keep in memory what such a helper said.
            QCOMPARE(qint64(sources_->cache().figures().kept), entries);
        };
        // m.jpg's fault and z.jpg, read by the helper after it; not a.jpg nor b.jpg, which the
        // next search reads again, in a helper that ends cleanly.
        search(0, 2);
        search(2, 4);
    }

    // A helper that breaks off after its last answer, by saying more than it was asked or by
    // ending on its own, broke the protocol though no request was out to show it: retired, it
    // leaves nothing it said in the store or in memory.
    void aHelperThatBreaksOffIdleLeavesNothingInTheStore_data() {
        QTest::addColumn<QByteArray>("fault");
        QTest::addRow("an answer more") << QByteArray("says more");
        QTest::addRow("an end of its own") << QByteArray("answers, ends");
    }
    void aHelperThatBreaksOffIdleLeavesNothingInTheStore() {
        QFETCH(QByteArray, fault);
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        const QString photo = dir.filePath(QStringLiteral("a.jpg"));
        const QString breaksOff = dir.filePath(QStringLiteral("m.jpg"));
        writeKodakPhoto(photo);
        writeFault(breaksOff, fault);
        const store::StoreOptions options = storeIn(storeFolder);
        const auto store = std::make_shared<store::DetailStore>(options);
        sources_ = useHelpers(std::chrono::milliseconds(5000), 0, false, store);
        // One helper, two requests, both answered in full.
        QCOMPARE(DetailColumns(QFile::encodeName(photo), *sources_).value(32),
                 QStringLiteral("Kodak"));
        QCOMPARE(DetailColumns(QFile::encodeName(breaksOff), *sources_).value(Comments),
                 QString::fromLatin1(fault));
        const std::vector<pid_t> helpers = sources_->extractor().runningHelpers();
        QCOMPARE(helpers.size(), std::size_t(1));
        QTRY_VERIFY(fault != "answers, ends" || hasEnded(helpers[0]));
        sources_->extractor().retireIdleHelpers();
        QCOMPARE(store->figures().entries, qint64(0));
        QCOMPARE(qint64(sources_->cache().figures().kept), qint64(0));
    }

    // That a file is of no reader's kind is a helper's answer too: said by a helper that faults
    // later, it is not kept, and a later process reads the file again.
    void aFileDisownedByAHelperThatFaultsLaterIsReadAgain() {
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        writeFault(dir.filePath(QStringLiteral("a.jpg")), "disowns next");
        writeKodakPhoto(dir.filePath(QStringLiteral("b.jpg")));
        writeFault(dir.filePath(QStringLiteral("m.jpg")), "crash");
        const store::StoreOptions options = storeIn(storeFolder);
        const auto search = [&] {
            sources_ = useHelpers(std::chrono::milliseconds(5000), 0, false,
                                  std::make_shared<store::DetailStore>(options));
            // No workers: a, b and m are requests of their own to one helper.
            return searchKodak(sources_, dir.path(), 0);
        };
        QCOMPARE(search(), QStringList());
        QVERIFY(QFile::remove(dir.filePath(QStringLiteral("a.jpg"))));
        QCOMPARE(search(), QStringList{QStringLiteral("b.jpg\t[Camera maker] Kodak")});
    }

    // A helper crashed, perhaps holding back the answer of an innocent file, and no fresh helper
    // can start (the process is out of descriptors): the files it may have been reading are left
    // unread, not blamed, and are read once a helper starts again.
    void noSuspectIsBlamedWhenNoHelperCanStart() {
        QTemporaryDir dir;
        writeFault(dir.filePath(QStringLiteral("probe.jpg")), "probe");
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        writeFault(dir.filePath(QStringLiteral("c.jpg")), "crash");
        extraction::Settings settings;
        settings.program = QByteArrayLiteral(QUILLMERE_EXTRACT_FAULTY);
        settings.limits.filesPerHelper = 0;
        settings.limits.spareHelpers = 0;
        std::atomic<int> told{0};
        Extractor extractor(settings, [&told](const ReaderFault&) { ++told; });
        const QMimeType jpeg = QMimeDatabase().mimeTypeForName(QStringLiteral("image/jpeg"));
        const ReaderFamily& photos = *readerFamilyFor(jpeg);
        std::deque<app::fs::RegularFile> opened;
        std::vector<FileToRead> files;
        for (const char* name : {"probe.jpg", "a.jpg", "c.jpg"}) {
            const QByteArray path = QFile::encodeName(dir.filePath(QString::fromLatin1(name)));
            const app::fs::RegularFile& file = opened.emplace_back(path);
            files.push_back({path, jpeg, file.size(), file.fd()});
        }
        QCOMPARE(extractor.extract(photos, files[0]).outcome, Extraction::Outcome::Read);
        // Spares and helpers of earlier tests, ended meanwhile, would free descriptors enough
        // for a fresh helper.
        QTRY_VERIFY(ZygoteKeeper::instance().isIdle());
        std::vector<Extraction> found;
        {
            rlimit before{};
            QCOMPARE(::getrlimit(RLIMIT_NOFILE, &before), 0);
            rlimit low = before;
            low.rlim_cur = std::min<rlim_t>(before.rlim_cur, 256);
            QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
            std::vector<int> taken;
            for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;)
                taken.push_back(fd);
            const auto giveBack = qScopeGuard([&] {
                for (const int fd : taken)
                    ::close(fd);
                ::setrlimit(RLIMIT_NOFILE, &before);
            });
            const FileRead both[] = {{&photos, &files[1]}, {&photos, &files[2]}};
            found = extractor.extract(both);
        }
        // a.jpg was answered before the crash, or is a suspect: never blamed either way.
        QVERIFY(found[0].outcome != Extraction::Outcome::Failed);
        QCOMPARE(found[1].outcome, Extraction::Outcome::NotRead);
        QCOMPARE(told.load(), 0);
        QCOMPARE(extractor.readingNotice().fault, HelperFault::CannotStart);
        QTest::qWait(1100); // a helper is tried again a second after a start failed
        const Extraction again = extractor.extract(photos, files[1]);
        QCOMPARE(again.outcome, Extraction::Outcome::Read);
        QCOMPARE(again.values[size_t(column::CameraMaker - column::FirstEmbedded)],
                 QStringLiteral("Kodak"));
    }

    // A reader that stops between sending a request and taking its answers gives its helper
    // back with those answers still to come: the helper ends rather than answer the next request
    // with them, and not cleanly.
    void aHelperGivenBackWithARequestOutEnds() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a.jpg"));
        writeFault(path, "probe");
        const app::fs::RegularFile file(QFile::encodeName(path));
        HelperLimits limits;
        limits.spareHelpers = 0;
        HelperPool pool(limits);
        const int photos =
            readerFamilyFor(QMimeDatabase().mimeTypeForName(QStringLiteral("image/jpeg")))
                ->number();
        bool kept = false;
        {
            HelperPool::Lease lease = pool.take(QUILLMERE_EXTRACT_FAULTY, photos);
            const HelperProcess::File one{photos, file.fd(), file.size()};
            QCOMPARE(lease->read({&one, 1}, [](size_t, details::Answer&) {}).kind,
                     HelperProcess::Outcome::Kind::Whole);
            HelperLife::whenAllEndCleanly({&lease->life(), 1}, [&kept] { kept = true; });
            QCOMPARE(lease->begin({&one, 1}).kind, HelperProcess::Outcome::Kind::Whole);
        }
        QCOMPARE(pool.idleCount(), size_t(0));
        QVERIFY(pool.runningPids().empty());
        // Its answers owed were never checked: what it said before is not kept either.
        QVERIFY(!kept);
    }

    // Every kind of file gives the same details in a helper as in this process; a large PDF,
    // which poppler would otherwise reopen by name, is read through memory.
    void helpersAndThisProcessAgree() {
        QTemporaryDir dir;
        fixtures::Tags tags;
        tags.title = QStringLiteral("Harbour Lights");
        tags.artist = QStringLiteral("Kodak Quartet");
        tags.author = QStringLiteral("Ann Example");
        tags.cameraMaker = QStringLiteral("Kodak");
        tags.keywords = {QStringLiteral("sea"), QStringLiteral("night")};
        tags.year = 2021;
        tags.pages = 3;
        QStringList paths;
        for (const fixtures::Kind kind : fixtures::allKinds()) {
            paths << dir.filePath(fixtures::kindName(kind) + u'.' + fixtures::extension(kind));
            fixtures::write(kind, paths.last(), tags);
        }
        const QString pdf = dir.filePath(QStringLiteral("PDF.pdf"));
        QFile small(pdf);
        QVERIFY(small.open(QIODevice::ReadOnly));
        QByteArray bytes = small.readAll();
        bytes.insert(bytes.indexOf('\n') + 1, "%" + QByteArray(400 * 1024, 'x') + "\n");
        paths << dir.filePath(QStringLiteral("large.pdf"));
        QVERIFY(writeBytes(paths.last(), bytes));

        const auto everyColumn = [this, &paths] {
            QStringList out;
            for (const QString& path : paths) {
                DetailColumns details(QFile::encodeName(path), *sources_);
                for (int c = column::FirstEmbedded; c < column::Count; ++c)
                    out << details.value(c);
            }
            return out;
        };
        DetailSources::Setup inProcess;
        inProcess.reading.isolation = extraction::Isolation::InProcess;
        inProcess.reading.readerModule = QByteArrayLiteral(QUILLMERE_READER_MODULE);
        sources_ = std::make_shared<DetailSources>(inProcess);
        const QStringList here = everyColumn();
        sources_ = useHelpers();
        FaultLog log(sources_);
        QCOMPARE(everyColumn(), here);
        const qsizetype large = (paths.size() - 1) * (column::Count - 12);
        QCOMPARE(here[large + 36 - 12], QStringLiteral("3")); // pages of the large PDF
        QCOMPARE(here[large + 21 - 12], QStringLiteral("Harbour Lights"));
        QVERIFY(log.faults().isEmpty());
    }

    // A helper may have been taken over by the file it read: its answer is checked, never trusted.
    void answersAreCheckedBeforeUse_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("accepted");
        details::Answer answer;
        answer.read = true;
        answer.values[32 - details::column::FirstEmbedded] = QStringLiteral("Kodak");
        QByteArray good;
        details::encodeAnswer(answer, good);
        QTest::addRow("well formed") << good << true;
        QTest::addRow("cut short") << good.left(good.size() - 1) << false;
        constexpr int firstValue = 8; // after the kind, the verdict, the batch and the index
        QByteArray column = good;
        column[firstValue] = char(41); // past the last column
        QTest::addRow("no such column") << column << false;
        column[firstValue] = char(11); // a column the engine reads itself
        QTest::addRow("a column of the entry") << column << false;
        QByteArray length = good;
        length[firstValue + 1] = char(0xff); // claims more text than follows
        QTest::addRow("length past the end") << length << false;
        QByteArray verdict = good;
        verdict[1] = char(7);
        QTest::addRow("unknown verdict") << verdict << false;
        QTest::addRow("a request instead") << details::encodeRequest({1, {{1, 10}}}) << false;
    }
    void answersAreCheckedBeforeUse() {
        QFETCH(QByteArray, payload);
        QFETCH(bool, accepted);
        details::Answer answer;
        QCOMPARE(details::decodeAnswer(payload, answer), accepted);
        if (accepted) {
            QVERIFY(answer.read);
            QCOMPARE(answer.values[32 - details::column::FirstEmbedded], QStringLiteral("Kodak"));
        }
    }

    // Where no helper can start, no reader runs here instead: a file found only by an embedded
    // detail is not found, one found by its name still is, nothing of it is kept, and starting
    // is tried again at most once a second, so a helper that works later reads it.
    void withoutAWorkingHelperNothingIsReadHere_data() {
        QTest::addColumn<QByteArray>("script"); // the helper's text; empty: there is none
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("cause");
        QTest::addRow("missing") << QByteArray() << int(HelperFault::Missing)
                                 << QStringLiteral("is not installed beside this program");
        QTest::addRow("exits at once") << QByteArray("#!/bin/sh\necho >>\"$0.starts\"\nexit 1\n")
                                       << int(HelperFault::CannotStart)
                                       << QStringLiteral("stopped unexpectedly (exit code 1)");
        QTest::addRow("never says Ready")
            << QByteArray("#!/bin/sh\nexec sleep 600\n") << int(HelperFault::CannotStart)
            << QStringLiteral("it did not answer within 5 s");
    }
    void withoutAWorkingHelperNothingIsReadHere() {
        QFETCH(QByteArray, script);
        QFETCH(int, fault);
        QFETCH(QString, cause);
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        QDir().mkpath(dir.filePath(QStringLiteral("tree")));
        constexpr int photos = 30;
        for (int i = 0; i < photos; ++i)
            writeKodakPhoto(dir.filePath(QStringLiteral("tree/%1.jpg").arg(i, 2, 10, QChar(u'0'))));
        QVERIFY(writeBytes(dir.filePath(QStringLiteral("tree/Kodak notes.txt")), "")); // no store
        const QString helper = dir.filePath(QStringLiteral("quillmere-extract"));
        if (!script.isEmpty()) {
            QVERIFY(writeProgram(helper, script));
        }
        const store::StoreOptions options = storeIn(storeFolder);
        auto detailStore = std::make_shared<store::DetailStore>(options);
        DetailSources::Setup setup;
        setup.reading.program = QFile::encodeName(helper);
        // A quarter of the usual wait for Ready, still several times what a sanitizer build of
        // the real helper takes on a busy machine.
        setup.reading.limits.startDeadline = std::chrono::seconds(5);
        setup.store = detailStore;
        sources_ = std::make_shared<DetailSources>(setup);
        const ReadingNotice before = sources_->extractor().readingNotice();
        FaultLog log(sources_);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(searchKodak(sources_, dir.filePath(QStringLiteral("tree")), 2),
                 QStringList({QStringLiteral("Kodak notes.txt\t[Name] Kodak notes.txt")}));
        const qint64 seconds = timer.elapsed() / 1000;
        const ReadingNotice after = sources_->extractor().readingNotice();
        QCOMPARE(after.notRead - before.notRead, quint64(photos));
        QCOMPARE(int(after.fault), fault);
        QVERIFY2(after.cause.startsWith(QStringLiteral("the reader helper could not start: ")) &&
                     after.cause.contains(cause),
                 qPrintable(after.cause));
        QCOMPARE(after.readHere, before.readHere);
        QVERIFY(log.faults().isEmpty()); // one notice for the search, not a fault per file
        QVERIFY(sources_->extractor().runningHelpers().empty());
        DetailColumns photo(QFile::encodeName(dir.filePath(QStringLiteral("tree/00.jpg"))),
                            *sources_);
        QCOMPARE(photo.value(32), QString());
        QCOMPARE(detailStore->figures().entries, qint64(0));
        if (fault == int(HelperFault::CannotStart) && script.contains("starts")) {
            // The two workers and the search's own thread may try at once; after that one try a
            // second at most.
            QFile starts(helper + QStringLiteral(".starts"));
            QVERIFY(starts.open(QIODevice::ReadOnly));
            const qint64 tries = starts.readAll().count('\n');
            QVERIFY2(tries >= 1 && tries <= 3 + seconds + 1, qPrintable(QString::number(tries)));
        }

        // The same helper path now works; within a second the next file gets a helper again.
        const quint64 notReadBefore = sources_->extractor().readingNotice().notRead;
        QFile::remove(helper);
        QVERIFY(QFile::link(QStringLiteral(QUILLMERE_EXTRACT), helper));
        QTest::qWait(1100);
        // On one thread, so no file passes while the first one waits for the new helper.
        QCOMPARE(searchKodak(sources_, dir.filePath(QStringLiteral("tree")), 0).size(), photos + 1);
        QCOMPARE(sources_->extractor().readingNotice().notRead, notReadBefore);
        QCOMPARE(detailStore->figures().entries, qint64(photos));
    }

    // A fork copies one thread: a zygote left with a second one after its warm-up forks nothing.
    void aZygoteWithASecondThreadSealsNothing() {
        QProcess describe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUILLMERE_TEST_THREAD_IN_WARM_UP"), QStringLiteral("1"));
        describe.setProcessEnvironment(environment);
        describe.start(QStringLiteral(QUILLMERE_EXTRACT_FAULTY),
                       {QStringLiteral("--describe-sandbox")});
        QVERIFY(describe.waitForFinished(30000));
        QCOMPARE(describe.exitCode(), 1);
        QVERIFY(describe.readAllStandardOutput().isEmpty());
        QCOMPARE(QString::fromUtf8(describe.readAllStandardError()),
                 QStringLiteral("The sandbox could not be sealed on this machine: a reader library "
                                "started a thread while warming up\n"));
    }

    // What a parser taken over by a file tries first: reach files, the network, the terminal,
    // the environment, or lift its limits.
    void theSandboxRefusesWhatATakenOverParserTries() {
        QProcess describe;
        describe.start(QStringLiteral(QUILLMERE_EXTRACT), {QStringLiteral("--describe-sandbox")});
        QVERIFY(describe.waitForFinished(30000));
        const QString layers = QString::fromUtf8(describe.readAllStandardOutput());
        QCOMPARE(describe.exitCode(), 0);
        for (const char* layer : {"capabilities", "no new privileges", "limits", "environment",
                                  "descriptors", "system calls"})
            QVERIFY2(layers.contains(QLatin1String(layer) + QStringLiteral(": holds")),
                     qPrintable(layers));
        // Where the kernel gives no namespaces of our own, no path is hidden; the test says so.
        const bool emptyRoot = layers.contains(QStringLiteral("empty root: holds"));
        if (!emptyRoot)
            qInfo("no empty root here, so paths are not hidden: %s", qPrintable(layers));

        QTemporaryDir dir;
        const QString probe = dir.filePath(QStringLiteral("probe.jpg"));
        writeFault(probe, "probe");
        qputenv("QUILLMERE_TEST_SECRET", "token");
        sources_ = useHelpers();
        DetailColumns details(QFile::encodeName(probe), *sources_);
        qunsetenv("QUILLMERE_TEST_SECRET");
        const QString said = details.value(Comments);
        QVERIFY2(
            said.startsWith(
                QStringLiteral("open EPERM, openat EPERM, socket EPERM, unix "
                               "socket EPERM, ") +
                WriteRefused +
                QStringLiteral(", dup EPERM, dup2 EPERM, copy below EPERM, copy "
                               "above allowed, stdin empty, stat ") +
                (emptyRoot ? QStringLiteral("ENOENT") : QStringLiteral("allowed")) +
                QStringLiteral(", direct EPERM, raise cpu EPERM, raise memory EPERM, fork EPERM, "
                               "unshare EPERM, secret absent, pid ")),
            qPrintable(said));
        const pid_t pid = pid_t(said.section(QStringLiteral("pid "), 1).toInt());
        QVERIFY(sources_->extractor().runningHelpers() == std::vector<pid_t>{pid});
        // Forked from the zygote, with a hard limit of its own far below the zygote's.
        QCOMPARE(statusLine(pid, "PPid"), QString::number(theZygote()));
        QFile limits(QStringLiteral("/proc/%1/limits").arg(pid));
        QVERIFY(limits.open(QIODevice::ReadOnly));
        const QString table = QString::fromLatin1(limits.readAll());
        QVERIFY2(QRegularExpression(QStringLiteral("Max cpu time +\\d+ +300 +seconds"))
                     .match(table)
                     .hasMatch(),
                 qPrintable(table));
        QCOMPARE(statusLine(pid, "NoNewPrivs"), QStringLiteral("1"));
        QCOMPARE(statusLine(pid, "Seccomp"), QStringLiteral("2"));
        QCOMPARE(statusLine(pid, "CapEff"), QStringLiteral("0000000000000000"));
    }

    // A taken-over helper's text reaches no terminal and no strict parser: control characters
    // but tab, CR and LF, and a lone surrogate, become U+FFFD; the emoji's pair stays whole.
    void hostileTextIsCleanedOnTheWayIn() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("hostile.jpg"));
        writeFault(path, "hostile");
        sources_ = useHelpers();
        const QString cleaned = QStringLiteral("a\uFFFD[31mb\uFFFD\tc\r\n\uFFFD\uFFFD\uFFFDd") +
                                QString::fromUcs4(U"\U0001F600");
        QCOMPARE(DetailColumns(QFile::encodeName(path), *sources_).value(Comments), cleaned);
        // Clean text is not copied or changed.
        QString plain = QStringLiteral("Kodak EasyShare \u05D0");
        const QChar* before = plain.constData();
        details::cleanText(plain);
        QCOMPARE(plain.constData(), before);
        QString lowFirst = QString(QChar(0xdc00)) + QChar(0xd800);
        details::cleanText(lowFirst);
        QCOMPARE(lowFirst, QStringLiteral("\uFFFD\uFFFD"));
    }

    // Many reading threads under a low limit of open files: the groups they hold open shrink to
    // fit, and no file goes unread for want of a descriptor.
    void manyThreadsStayWithinTheDescriptorLimit() {
        QTemporaryDir dir;
        constexpr int Photos = 120;
        QStringList expected;
        for (int i = 0; i < Photos; ++i) {
            const QString name = QStringLiteral("%1.jpg").arg(i, 3, 10, QChar(u'0'));
            writeKodakPhoto(dir.filePath(name));
            expected.append(name + QStringLiteral("\t[Camera maker] Kodak"));
        }
        rlimit before{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &before), 0);
        rlimit low = before;
        low.rlim_cur = std::min<rlim_t>(before.rlim_max, 128);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &before); });
        sources_ = useHelpers(std::chrono::milliseconds(5000), details::MaxBatchFiles);
        QCOMPARE(searchKodak(sources_, dir.path(), 8), expected);
        QCOMPARE(sources_->extractor().readingNotice().notRead, quint64(0));
    }

    // Killed or stopped from outside in the middle of a search: the file in flight is read again
    // in a fresh helper, so the search lists what an undisturbed one lists and reports nothing.
    void aSearchGoesOnAfterAHelperIsKilled_data() {
        QTest::addColumn<int>("signal");
        QTest::addRow("SIGSEGV") << int(SIGSEGV);
        QTest::addRow("SIGSTOP") << int(SIGSTOP);
    }
    void aSearchGoesOnAfterAHelperIsKilled() {
        QFETCH(int, signal);
        QTemporaryDir dir;
        writeKodakPhotosAmongSlowFiles(dir);
        sources_ = useHelpers(std::chrono::milliseconds(2000));
        const QStringList undisturbed = searchKodak(sources_, dir.path(), 2);
        QCOMPARE(undisturbed.size(), 12);
        // A search's helpers end with it: the next search's readers start their own.
        QTRY_VERIFY(sources_->extractor().runningHelpers().empty());

        sources_->cache().clear();
        FaultLog log(sources_);
        pid_t victim = -1;
        const QStringList disturbed = searchKodak(sources_, dir.path(), 2, [&] {
            const std::vector<pid_t> helpers = sources_->extractor().runningHelpers();
            if (victim < 0 && !helpers.empty() && pastItsStart(helpers.front())) {
                victim = helpers.front();
                ::kill(victim, signal);
            }
        });
        QVERIFY(victim > 0);
        QCOMPARE(log.faults().size(), 0);
        QCOMPARE(disturbed, undisturbed);
        QVERIFY(sources_->extractor().runningHelpers().empty());
    }

    // A photo goes to the lean helper, which maps no FFmpeg, and a video and an MP4 song to the
    // whole one, each zygote serving its own in the same search. Without the lean helper the
    // whole one reads them all.
    void eachFamilyMeetsTheHelperThatHasItsLibraries() {
        QTemporaryDir dir;
        writeKodakPhoto(dir.filePath(QStringLiteral("photo.jpg")));
        fixtures::Tags tags;
        tags.artist = QStringLiteral("Kodak");
        fixtures::writeMedia(fixtures::Kind::Mp4, dir.filePath(QStringLiteral("clip.mp4")), tags);
        fixtures::writeMedia(fixtures::Kind::M4a, dir.filePath(QStringLiteral("song.m4a")), tags);
        const auto mapsFfmpeg = [](pid_t pid) {
            QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
            return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libavformat");
        };
        for (const bool lean : {true, false}) {
            DetailSources::Setup setup;
            setup.reading.program = QByteArrayLiteral(QUILLMERE_EXTRACT);
            setup.reading.leanProgram = lean ? QByteArrayLiteral(QUILLMERE_EXTRACT_LEAN)
                                             : QFile::encodeName(dir.filePath("not-installed"));
            sources_ = std::make_shared<DetailSources>(std::move(setup));
            FaultLog log(sources_);
            const QStringList rows = searchKodak(sources_, dir.path(), 2);
            QCOMPARE(rows.size(), 3);
            QCOMPARE(log.faults().size(), 0);
            const std::vector<pid_t> zygotes = Extractor::runningZygotes();
            QCOMPARE(zygotes.size(), lean ? size_t(2) : size_t(1));
            QCOMPARE(size_t(std::count_if(zygotes.begin(), zygotes.end(), mapsFfmpeg)), size_t(1));
        }
    }

    // A helper program that cannot start is tried once for the files that need it together, not
    // once when asked for ahead and again by the thread that waited for that try: a try may take
    // the whole start-up deadline. The photos are left unread, and a name still matches.
    void aHelperThatCannotStartIsTriedOnce() {
        QTemporaryDir dir;
        const QString broken = dir.filePath(QStringLiteral("broken"));
        QVERIFY(writeProgram(broken, "#!/bin/sh\necho x >> \"$0.tries\"\nexit 3\n"));
        const QString files = dir.filePath(QStringLiteral("files"));
        QVERIFY(QDir().mkpath(files));
        writeKodakPhoto(files + QStringLiteral("/a.jpg"));
        writeKodakPhoto(files + QStringLiteral("/b Kodak.jpg"));
        DetailSources::Setup setup;
        setup.reading.program = QFile::encodeName(broken);
        setup.reading.leanProgram = QFile::encodeName(broken);
        sources_ = std::make_shared<DetailSources>(std::move(setup));
        ZygoteKeeper::instance().retire();
        const QStringList rows = searchKodak(sources_, files, 1);
        QCOMPARE(rows, QStringList{QStringLiteral("b Kodak.jpg\t[Name] b Kodak.jpg")});
        QFile tries(broken + QStringLiteral(".tries"));
        QVERIFY(tries.open(QIODevice::ReadOnly));
        QCOMPARE(tries.readAll(), QByteArray("x\n"));
    }

    // The whole helper cannot start (an FFmpeg library gone in an upgrade): a photo met after a
    // song for it is still read by the lean helper, and only the song is left unread.
    void aWholeHelperThatCannotStartHoldsUpNoPhoto() {
        QTemporaryDir dir;
        const QString broken = dir.filePath(QStringLiteral("whole"));
        QVERIFY(writeProgram(broken, "#!/bin/sh\nexit 127\n"));
        const QString files = dir.filePath(QStringLiteral("files"));
        QVERIFY(QDir().mkpath(files));
        fixtures::Tags tags;
        tags.artist = QStringLiteral("Kodak");
        fixtures::writeMedia(fixtures::Kind::M4a, files + QStringLiteral("/a.m4a"), tags);
        writeKodakPhoto(files + QStringLiteral("/b.jpg"));
        DetailSources::Setup setup;
        setup.reading.program = QFile::encodeName(broken);
        setup.reading.leanProgram = QByteArrayLiteral(QUILLMERE_EXTRACT_LEAN);
        sources_ = std::make_shared<DetailSources>(std::move(setup));
        const quint64 before = sources_->extractor().readingNotice().notRead;
        const QStringList rows = searchKodak(sources_, files, 1);
        QCOMPARE(rows.size(), 1);
        QVERIFY2(rows.front().startsWith(QStringLiteral("b.jpg\t")), qPrintable(rows.front()));
        QCOMPARE(sources_->extractor().readingNotice().notRead - before, quint64(1));
    }

    // Two zygotes asked for together load side by side, also when the second is asked for while
    // the first is loading already: each stand-in waits up to ten seconds for the other to begin,
    // which one started only after the other had given up never sees. Each then ends without a
    // word, which the caller hears as its failure, not as a hang.
    void zygotesAskedForTogetherStartSideBySide() {
        ZygoteKeeper::instance().retire();
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("first"));
        const QString second = dir.filePath(QStringLiteral("second"));
        for (const auto& [self, other] : {std::pair(first, second), std::pair(second, first)}) {
            const QByteArray script = "#!/bin/sh\n[ -e \"$0.began\" ] && exit 3\n: > \"$0.began\"\n"
                                      "for i in $(/usr/bin/seq 100); do\n  if [ -e \"" +
                                      QFile::encodeName(other) +
                                      ".began\" ]; then : > \"$0.saw\"; exit 3; fi\n"
                                      "  /bin/sleep 0.1\ndone\nexit 3\n";
            QVERIFY(writeProgram(self, script));
        }
        const std::vector<std::string> arguments{"--zygote"};
        const std::chrono::milliseconds deadline(30000);
        ZygoteKeeper& keeper = ZygoteKeeper::instance();
        keeper.startAhead(QFile::encodeName(first), arguments, deadline);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(first + QStringLiteral(".began")), 5000);
        keeper.startAhead(QFile::encodeName(second), arguments, deadline);
        for (const QString& program : {first, second}) {
            QString failure;
            QVERIFY(!keeper.zygote(QFile::encodeName(program), arguments, deadline, failure));
            QVERIFY2(failure.contains(QStringLiteral("exit code 3")), qPrintable(failure));
            QVERIFY2(QFile::exists(program + QStringLiteral(".saw")), qPrintable(program));
        }
        keeper.retire();
    }

    // The zygote killed in the middle of a search: its helpers die with it, a new one is started,
    // and the files in flight are read again, so the search lists what an undisturbed one lists.
    void aSearchSurvivesItsZygoteDying() {
        QTemporaryDir dir;
        writeKodakPhotosAmongSlowFiles(dir);
        sources_ = useHelpers(std::chrono::milliseconds(2000));
        const QStringList undisturbed = searchKodak(sources_, dir.path(), 2);
        QCOMPARE(undisturbed.size(), 12);

        sources_->cache().clear();
        FaultLog log(sources_);
        pid_t victim = -1;
        const QStringList disturbed = searchKodak(sources_, dir.path(), 2, [&] {
            if (victim < 0 && !sources_->extractor().runningHelpers().empty()) {
                victim = theZygote();
                ::kill(victim, SIGKILL);
            }
        });
        QVERIFY(victim > 0);
        QCOMPARE(disturbed, undisturbed);
        QCOMPARE(log.faults().size(), 0);
        QVERIFY(theZygote() > 0);
        QVERIFY(theZygote() != victim);
    }

    // A zygote taken over could name another process of the user as the helper it forked, for
    // the engine to kill when that helper is done, or send descriptors: no helper is taken from
    // it, and the other process lives on.
    void aLyingZygoteGivesNoHelper_data() {
        QTest::addColumn<QByteArray>("fault"); // %1: a process that is not the zygote's child
        QTest::addColumn<QString>("cause");
        QTest::addRow("names another process")
            << QByteArray("names %1") << QStringLiteral("named a process it did not fork");
        QTest::addRow("attaches a descriptor")
            << QByteArray("attaches") << QStringLiteral("gave an answer that makes no sense");
    }
    void aLyingZygoteGivesNoHelper() {
        QFETCH(QByteArray, fault);
        QFETCH(QString, cause);
        pid_t stranger = -1;
        char* const arguments[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
        QCOMPARE(::posix_spawn(&stranger, "/bin/sleep", nullptr, nullptr, arguments, environ), 0);
        const auto endStranger = qScopeGuard([stranger] {
            ::kill(stranger, SIGKILL);
            ::waitpid(stranger, nullptr, 0);
        });
        QTemporaryDir dir;
        const QString program = dir.filePath(QStringLiteral("quillmere-extract"));
        QVERIFY(QFile::link(QStringLiteral(QUILLMERE_EXTRACT_FAULTY), program));
        QVERIFY(writeBytes(program + QStringLiteral(".zygote"),
                           fault.replace("%1", QByteArray::number(stranger))));
        const QString path = dir.filePath(QStringLiteral("a.jpg"));
        writeFault(path, "w");
        const app::fs::RegularFile file(QFile::encodeName(path));
        HelperLimits limits;
        limits.spareHelpers = 0;
        HelperProcess helper(QFile::encodeName(program), limits);
        const HelperProcess::File one{0, file.fd(), file.size()};
        const HelperProcess::Outcome outcome =
            helper.read({&one, 1}, [](size_t, details::Answer&) {});
        helper.retire();
        ZygoteKeeper::instance().retire();
        QCOMPARE(int(outcome.kind), int(HelperProcess::Outcome::Kind::NotStarted));
        QVERIFY2(outcome.failure.contains(cause), qPrintable(outcome.failure));
        QCOMPARE(::waitpid(stranger, nullptr, WNOHANG), 0);
    }

    // An engine killed outright takes its zygote and every helper with it, even helpers busy in
    // a parser that would never look at their socket again.
    void killingTheEngineLeavesNoHelper() {
        QTemporaryDir dir;
        const QString cli = dir.filePath(QStringLiteral("quillmere-cli"));
        QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_CLI), cli));
        QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_EXTRACT_FAULTY),
                            dir.filePath(QStringLiteral("quillmere-extract"))));
        QDir().mkpath(dir.filePath(QStringLiteral("tree")));
        for (int i = 0; i < 4; ++i)
            writeFault(dir.filePath(QStringLiteral("tree/%1.jpg").arg(i)), "hang");
        QProcess engine;
        engine.start(cli, {QStringLiteral("find"), QStringLiteral("Kodak"),
                           dir.filePath(QStringLiteral("tree"))});
        QVERIFY(engine.waitForStarted());
        std::vector<pid_t> zygotes, helpers;
        const auto findThem = [&] {
            zygotes = childrenOf(pid_t(engine.processId()));
            helpers.clear();
            for (pid_t zygote : zygotes) {
                for (pid_t helper : childrenOf(zygote))
                    helpers.push_back(helper);
            }
            return !helpers.empty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(findThem(), 30000);
        QTest::qWait(200); // spinning by now
        ::kill(pid_t(engine.processId()), SIGKILL);
        QVERIFY(engine.waitForFinished(5000));
        QTest::qWait(1000);
        for (pid_t pid : zygotes)
            QVERIFY2(hasEnded(pid), qPrintable(statusLine(pid, "State")));
        for (pid_t pid : helpers)
            QVERIFY2(hasEnded(pid), qPrintable(statusLine(pid, "State")));
    }

    // A helper that stops answering, answers out of turn and then stops reading, or promises a
    // frame past the bounds is killed within the deadline and replaced; the file in flight is
    // tried once more alone, and the search lists what an undisturbed one lists.
    void aStuckHelperIsReplaced_data() {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<QString>("cause"); // empty: the retry reads the file, nothing is reported
        QTest::addRow("never answers") << QByteArray("stall") << "took longer than 1 s";
        QTest::addRow("answers ahead, then stops reading") << QByteArray("ahead") << QString();
        QTest::addRow("a frame past the bound")
            << QByteArray("hugeframe") << "gave an answer that makes no sense";
    }
    void aStuckHelperIsReplaced() {
        QFETCH(QByteArray, fault);
        QFETCH(QString, cause);
        QTemporaryDir dir;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        writeFault(dir.filePath(QStringLiteral("m.jpg")), fault);
        // Enough requests after it to fill the socket of a helper that reads no more.
        for (int i = 0; i < 600; ++i)
            QVERIFY(writeBytes(dir.filePath(QStringLiteral("n%1.jpg").arg(i, 4, 10, QChar(u'0'))),
                               "not a photo"));
        writeKodakPhoto(dir.filePath(QStringLiteral("z.jpg")));
        sources_ = useHelpers(std::chrono::milliseconds(1000));
        QCOMPARE(DetailColumns(QFile::encodeName(dir.filePath(QStringLiteral("a.jpg"))), *sources_)
                     .value(32),
                 QStringLiteral("Kodak"));
        const std::vector<pid_t> before = sources_->extractor().runningHelpers();
        QCOMPARE(before.size(), std::size_t(1));
        sources_->cache().clear();
        FaultLog log(sources_);
        QElapsedTimer timer;
        timer.start();
        // The helpers at work while the search runs; it retires the last one at its end.
        std::vector<pid_t> after;
        QCOMPARE(searchKodak(sources_, dir.path(), 0,
                             [&after, this] {
                                 const std::vector<pid_t> now =
                                     sources_->extractor().runningHelpers();
                                 if (!now.empty())
                                     after = now;
                             }),
                 QStringList({QStringLiteral("a.jpg\t[Camera maker] Kodak"),
                              QStringLiteral("z.jpg\t[Camera maker] Kodak")}));
        // Within the deadlines of the two tries, with room for a busy machine.
        QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
        const QList<Fault> faults = log.faults();
        if (cause.isEmpty()) {
            QCOMPARE(faults.size(), 0);
        } else {
            QCOMPARE(faults.size(), 1);
            QCOMPARE(faults[0].name, QStringLiteral("m.jpg"));
            QVERIFY2(faults[0].cause.contains(cause), qPrintable(faults[0].cause));
        }
        QCOMPARE(after.size(), std::size_t(1));
        QVERIFY(after != before);
        QVERIFY(sources_->extractor().runningHelpers().empty());
    }

    // A helper bound to its batch: one that answers for a file outside the batch, answers a file
    // twice or answers for another batch is killed; one that dies in the middle of a batch leaves
    // the rest to a fresh helper. Either way the search lists what an undisturbed one lists.
    void aHelperIsHeldToItsBatch_data() {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<bool>("reported"); // the faulty file is reported, not the file after it
        QTest::addRow("a file outside the batch") << QByteArray("outside") << true;
        QTest::addRow("another batch") << QByteArray("otherbatch") << true;
        QTest::addRow("the same file twice") << QByteArray("twice") << false;
        QTest::addRow("dies in the middle") << QByteArray("dies next") << false;
    }
    void aHelperIsHeldToItsBatch() {
        QFETCH(QByteArray, fault);
        QFETCH(bool, reported);
        QTemporaryDir dir;
        QStringList undisturbed;
        for (int i = 0; i < 40; ++i) {
            const QString name = QStringLiteral("p%1.jpg").arg(i, 2, 10, QChar(u'0'));
            writeKodakPhoto(dir.filePath(name));
            undisturbed << name + QStringLiteral("\t[Camera maker] Kodak");
        }
        writeFault(dir.filePath(QStringLiteral("p05 m.jpg")), fault);
        sources_ = useHelpers();
        FaultLog log(sources_);
        // One worker: the files go to its helper in batches of many, the fault among them.
        QCOMPARE(searchKodak(sources_, dir.path(), 1), undisturbed);
        const QList<Fault> faults = log.faults();
        if (reported) {
            QCOMPARE(faults.size(), 1);
            QCOMPARE(faults[0].name, QStringLiteral("p05 m.jpg"));
            QVERIFY2(faults[0].cause.contains(QStringLiteral("makes no sense")),
                     qPrintable(faults[0].cause));
        } else {
            QCOMPARE(faults.size(), 0);
        }
    }

    // A whole batch in one request: 250 descriptors arrive, and each answer belongs to its file.
    void aBatchOfTheMostFilesArrivesWhole() {
        QTemporaryDir dir;
        std::vector<std::unique_ptr<app::fs::RegularFile>> opened;
        std::vector<extraction::HelperProcess::File> files;
        for (int i = 0; i < details::MaxBatchFiles; ++i) {
            const QString path = dir.filePath(QStringLiteral("f%1.jpg").arg(i));
            writeFault(path, "w" + QByteArray::number(i));
            opened.push_back(std::make_unique<app::fs::RegularFile>(QFile::encodeName(path)));
            QVERIFY(opened.back()->isOpen());
            files.push_back({0, opened.back()->fd(), opened.back()->size()});
        }
        extraction::HelperLimits limits;
        extraction::HelperProcess helper(QByteArrayLiteral(QUILLMERE_EXTRACT_FAULTY), limits);
        QStringList said;
        const auto outcome = helper.read(files, [&](size_t index, details::Answer& answer) {
            said << QString::number(index) + u' ' + answer.values[Comments - column::FirstEmbedded];
        });
        QCOMPARE(int(outcome.kind), int(extraction::HelperProcess::Outcome::Kind::Whole));
        QCOMPARE(said.size(), details::MaxBatchFiles);
        for (int i = 0; i < details::MaxBatchFiles; ++i)
            QCOMPARE(said[i], QStringLiteral("%1 w%1").arg(i));
        // The next batch goes to the same helper.
        said.clear();
        QCOMPARE(int(helper
                         .read(std::span(files).first(1),
                               [&](size_t, details::Answer& answer) {
                                   said << answer.values[Comments - column::FirstEmbedded];
                               })
                         .kind),
                 int(extraction::HelperProcess::Outcome::Kind::Whole));
        QCOMPARE(said, QStringList{QStringLiteral("w0")});
    }

    // The engine's end never waits without end: not for a peer that stops reading, nor for one
    // that stops in the middle of a frame; a frame past the bound is refused before it is read.
    void theChannelKeepsItsDeadlines() {
        int ends[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        const auto closeBoth = qScopeGuard([&] {
            ::close(ends[0]);
            ::close(ends[1]);
        });
        details::Channel engine(ends[0]);
        const QByteArray frame(64 * 1024, 'x');
        const auto timeout = std::chrono::milliseconds(100);
        details::Channel::Sent sent = details::Channel::Sent::Whole;
        for (int i = 0; i < 1000 && sent == details::Channel::Sent::Whole; ++i)
            sent = engine.send(frame, {}, timeout);
        QCOMPARE(int(sent), int(details::Channel::Sent::TimedOut));

        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const auto closePair = qScopeGuard([&] { ::close(pair[0]); });
        details::Channel receiving(pair[0]);
        QByteArray payload;
        QCOMPARE(receiving.receive(payload, timeout), details::Channel::Received::TimedOut);
        const quint32 promised = 100;
        QCOMPARE(::write(pair[1], &promised, sizeof promised), ssize_t(sizeof promised));
        QCOMPARE(::write(pair[1], "0123456789", 10), ssize_t(10));
        QCOMPARE(receiving.receive(payload, timeout), details::Channel::Received::TimedOut);
        // The engine gives up a helper whose frame timed out; here the stream goes on with the
        // next header, one past the bound.
        const quint32 huge = details::MaxFrameBytes + 1;
        QCOMPARE(::write(pair[1], &huge, sizeof huge), ssize_t(sizeof huge));
        QCOMPARE(receiving.receive(payload, timeout), details::Channel::Received::Broken);
        ::close(pair[1]);
        QCOMPARE(receiving.receive(payload, timeout), details::Channel::Received::Closed);

        // Descriptors arrive in the order sent, and only where they are asked for.
        int fds[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        const auto closeFds = qScopeGuard([&] {
            ::close(fds[0]);
            ::close(fds[1]);
        });
        details::Channel sender(fds[0]);
        details::Channel receiver(fds[1]);
        const int sent2[] = {STDIN_FILENO, fds[0]};
        QCOMPARE(sender.send("two", sent2, timeout), details::Channel::Sent::Whole);
        std::vector<int> got;
        QCOMPARE(receiver.receive(payload, timeout, &got), details::Channel::Received::Frame);
        QCOMPARE(got.size(), std::size_t(2));
        struct stat first {
        }, second{}, socketEnd{};
        QCOMPARE(::fstat(got[0], &first), 0);
        QCOMPARE(::fstat(got[1], &second), 0);
        QCOMPARE(::fstat(fds[0], &socketEnd), 0);
        QVERIFY(S_ISSOCK(second.st_mode) && second.st_ino == socketEnd.st_ino);
        QVERIFY(!S_ISSOCK(first.st_mode));
        for (const int fd : got)
            ::close(fd);
        QCOMPARE(sender.send("two", sent2, timeout), details::Channel::Sent::Whole);
        QCOMPARE(receiver.receive(payload, timeout), details::Channel::Received::Broken);
    }

    // The engine's inbox takes what came in one read and hands it out frame by frame: frames
    // split anywhere and many in one read arrive whole and in order, what follows a frame waits
    // for the next call, and it breaks on what the channel breaks on.
    void theInboxHandsOutWholeFramesInOrder() {
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const auto closeOurs = qScopeGuard([&] { ::close(pair[0]); });
        const auto timeout = std::chrono::milliseconds(100);
        QByteArray stream;
        std::vector<QByteArray> sent;
        for (int i = 0; i < 40; ++i) {
            // Sizes around the inbox's own read size, so frames straddle its reads.
            const QByteArray payload(qsizetype(i % 7 == 3 ? 70000 + i : i * 13 + 1), char('a' + i));
            const quint32 length = quint32(payload.size());
            stream.append(reinterpret_cast<const char*>(&length), sizeof length).append(payload);
            sent.push_back(payload);
        }
        details::FrameInbox inbox;
        QByteArrayView got;
        QCOMPARE(inbox.next(pair[0], got, timeout), details::Channel::Received::TimedOut);
        // Written in odd pieces while frames are taken, so reads end inside headers and payloads.
        qsizetype written = 0;
        size_t taken = 0;
        for (qsizetype piece = 5; written < stream.size(); piece = piece * 3 + 1) {
            const qsizetype bytes = std::min(piece % 90001, stream.size() - written);
            QCOMPARE(::write(pair[1], stream.constData() + written, size_t(bytes)), ssize_t(bytes));
            written += bytes;
            while (taken < sent.size() && inbox.next(pair[0], got, std::chrono::milliseconds(1)) ==
                                              details::Channel::Received::Frame)
                QCOMPARE(got.toByteArray(), sent[taken++]);
        }
        QCOMPARE(taken, sent.size());
        // The room a large frame took is given back once the frame was taken.
        const QByteArray large(600'000, 'z');
        const quint32 largeLength = quint32(large.size());
        std::thread writer([&] {
            (void)::write(pair[1], &largeLength, sizeof largeLength);
            for (qsizetype at = 0; at < large.size();) {
                const ssize_t n =
                    ::write(pair[1], large.constData() + at, size_t(large.size() - at));
                if (n <= 0)
                    break;
                at += n;
            }
        });
        const details::Channel::Received largeGot = inbox.next(pair[0], got, timeout * 50);
        writer.join();
        QCOMPARE(largeGot, details::Channel::Received::Frame);
        QCOMPARE(got.toByteArray(), large);
        QVERIFY(inbox.roomBytes() >= size_t(large.size()));
        inbox.shrink();
        QVERIFY(inbox.roomBytes() < size_t(large.size()));
        // A frame cut short by the end of the stream is broken; an end between frames is closed.
        const quint32 promised = 100;
        QCOMPARE(::write(pair[1], &promised, sizeof promised), ssize_t(sizeof promised));
        QCOMPARE(::write(pair[1], "0123456789", 10), ssize_t(10));
        QCOMPARE(inbox.next(pair[0], got, timeout), details::Channel::Received::TimedOut);
        ::close(pair[1]);
        QCOMPARE(inbox.next(pair[0], got, timeout), details::Channel::Received::Broken);
        inbox.clear();
        QCOMPARE(inbox.next(pair[0], got, timeout), details::Channel::Received::Closed);

        // One past the bound, and descriptors, break it; the descriptors are not kept.
        int other[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
        const auto closeOther = qScopeGuard([&] {
            ::close(other[0]);
            ::close(other[1]);
        });
        details::FrameInbox fresh;
        const quint32 huge = details::MaxFrameBytes + 1;
        QCOMPARE(::write(other[1], &huge, sizeof huge), ssize_t(sizeof huge));
        QCOMPARE(fresh.next(other[0], got, timeout), details::Channel::Received::Broken);
        fresh.clear();
        struct stat before {};
        const int probe = ::dup(STDIN_FILENO);
        QVERIFY(probe >= 0);
        ::close(probe); // the lowest free number: where a received descriptor would land
        // As many as one message carries, to the inbox and to a receive that wants none (a
        // Ready): none is ever taken into this process's table.
        const std::vector<int> attached(size_t(details::MaxAttached), STDIN_FILENO);
        QCOMPARE(details::Channel(other[1]).send("fd", attached, timeout),
                 details::Channel::Sent::Whole);
        QCOMPARE(fresh.next(other[0], got, timeout), details::Channel::Received::Broken);
        QCOMPARE(::fstat(probe, &before), -1);
        QByteArray ready;
        QCOMPARE(details::Channel(other[1]).send(details::encodeReady(), attached, timeout),
                 details::Channel::Sent::Whole);
        QCOMPARE(details::Channel(other[0]).receive(ready, timeout),
                 details::Channel::Received::Broken);
        QCOMPARE(::fstat(probe, &before), -1);
    }

    // A helper that does not die when killed is abandoned after the reap deadline.
    void aChildThatDoesNotEndIsNotWaitedFor() {
        pid_t pid = -1;
        char* const arguments[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
        QCOMPARE(::posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, arguments, environ), 0);
        int status = 0;
        QVERIFY(!extraction::reapWithin(pid, std::chrono::milliseconds(50), status));
        ::kill(pid, SIGKILL);
        QVERIFY(extraction::reapWithin(pid, std::chrono::milliseconds(10000), status));
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }

    // Each value at most 32,768 UTF-16 code units and one file's values at most 1 MiB, cut
    // between characters, whether the helper cut them or a hostile one sent more.
    void valuesAreCutToTheBounds() {
        QTemporaryDir dir;
        const QString huge = dir.filePath(QStringLiteral("huge.jpg"));
        writeFault(huge, "huge");
        sources_ = useHelpers();
        FaultLog log(sources_);
        DetailColumns details(QFile::encodeName(huge), *sources_);
        qsizetype total = 0;
        QList<qsizetype> sizes;
        for (int c = column::FirstEmbedded; c < column::Count; ++c) {
            const QString value = details.value(c);
            sizes << value.size();
            total += value.size();
            QVERIFY(value.isEmpty() || !value.back().isHighSurrogate());
        }
        // A pair straddled the value bound: the value ends before it.
        QCOMPARE(sizes[0], details::MaxValueUnits - 1);
        QVERIFY(total <= details::MaxAnswerUnits);
        QVERIFY(total > details::MaxAnswerUnits - details::MaxValueUnits);
        QCOMPARE(sizes.back(), 0);
        QVERIFY(log.faults().isEmpty());

        // Built by hand past the bound, as a taken-over helper would send it.
        QByteArray payload;
        payload.append(char(details::FrameKind::Answer)).append(char(1));
        payload.append(QByteArray(6, '\0')); // batch 0, index 0
        QString value(40'000, u'y');
        value[details::MaxValueUnits - 1] = QChar(0xD83D);
        value[details::MaxValueUnits] = QChar(0xDE00);
        const quint32 units = quint32(value.size());
        payload.append(char(Comments));
        payload.append(reinterpret_cast<const char*>(&units), sizeof units);
        payload.append(reinterpret_cast<const char*>(value.constData()), value.size() * 2);
        details::Answer answer;
        QVERIFY(details::decodeAnswer(payload, answer));
        QCOMPARE(answer.values[Comments - column::FirstEmbedded],
                 value.left(details::MaxValueUnits - 1));
    }

    // A reader that crashes stays remembered as a file without details; one that ran out of
    // time, or was killed from outside, is read again by the next process.
    void theStoreForgetsFaultsOfTime_data() {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<bool>("killFromOutside");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<bool>("remembered");
        QTest::addRow("crash") << QByteArray("crash") << false << Crashed << true;
        QTest::addRow("time-out") << QByteArray("stall") << false << "took longer than" << false;
        QTest::addRow("killed from outside")
            << QByteArray("stall") << true << "the reader was killed" << false;
    }
    void theStoreForgetsFaultsOfTime() {
        QFETCH(QByteArray, fault);
        QFETCH(bool, killFromOutside);
        QFETCH(QString, cause);
        QFETCH(bool, remembered);
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        const QByteArray faulty = QFile::encodeName(dir.filePath(QStringLiteral("f.jpg")));
        writeFault(QFile::decodeName(faulty), fault);
        // As the user or the kernel short of memory would: every helper that reads the file, once
        // it said it was ready (a helper that never started would make the readers run here).
        const store::StoreOptions options = storeIn(storeFolder);
        const std::shared_ptr<DetailSources> reading =
            useHelpers(std::chrono::milliseconds(killFromOutside ? 20000 : 500), 0, false,
                       std::make_shared<store::DetailStore>(options));
        sources_ = reading;
        std::atomic<bool> done = false;
        std::thread killer([&] {
            std::vector<pid_t> seen;
            while (killFromOutside && !done) {
                const std::vector<pid_t> now = reading->extractor().runningHelpers();
                for (pid_t pid : now) {
                    if (std::find(seen.begin(), seen.end(), pid) != seen.end())
                        ::kill(pid, SIGKILL);
                }
                seen = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        const auto stopKilling = qScopeGuard([&] {
            done = true;
            killer.join();
        });
        {
            FaultLog log(sources_);
            DetailColumns details(faulty, *sources_);
            QCOMPARE(details.value(Comments), QString());
            QCOMPARE(log.faults().size(), 1);
            QVERIFY2(log.faults()[0].cause.contains(cause), qPrintable(log.faults()[0].cause));
        }
        done = true;
        QVERIFY(reading->writeStore(std::chrono::seconds(10)));
        // A later process; a file it reads again stalls for its short deadline only.
        const auto again = std::make_shared<store::DetailStore>(options);
        sources_ = useHelpers(std::chrono::milliseconds(500), 0, false, again);
        DetailColumns(faulty, *sources_).value(Comments);
        QCOMPARE(again->figures().hits, quint64(remembered ? 1 : 0));
    }

    // The window and the command-line program look for the helper and the reader module beside
    // their real executable. `find --in-process` starts no helper and loads the module; helpers
    // read without it. Without a working helper (or, in process, the module) embedded details
    // are not read, and one line says so for the whole run; reading here is said once too.
    void theHelperIsFoundBesideTheProgram_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("inProcess");
        QTest::addColumn<QByteArray>("said"); // on stderr, the one line; empty: nothing
        const QByteArray notInstalled = "quillmere-cli find: embedded details were not read: the "
                                        "reader helper could not start: quillmere-extract is not "
                                        "installed beside this program\n";
        const QByteArray cannotStart = "quillmere-cli find: embedded details were not read: the "
                                       "reader helper could not start: ";
        const QByteArray here = "quillmere-cli find: the readers ran inside this program, without "
                                "their sandbox (--in-process)\n";
        QTest::addRow("build tree") << "build" << false << QByteArray();
        QTest::addRow("install prefix, through a link") << "prefix" << false << QByteArray();
        QTest::addRow("no helper") << "missing" << false << notInstalled;
        QTest::addRow("no helper, in process") << "missing" << true << here;
        QTest::addRow("a helper that cannot start") << "broken" << false << cannotStart;
        QTest::addRow("a helper that cannot start, in process") << "broken" << true << here;
        QTest::addRow("no reader module") << "no module" << false << QByteArray();
        QTest::addRow("no reader module, in process")
            << "no module" << true
            << QByteArray("quillmere-cli find: embedded details were not read: the readers could "
                          "not be loaded: ");
    }
    void theHelperIsFoundBesideTheProgram() {
        QFETCH(QString, layout);
        QFETCH(bool, inProcess);
        QFETCH(QByteArray, said);
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("tree")));
        writeKodakPhoto(dir.filePath(QStringLiteral("tree/a.jpg")));
        writeKodakPhoto(dir.filePath(QStringLiteral("tree/b.jpg")));
        QVERIFY(writeBytes(dir.filePath(QStringLiteral("tree/Kodak.txt")), ""));
        QString program = QStringLiteral(QUILLMERE_CLI);
        if (layout != QLatin1String("build")) {
            const QString lib = dir.filePath(QStringLiteral("prefix/lib/quillmere"));
            QDir().mkpath(lib);
            QDir().mkpath(dir.filePath(QStringLiteral("prefix/bin")));
            QVERIFY(QFile::copy(program, lib + QStringLiteral("/quillmere-cli")));
            if (layout != QLatin1String("no module"))
                QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_READER_MODULE),
                                    lib + QStringLiteral("/quillmere-readers.so")));
            if (layout == QLatin1String("prefix") || layout == QLatin1String("no module"))
                QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_EXTRACT),
                                    lib + QStringLiteral("/quillmere-extract")));
            if (layout == QLatin1String("broken"))
                QVERIFY(QFile::copy(QStringLiteral("/bin/false"),
                                    lib + QStringLiteral("/quillmere-extract")));
            program = dir.filePath(QStringLiteral("prefix/bin/quillmere-cli"));
            QVERIFY(QFile::link(QStringLiteral("../lib/quillmere/quillmere-cli"), program));
        }
        QStringList arguments = {QStringLiteral("find")};
        if (inProcess)
            arguments << QStringLiteral("--in-process");
        arguments << QStringLiteral("Kodak") << dir.filePath(QStringLiteral("tree"));
        QProcess cli;
        cli.start(program, arguments);
        QVERIFY(cli.waitForFinished(60000));
        const QByteArray errors = cli.readAllStandardError();
        QList<QByteArray> rows = cli.readAllStandardOutput().split('\n');
        std::sort(rows.begin(), rows.end());
        const QByteArray tree = QFile::encodeName(dir.filePath(QStringLiteral("tree")));
        QList<QByteArray> expected = {"", tree + "/Kodak.txt\t[Name] Kodak.txt"};
        if (!said.startsWith("quillmere-cli find: embedded details were not read"))
            expected << tree + "/a.jpg\t[Camera maker] Kodak"
                     << tree + "/b.jpg\t[Camera maker] Kodak";
        QCOMPARE(rows, expected);
        QVERIFY2(errors.count('\n') == (said.isEmpty() ? 0 : 1), errors.constData());
        QVERIFY2(errors.startsWith(said), errors.constData());
        // A list that may be short is not a success: a script must be able to tell.
        const bool unread = said.startsWith("quillmere-cli find: embedded details were not read");
        QCOMPARE(cli.exitCode(), unread ? 1 : 0);
    }

    // A helper's memory stays the same however many files it reads.
    // A helper reads at most a batch's worth of files, if asked all of one folder, and is gone:
    // whatever a file made of it, it cannot answer for the files of a later batch, nor, kept to
    // one folder, of another folder.
    void aHelperServesOneBatchOfOneFolder() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("one")));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("two")));
        QStringList names;
        for (int i = 0; i <= details::MaxBatchFiles; ++i)
            names.append(QStringLiteral("one/%1.jpg").arg(i, 3, 10, QChar(u'0')));
        names.append(QStringLiteral("two/a.jpg"));
        sources_ = useHelpers(std::chrono::milliseconds(5000), details::MaxBatchFiles, true);
        std::vector<DetailColumns> items;
        for (const QString& name : names) {
            writeFault(dir.filePath(name), "probe");
            items.emplace_back(QFile::encodeName(dir.filePath(name)), *sources_);
        }
        readTogether(items);
        const int first = helperOf(items.front());
        QVERIFY(first > 0);
        const size_t last = size_t(details::MaxBatchFiles) - 1;
        QCOMPARE(helperOf(items[last]), first);
        const int past = helperOf(items[last + 1]);
        const int other = helperOf(items.back());
        QVERIFY(past > 0 && past != first);
        QVERIFY(other > 0 && other != first && other != past);

        // Back in the first folder, a helper of its own again.
        sources_->cache().clear();
        DetailColumns again(QFile::encodeName(dir.filePath(names.front())), *sources_);
        const int next = helperOf(again);
        QVERIFY(next > 0 && next != first && next != past && next != other);
    }

    // A replaced helper keeps to one reader family, so that a fresh one touches one family's
    // libraries only. The families of one call read side by side, and a crash in one costs the
    // others nothing.
    void aHelperKeepsToOneFamily() {
        QTemporaryDir dir;
        const QStringList names = {QStringLiteral("0.jpg"), QStringLiteral("1.mp3"),
                                   QStringLiteral("2.jpg"), QStringLiteral("3.mp3"),
                                   QStringLiteral("4.jpg"), QStringLiteral("5.pdf")};
        sources_ = useHelpers(std::chrono::milliseconds(5000), details::MaxBatchFiles);
        FaultLog log(sources_);
        const std::vector<int> pid = helpersReading(dir, names, QStringLiteral("2.jpg"), *sources_);
        QVERIFY(pid[0] > 0 && pid[1] > 0 && pid[5] > 0);
        QCOMPARE(pid[3], pid[1]);
        QVERIFY(pid[1] != pid[0] && pid[5] != pid[0] && pid[5] != pid[1]);
        // The photo after the crash went to a fresh helper, of photos again.
        QVERIFY(pid[4] > 0 && pid[4] != pid[0] && pid[4] != pid[1] && pid[4] != pid[5]);
        const QList<Fault> faults = log.faults();
        QCOMPARE(faults.size(), 1);
        QCOMPARE(faults[0].name, QStringLiteral("2.jpg"));
        QVERIFY2(faults[0].cause.contains(Crashed), qPrintable(faults[0].cause));

        // Later, each family's idle helper serves that family again, whichever was idle last.
        QCOMPARE(helperReading(dir, QStringLiteral("6.mp3"), *sources_), pid[1]);
        QCOMPARE(helperReading(dir, QStringLiteral("7.jpg"), *sources_), pid[4]);
    }

    // With one helper per program, a call's photos, songs and documents go to the lean one in one
    // request, and a video to the whole one beside it. After a crash the file is tried alone and
    // the rest of its batch goes to one fresh helper; the video's batch is not touched.
    void oneHelperPerProgramTakesEveryFamilyItReads() {
        QTemporaryDir dir;
        const QStringList names = {QStringLiteral("0.jpg"), QStringLiteral("1.mp3"),
                                   QStringLiteral("2.jpg"), QStringLiteral("3.pdf"),
                                   QStringLiteral("4.mp4")};
        const QString lean = dir.filePath(QStringLiteral("lean"));
        QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_EXTRACT_FAULTY), lean));
        sources_ = useHelpers(std::chrono::milliseconds(5000), details::MaxBatchFiles, false,
                              nullptr, 10, [&](DetailSources::Setup& setup) {
                                  setup.reading.leanProgram = QFile::encodeName(lean);
                                  setup.reading.limits.helperPerFamily = false;
                              });
        FaultLog log(sources_);
        const std::vector<int> pid = helpersReading(dir, names, QStringLiteral("0.jpg"), *sources_);
        QCOMPARE(pid[0], 0);
        QVERIFY(pid[1] > 0 && pid[4] > 0 && pid[4] != pid[1]);
        QCOMPARE(pid[2], pid[1]);
        QCOMPARE(pid[3], pid[1]);
        const QList<Fault> faults = log.faults();
        QCOMPARE(faults.size(), 1);
        QCOMPARE(faults[0].name, QStringLiteral("0.jpg"));
        QVERIFY2(faults[0].cause.contains(Crashed), qPrintable(faults[0].cause));

        // Later, each program's idle helper serves it again, whichever was idle last.
        QCOMPARE(helperReading(dir, QStringLiteral("5.mp4"), *sources_), pid[4]);
        QCOMPARE(helperReading(dir, QStringLiteral("6.jpg"), *sources_), pid[1]);
    }

    // Helpers replaced at every folder by four threads at once come from spares forked ahead:
    // each serves one folder of one thread, never two.
    void aSpareGoesToOneThreadOnly() {
        constexpr int Threads = 4, Folders = 8, Files = 3;
        QTemporaryDir dir;
        std::vector<std::vector<QString>> folders(Threads * Folders);
        for (size_t f = 0; f < folders.size(); ++f) {
            const QString folder = QStringLiteral("f%1").arg(f);
            QVERIFY(QDir(dir.path()).mkdir(folder));
            for (int i = 0; i < Files; ++i) {
                folders[f].push_back(dir.filePath(folder + QStringLiteral("/%1.jpg").arg(i)));
                writeFault(folders[f].back(), "probe");
            }
        }
        sources_ = useHelpers(std::chrono::milliseconds(5000), details::MaxBatchFiles, true);
        std::mutex mutex;
        std::map<int, std::set<size_t>> foldersOf; // by the helper that answered
        int unanswered = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([&, t] {
                for (int k = 0; k < Folders; ++k) {
                    const size_t f = size_t(t * Folders + k);
                    std::vector<DetailColumns> items;
                    for (const QString& path : folders[f])
                        items.emplace_back(QFile::encodeName(path), *sources_);
                    std::vector<DetailColumns*> all;
                    for (DetailColumns& item : items)
                        all.push_back(&item);
                    DetailColumns::readEmbeddedTogether(all);
                    std::lock_guard lock(mutex);
                    for (DetailColumns& item : items) {
                        const int pid =
                            item.value(Comments).section(QStringLiteral("pid "), 1).toInt();
                        if (pid > 0)
                            foldersOf[pid].insert(f);
                        else
                            ++unanswered;
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(unanswered, 0);
        QCOMPARE(foldersOf.size(), folders.size());
        for (const auto& [pid, seen] : foldersOf)
            QVERIFY2(seen.size() == 1, qPrintable(QStringLiteral("helper %1").arg(pid)));
    }

    // Spares are forked while a search reads and end with it: nothing it started runs on, not
    // even until a spare nobody took would end of its own accord.
    void aSearchLeavesNoSpareBehind() {
        QTemporaryDir dir;
        writeKodakPhotosAmongSlowFiles(dir);
        sources_ = useHelpers(std::chrono::milliseconds(5000), 2);
        std::vector<pid_t> spares;
        const QStringList found = searchKodak(sources_, dir.path(), 2, [&] {
            for (const pid_t pid : Extractor::spareHelpers()) {
                if (std::find(spares.begin(), spares.end(), pid) == spares.end())
                    spares.push_back(pid);
            }
        });
        QCOMPARE(found.size(), 12);
        QVERIFY(!spares.empty());
        QVERIFY(Extractor::spareHelpers().empty());
        const pid_t zygote = theZygote();
        QVERIFY(zygote > 0);
        const auto allEnded = [&] {
            const std::vector<pid_t> children = childrenOf(zygote);
            return std::all_of(spares.begin(), spares.end(), hasEnded) &&
                   std::all_of(children.begin(), children.end(), hasEnded);
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            allEnded(), int(std::chrono::milliseconds(ZygoteKeeper::SpareLife).count() / 2));
    }

    // A spare killed while it waits is not leased: the files read next keep their details, no
    // fault is told, and the killed spare does not stay a zombie.
    void aKilledSpareCostsNoFileItsDetails() {
        QTemporaryDir dir;
        for (int i = 0; i < 6; ++i)
            writeKodakPhoto(dir.filePath(QStringLiteral("%1.jpg").arg(i)));
        sources_ = useHelpers(std::chrono::milliseconds(5000), 1);
        FaultLog log(sources_);
        const auto read = [&](int i) {
            DetailColumns details(QFile::encodeName(dir.filePath(QStringLiteral("%1.jpg").arg(i))),
                                  *sources_);
            return details.value(32);
        };
        QCOMPARE(read(0), QStringLiteral("Kodak"));
        const size_t wanted = size_t(std::max(1, QThread::idealThreadCount()));
        QTRY_COMPARE(Extractor::spareHelpers().size(), wanted);
        const std::vector<pid_t> killed = Extractor::spareHelpers();
        for (const pid_t pid : killed)
            ::kill(pid, SIGKILL);
        QTRY_VERIFY(std::all_of(killed.begin(), killed.end(), hasEnded));
        for (int i = 1; i < 6; ++i)
            QCOMPARE(read(i), QStringLiteral("Kodak"));
        QCOMPARE(log.faults().size(), 0);
        QTRY_VERIFY(std::all_of(killed.begin(), killed.end(),
                                [](pid_t pid) { return statusLine(pid, "State").isEmpty(); }));
    }

    void aHelperStaysFlat() {
        if (sanitizerBuild())
            QSKIP("AddressSanitizer holds freed memory back for a while");
        QTemporaryDir dir;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        sources_ = useHelpers();
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("a.jpg")));
        const auto readMany = [&] {
            for (int i = 0; i < 300; ++i) {
                sources_->cache().clear();
                DetailColumns details(path, *sources_);
                QCOMPARE(details.value(32), QStringLiteral("Kodak"));
            }
        };
        readMany();
        const pid_t pid = sources_->extractor().runningHelpers().front();
        const int before = statusLine(pid, "VmRSS").section(u' ', 0, 0).toInt();
        readMany();
        readMany();
        const int after = statusLine(pid, "VmRSS").section(u' ', 0, 0).toInt();
        QVERIFY2(after - before < 1024,
                 qPrintable(QStringLiteral("%1 kB, then %2 kB").arg(before).arg(after)));
    }

    // A helper that fills every answer to its bound costs this process about one file's details
    // at a time, not a group's: each file is tested as its answer comes, and then let go.
    void answersFilledToTheBoundAreLetGoOneByOne() {
        if (sanitizerBuild())
            QSKIP("AddressSanitizer holds freed memory back for a while");
        QTemporaryDir dir;
        std::vector<QByteArray> paths;
        for (int i = 0; i < 128; ++i) {
            const QString path = dir.filePath(QStringLiteral("%1.jpg").arg(i));
            writeFault(path, "huge");
            paths.push_back(QFile::encodeName(path));
        }
        sources_ = useHelpers();
        const auto peakKilobytes = [] {
            return statusLine(::getpid(), "VmHWM").section(u' ', 0, 0).toInt();
        };
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
            QSKIP("the kernel cannot reset the peak of resident memory");
        clearRefs.close();
        const int before = peakKilobytes();
        int tested = 0;
        testItems(paths, Query{QStringLiteral("absent"), CaseMode::MustAgree}, *sources_,
                  [&](std::vector<ItemAnswer>& answers) { tested += int(answers.size()); });
        QCOMPARE(tested, 128);
        const int grown = peakKilobytes() - before;
        QVERIFY2(grown < 32 * 1024, qPrintable(QStringLiteral("%1 kB more").arg(grown)));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestReaderIsolation)
#include "test_reader_isolation.moc"
