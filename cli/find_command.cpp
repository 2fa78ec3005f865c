#include "cli/commands.h"
#include "cli/output.h"

#include "cli/absolute_path.h"
#include "cli/reader_notice.h"
#include "cli/store_stats.h"
#include "search/detail_sources.h"
#include "search/extraction/extraction.h"
#include "search/search_folder.h"
#include "search/store/detail_store.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cstdio>

namespace quillmere::cli {

namespace {

constexpr const char* findUsage =
    "Usage: quillmere-cli find [--ignore-case] [--no-subfolders] [--json] [--no-cache]\n"
    "                          [--cache-stats] [--in-process] PHRASE FOLDER...\n"
    "Lists every item of the folders (and, unless --no-subfolders, of their whole trees) with a\n"
    "detail that holds PHRASE: its path and the matching detail, separated by a tab. Case must\n"
    "agree unless --ignore-case. --json prints one object per line instead.\n"
    "Embedded details read once are remembered in the detail store and read again only when the\n"
    "file changes; --no-cache reads every file and leaves the store alone. --cache-stats writes\n"
    "the store's size and how many files it answered to stderr.\n"
    "--in-process runs the readers in this process instead of in sandboxed helpers, to compare.\n"
    "Without a working helper, embedded details are not read (one line says why).\n"
    "Exits with 1 when a folder could not be searched or embedded details could not be read,\n"
    "so the list may be short, and with 2 when the arguments are wrong.\n";

// A disk that stalls costs at most this; what is not written by then is read again next time.
constexpr std::chrono::seconds kStoreWriteTime{10};

int usageError(const QByteArray& problem) {
    std::fprintf(stderr, "quillmere-cli find: %s\n%s", problem.constData(), findUsage);
    return 2;
}

QByteArray jsonString(const QString& text) {
    const QByteArray array = jsonLine(QJsonDocument(QJsonArray{text}));
    return array.mid(1, array.size() - 2);
}

// Prints each row as it is found; keeps only the paths, for the duplicate test.
class PrintingObserver : public search::SearchObserver {
public:
    PrintingObserver(bool json, Output& output) : json_(json), output_(output) {}

    void showStatus(const QString&) override {}
    void pumpMessages() override {}
    // Once the output cannot be written, the rest of the search would be lost anyway.
    bool stopRequested() override { return output_.failed(); }
    bool isAlreadyListed(const QByteArray& nativePath) override {
        return listed_.contains(nativePath);
    }
    void addRows(std::vector<search::FoundRow> rows) override {
        for (const search::FoundRow& row : rows) {
            listed_.insert(row.nativePath);
            output_.write(json_ ? jsonLine(row) : plainLine(row));
        }
    }
    void reportFailure(const QByteArray& nativePath, const QString& description) override {
        ++failures;
        output_.flush();
        std::fprintf(stderr, "quillmere-cli find: %s: %s\n", escaped(nativePath).constData(),
                     escaped(description).toLocal8Bit().constData());
    }

    int failures = 0;

private:
    // The path's own bytes, so a script reaches exactly that entry, escaped as `details` does
    // so that one row is one line.
    static QByteArray plainLine(const search::FoundRow& row) {
        return escaped(row.nativePath) + '\t' + escaped(row.label).toUtf8() + '\n';
    }
    // JSON holds text only: a path that is not valid UTF-8 also comes as its bytes in base64.
    static QByteArray jsonLine(const search::FoundRow& row) {
        QByteArray line =
            "{\"path\":" + jsonString(row.displayPath) + ",\"label\":" + jsonString(row.label);
        if (app::fs::nativePath(row.displayPath) != row.nativePath)
            line += ",\"path_base64\":\"" + row.nativePath.toBase64() + '"';
        return line + "}\n";
    }

    const bool json_;
    Output& output_;
    QSet<QByteArray> listed_;
};

// A file whose reader crashed, hung or ran out of memory is still searched by its other details;
// one line says which file lost its embedded details and why, whether it happened now or the
// store remembers it.
void reportReaderFaults(search::DetailSources& sources) {
    sources.setFaultListener([](const search::extraction::ReaderFault& fault) {
        std::fprintf(stderr, "quillmere-cli find: %s: %s\n", escaped(fault.nativePath).constData(),
                     escaped(fault.cause).toLocal8Bit().constData());
    });
}

} // namespace

int runFind(const QList<QByteArray>& arguments) {
    bool ignoreCase = false;
    bool deep = true;
    bool json = false;
    bool useStore = true;
    bool cacheStats = false;
    bool inProcess = false;
    qsizetype next = 0;
    for (; next < arguments.size(); ++next) {
        const QByteArray& argument = arguments[next];
        if (argument == "--") {
            ++next;
            break;
        }
        if (!argument.startsWith("--"))
            break;
        if (argument == "--ignore-case")
            ignoreCase = true;
        else if (argument == "--no-subfolders")
            deep = false;
        else if (argument == "--json")
            json = true;
        else if (argument == "--no-cache")
            useStore = false;
        else if (argument == "--cache-stats")
            cacheStats = true;
        else if (argument == "--in-process")
            inProcess = true;
        else if (argument == "--help") {
            Output output;
            output.write(findUsage);
            return output.flush() ? 0 : output.reportFailure("find");
        } else
            return usageError("unknown option \"" + escaped(argument) + '"');
    }
    if (next >= arguments.size())
        return usageError("no phrase given");
    const QString phrase = QString::fromLocal8Bit(arguments[next++]);
    if (phrase.trimmed().isEmpty())
        return usageError("the phrase is blank");
    if (next >= arguments.size())
        return usageError("no folder given");
    std::vector<QByteArray> folders;
    for (; next < arguments.size(); ++next)
        folders.push_back(absolutePath(arguments[next]));

    search::DetailSources::Setup setup;
    if (inProcess)
        setup.reading.isolation = search::extraction::Isolation::InProcess;
    // One search per process: details kept for a second search would only cost memory and time.
    setup.cacheLimit = 0;
    const auto store = useStore ? std::make_shared<search::store::DetailStore>() : nullptr;
    setup.store = store;
    search::SearchOptions options;
    options.sources = std::make_shared<search::DetailSources>(std::move(setup));
    const search::extraction::Extractor& extractor = options.sources->extractor();
    reportReaderFaults(*options.sources);
    const search::extraction::ReadingNotice noticeBefore = extractor.readingNotice();
    Output output;
    PrintingObserver observer(json, output);
    search::Query query{phrase,
                        ignoreCase ? search::CaseMode::Ignored : search::CaseMode::MustAgree};
    search::searchFolders(
        folders, [&] { return query; }, deep, observer, options);
    // What the search read is written now, within a bound, not whenever its last user lets go.
    options.sources->writeStore(kStoreWriteTime);
    const bool written = output.flush();
    const search::extraction::ReadingNotice noticeAfter = extractor.readingNotice();
    std::fputs(readerNoticeLines(noticeBefore, noticeAfter).constData(), stderr);
    // Files searched without their embedded details may be missing from the list, as the items
    // of a folder that could not be read are.
    const bool incomplete = observer.failures > 0 || noticeAfter.notRead > noticeBefore.notRead;
    // Counting the store's entries costs a pass over it: only when they are asked for.
    const bool distrusted = store && store->distrusted();
    const search::store::StoreFigures figures =
        store && (cacheStats || distrusted) ? store->figures() : search::store::StoreFigures{};
    // A store someone else could have changed is worth a line even unasked: nothing is kept.
    if (cacheStats || distrusted)
        std::fputs(storeStatsLine(store ? &figures : nullptr).constData(), stderr);
    // Nor is a store that could not be written (a full disk): this run's details are not kept.
    if (const QString problem = store ? store->writeProblem() : QString(); !problem.isEmpty())
        std::fprintf(stderr, "detail store: not all of this run was kept: %s\n",
                     escaped(problem).toUtf8().constData());
    if (!written)
        return output.reportFailure("find");
    return incomplete ? 1 : 0;
}

} // namespace quillmere::cli
