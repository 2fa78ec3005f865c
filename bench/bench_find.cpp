// How long a search of the benchmark tree takes: `quillmere-cli find` next to exiftool answering
// the same question, to the floor and to a stat walk, with its readers in helpers and in process; a
// new process searching a tree that an earlier one searched (the warm start, through the detail
// store); a second search into the same results; and the longest stretch without a message pump
// while one folder of 20,000 files is searched. Prints figures.

#include "bench/bench_support.h"

#include "results/results_model.h"
#include "search/detail_sources.h"
#include "search/extraction/extraction.h"
#include "search/search_folder.h"
#include "window/results_list_rows.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::results;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::search::extraction;
using namespace quillmere::bench;

namespace {

void print(const QString& line) {
    std::printf("%s\n", qPrintable(line));
}

double seconds(const QElapsedTimer& timer) {
    return double(timer.nsecsElapsed()) / 1e9;
}

// Counts rows and measures the gaps between message pumps, as the window would see them.
class TimingObserver : public search::SearchObserver {
public:
    explicit TimingObserver(results::ResultsModel& results) : rows_(results) {}
    bool isAlreadyListed(const QByteArray& nativePath) override {
        return rows_.isAlreadyListed(nativePath);
    }
    void addRows(std::vector<search::FoundRow> rows) override { rows_.addRows(std::move(rows)); }
    void showStatus(const QString&) override {}
    void pumpMessages() override {
        const qint64 now = clock_.nsecsElapsed();
        if (lastPump_ >= 0)
            longestGap_ = std::max(longestGap_, now - lastPump_);
        lastPump_ = now;
    }
    bool stopRequested() override { return false; }
    void reportFailure(const QByteArray& folder, const QString& description) override {
        std::fprintf(stderr, "%s: %s\n", folder.constData(), qPrintable(description));
    }
    void start() {
        clock_.start();
        lastPump_ = 0;
        longestGap_ = 0;
    }
    double longestGapSeconds() {
        pumpMessages();
        return double(longestGap_) / 1e9;
    }

private:
    window::ResultsListRows rows_;
    QElapsedTimer clock_;
    qint64 lastPump_ = -1;
    qint64 longestGap_ = 0;
};

// Every process of the benchmark keeps its detail store here, never in the user's own cache.
QProcessEnvironment benchEnvironment(const QString& cacheHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CACHE_HOME"), cacheHome);
    return env;
}

double timeCliFind(const QString& tree, const QString& phrase, int* rows,
                   const QProcessEnvironment& env, const QStringList& options = {}) {
    QProcess cli;
    cli.setStandardErrorFile(QProcess::nullDevice());
    cli.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    cli.start(QStringLiteral(QUILLMERE_CLI_PATH),
              QStringList{QStringLiteral("find"), QStringLiteral("--ignore-case")} + options +
                  QStringList{phrase, tree});
    QByteArray output;
    while (cli.state() != QProcess::NotRunning || cli.bytesAvailable() > 0) {
        cli.waitForReadyRead(100);
        output += cli.readAllStandardOutput();
    }
    const double taken = seconds(timer);
    *rows = int(output.count('\n'));
    return taken;
}

// `find -printf` over the tree, as a process of its own like the searches.
double timeStatWalk(const QString& tree) {
    QProcess find;
    find.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    find.start(QStringLiteral("find"),
               {tree, QStringLiteral("-printf"), QStringLiteral("%s %T@ %p\n")});
    find.waitForFinished(-1);
    return seconds(timer);
}

// A folder with every file of the tree in it, made of hard links, so one folder holds them all.
QString makeFlatFolder(const std::vector<QByteArray>& entries, QTemporaryDir& home) {
    const QByteArray flat = QFile::encodeName(home.filePath(QStringLiteral("flat")));
    QDir().mkpath(home.filePath(QStringLiteral("flat")));
    int n = 0;
    for (const QByteArray& entry : entries) {
        const QByteArray name = entry.mid(entry.lastIndexOf('/') + 1);
        if (name.contains('.'))
            ::link(entry.constData(),
                   (flat + '/' + QByteArray::number(n++) + ' ' + name).constData());
    }
    return QFile::decodeName(flat);
}

struct ColdSearch {
    double seconds = 0;
    double cpuSeconds = 0; // this process and its helpers, all threads
    QStringList rows;
};

double cpuSecondsUsed() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(who, &usage);
        total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

bool hasChildren() {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(tasks.filePath(task) + QStringLiteral("/children"));
        if (children.open(QIODevice::ReadOnly) && !children.readAll().trimmed().isEmpty())
            return true;
    }
    return false;
}

// A search's zygote ends just after the search, and its processor time, with that of the helpers
// it reaped, reaches this process only once this process reaped it: waited for here, so that it is
// not counted in the next search's figure.
void awaitChildren() {
    QElapsedTimer waited;
    waited.start();
    while (hasChildren() && waited.elapsed() < 5000)
        ::usleep(2000);
}

// A search that reads every file again, with the readers where `isolation` puts them. The
// helpers are stopped afterwards, so that their processor time is counted.
ColdSearch coldSearch(const QString& tree, const search::Query& query,
                      extraction::Isolation isolation,
                      const extraction::HelperLimits& limits = {}) {
    search::DetailSources::Setup setup;
    setup.reading.isolation = isolation;
    setup.reading.limits = limits;
    setup.reading.program = QByteArrayLiteral(QUILLMERE_EXTRACT_PATH);
    setup.reading.leanProgram = QByteArrayLiteral(QUILLMERE_EXTRACT_LEAN_PATH);
    setup.reading.readerModule = QByteArrayLiteral(QUILLMERE_READER_MODULE_PATH);
    setup.cacheLimit = 0;
    search::SearchOptions options;
    options.sources = std::make_shared<search::DetailSources>(std::move(setup));
    ResultsModel results;
    TimingObserver observer(results);
    const double cpuBefore = cpuSecondsUsed();
    QElapsedTimer timer;
    timer.start();
    {
        search::SearchEngine engine(observer, options);
        engine.searchFolder(QFile::encodeName(tree), query, true);
    }
    ColdSearch done;
    done.seconds = seconds(timer);
    options.sources.reset(); // its helpers stop once the engine's workers let go too
    awaitChildren();
    done.cpuSeconds = cpuSecondsUsed() - cpuBefore;
    for (int row = 0; row < results.rowCount(); ++row)
        done.rows << results.row(row).displayPath + u'\t' + results.row(row).label;
    return done;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Readers in process against readers in sandboxed helpers, alternating, five times each; each
// helper search starts its helpers from nothing, as a new process would. Wall time drifts with
// whatever else the machine runs, so processor time is shown too. The helpers run as the program
// runs them (each reads at most a batch's worth of files), and for comparison also kept to one
// folder each, never replaced, and one for each program rather than for each reader family.
void compareIsolation(const QString& tree, const search::Query& query,
                      const QStringList& only = {}) {
    struct Way {
        QString name;
        extraction::Isolation isolation;
        extraction::HelperLimits limits;
        std::vector<double> wall, cpu;
        bool same = true;
    };
    extraction::HelperLimits oneFolder;
    oneFolder.oneFolderPerHelper = true;
    extraction::HelperLimits neverReplaced;
    neverReplaced.filesPerHelper = 0;
    extraction::HelperLimits perProgram;
    perProgram.helperPerFamily = false;
    std::vector<Way> ways = {
        {QStringLiteral("readers in process:           "),
         extraction::Isolation::InProcess,
         {},
         {},
         {}},
        {QStringLiteral("readers in sandboxed helpers: "),
         extraction::Isolation::Helpers,
         {},
         {},
         {}},
        {QStringLiteral("  helpers, one folder each:   "),
         extraction::Isolation::Helpers,
         oneFolder,
         {},
         {}},
        {QStringLiteral("  helpers never replaced:     "),
         extraction::Isolation::Helpers,
         neverReplaced,
         {},
         {}},
        {QStringLiteral("  helpers, one per program:   "),
         extraction::Isolation::Helpers,
         perProgram,
         {},
         {}},
    };
    // Their names for --ways, in the same order.
    const QStringList keys{QStringLiteral("here"), QStringLiteral("helpers"),
                           QStringLiteral("folder"), QStringLiteral("never"),
                           QStringLiteral("program")};
    if (!only.isEmpty()) {
        std::vector<Way> kept;
        for (size_t i = 0; i < ways.size(); ++i) {
            if (only.contains(keys[qsizetype(i)]))
                kept.push_back(std::move(ways[i]));
        }
        ways = std::move(kept);
        if (ways.empty())
            return;
    }
    QStringList rows;
    for (int round = 0; round < 5; ++round) {
        for (Way& way : ways) {
            const ColdSearch done = coldSearch(tree, query, way.isolation, way.limits);
            way.wall.push_back(done.seconds);
            way.cpu.push_back(done.cpuSeconds);
            if (rows.isEmpty())
                rows = done.rows;
            way.same = way.same && done.rows == rows;
        }
    }
    print(QStringLiteral("\nCold search, every file read again (median of 5, alternating):"));
    const double hereWall = median(ways.front().wall);
    const double hereCpu = median(ways.front().cpu);
    for (const Way& way : ways) {
        print(QStringLiteral("  %1 %2 s, processor %3 s; %4 (time), %5 (processor) in process; "
                             "rows %6")
                  .arg(way.name, fixed(median(way.wall), 3), fixed(median(way.cpu), 3),
                       fixed(median(way.wall) / hereWall, 3), fixed(median(way.cpu) / hereCpu, 3),
                       way.same ? QStringLiteral("identical") : QStringLiteral("DIFFER")));
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const BenchOptions options = parseOptions(QCoreApplication::arguments(),
                                              QStringLiteral("Times searches of a mixed tree."));
    const QString tree = options.tree;
    const TreeSummary summary = prepareTree(tree, options.files, 7);
    const std::vector<QByteArray> entries = collectEntries(QFile::encodeName(tree));
    print(QStringLiteral("Tree: %1 (%2 files, %3 entries)")
              .arg(tree)
              .arg(summary.files)
              .arg(entries.size()));
    // Every figure below is taken with the whole tree in the page cache: the floor and the
    // searches alike, so that "cold" means an empty detail store, never a disk read.
    readWholeFiles(entries);

    const QString phrase = QStringLiteral("Kodak");
    if (!options.ways.isEmpty()) {
        compareIsolation(tree, {phrase, search::CaseMode::Ignored}, options.ways);
        return 0;
    }
    // Median of five rounds; in each round every figure is taken once, the searches with and
    // without a store taking turns, so that a busy moment of the machine does not decide the
    // comparison.
    const QStringList noCache{QStringLiteral("--no-cache")};
    const QStringList noCacheHere{QStringLiteral("--no-cache"), QStringLiteral("--in-process")};
    int cliRows = 0, hereRows = 0, storedRows = 0, warmRows = 0;
    std::vector<double> walks, floors, walkFloors, clis, heres, colds, warms;
    const QByteArray root = QFile::encodeName(tree);
    for (int round = 0; round < 5; ++round) {
        QTemporaryDir cacheHome; // an empty store each time
        const QProcessEnvironment env = benchEnvironment(cacheHome.path());
        walks.push_back(timeStatWalk(tree));
        floors.push_back(timeFloor(entries, 2));
        walkFloors.push_back(timeFloorWithWalk(root, 2));
        clis.push_back(timeCliFind(tree, phrase, &cliRows, env, noCache));
        heres.push_back(timeCliFind(tree, phrase, &hereRows, env, noCacheHere));
        colds.push_back(timeCliFind(tree, phrase, &storedRows, env));
        warms.push_back(timeCliFind(tree, phrase, &warmRows, env));
    }
    const double walk = median(walks), floor2 = median(floors), walkFloor = median(walkFloors);
    const double cli = median(clis), cliHere = median(heres), cold = median(colds);
    const double warm = median(warms);
    print(QStringLiteral("Median of 5, whole tree in the page cache:"));
    print(
        QStringLiteral("  stat walk, find -printf:                     %1 s").arg(fixed(walk, 3)));
    print(QStringLiteral("  floor, stat + first 64 KiB, 2 threads:       %1 s (entries known)")
              .arg(fixed(floor2, 3)));
    print(QStringLiteral("  the same listing the folders first:          %1 s")
              .arg(fixed(walkFloor, 3)));
    print(QStringLiteral("  quillmere-cli find --ignore-case %1:      %2 s (%3 rows), --no-cache")
              .arg(phrase)
              .arg(fixed(cli, 3))
              .arg(cliRows));
    print(QStringLiteral("  ratio find / floor:                          %1x (%2x the floor "
                         "listing the folders)")
              .arg(fixed(cli / floor2, 1), fixed(cli / walkFloor, 1)));
    print(QStringLiteral("  the same --in-process:                       %1 s (%2 rows), helpers "
                         "%3x in process")
              .arg(fixed(cliHere, 3))
              .arg(hereRows)
              .arg(fixed(cli / cliHere, 2)));
    print(QStringLiteral("  cold search filling the detail store:        %1 s (%2 rows), %3x "
                         "--no-cache")
              .arg(fixed(cold, 3))
              .arg(storedRows)
              .arg(fixed(cold / cli, 2)));
    print(QStringLiteral("  warm start, a new process after that one:    %1 s (%2 rows), %3x "
                         "the stat walk")
              .arg(fixed(warm, 3))
              .arg(warmRows)
              .arg(fixed(warm / walk, 1)));

    if (options.exiftool) {
        QStringList tops;
        for (const QString& name : QDir(tree).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            tops << QDir(tree).filePath(name);
        int matches = 0;
        const double exif = timeExiftool(tops, phrase, 2, &matches);
        if (exif < 0) {
            print(QStringLiteral("  exiftool is not installed: no comparison."));
        } else {
            print(QStringLiteral("  exiftool -r -if, 2 processes:                %1 s (%2 files)")
                      .arg(fixed(exif))
                      .arg(matches));
            print(QStringLiteral("  ratio exiftool / find:                       %1x")
                      .arg(fixed(exif / cli, 1)));
        }
    }

    const search::Query query{phrase, search::CaseMode::Ignored};
    compareIsolation(tree, query);

    ResultsModel results;
    TimingObserver observer(results);
    // Both engines share one set of sources, as the window's searches do.
    search::SearchOptions shared;
    // In process, as the heading says: sources of the program's own would look for a helper and
    // the reader module beside the benchmark, where there are none, and read nothing.
    search::DetailSources::Setup here;
    here.reading.isolation = extraction::Isolation::InProcess;
    here.reading.readerModule = QByteArrayLiteral(QUILLMERE_READER_MODULE_PATH);
    shared.sources = std::make_shared<search::DetailSources>(std::move(here));
    search::SearchEngine engine(observer, shared);
    QElapsedTimer timer;
    timer.start();
    engine.searchFolder(QFile::encodeName(tree), query, true);
    const double first = seconds(timer);
    const int rowsAfterFirst = results.rowCount();
    timer.restart();
    engine.searchFolder(QFile::encodeName(tree), query, true);
    const double second = seconds(timer);
    print(QStringLiteral("\nIn process, into one results list:"));
    print(QStringLiteral("  first search:   %1 s (%2 rows)")
              .arg(fixed(first, 3))
              .arg(rowsAfterFirst));
    print(QStringLiteral("  second search:  %1 s (%2 rows added), %3 of the first")
              .arg(fixed(second, 3))
              .arg(results.rowCount() - rowsAfterFirst)
              .arg(fixed(second / first, 3)));

    QTemporaryDir home;
    const QString flat = makeFlatFolder(entries, home);
    ResultsModel flatResults;
    TimingObserver flatObserver(flatResults);
    search::SearchEngine flatEngine(flatObserver, shared);
    flatObserver.start();
    timer.restart();
    flatEngine.searchFolder(QFile::encodeName(flat), query, true);
    const double flatSeconds = seconds(timer);
    const double longestGap = flatObserver.longestGapSeconds();
    print(QStringLiteral("\nOne folder of %1 files: searched in %2 s; longest gap between two "
                         "message pumps %3 s")
              .arg(QDir(flat).count() - 2)
              .arg(fixed(flatSeconds, 3))
              .arg(fixed(longestGap, 3)));
    return 0;
}
