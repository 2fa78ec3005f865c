#include "cli/commands.h"

#include "cli/absolute_path.h"
#include "search/detail_columns.h"
#include "search/search_folder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cstdio>

namespace quillmere::cli {

namespace {

constexpr const char* findUsage =
    "Usage: quillmere-cli find [--ignore-case] [--no-subfolders] [--json] PHRASE FOLDER...\n"
    "Lists every item of the folders (and, unless --no-subfolders, of their whole trees) with a\n"
    "detail that holds PHRASE: its path and the matching detail, separated by a tab. Case must\n"
    "agree unless --ignore-case. --json prints one object per line instead.\n";

int usageError(const char* problem) {
    std::fprintf(stderr, "quillmere-cli find: %s\n%s", problem, findUsage);
    return 2;
}

QByteArray jsonString(const QString& text) {
    QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// Prints each row as it is found; keeps only the paths, for the duplicate test.
class PrintingObserver : public search::SearchObserver {
public:
    explicit PrintingObserver(bool json) : json_(json) {}

    void showStatus(const QString&) override {}
    void pumpMessages() override {}
    bool stopRequested() override { return false; }
    bool isAlreadyListed(const QByteArray& nativePath) override {
        return listed_.contains(nativePath);
    }
    void addRows(std::vector<ResultRow> rows) override {
        for (const ResultRow& row : rows) {
            listed_.insert(row.nativePath);
            const QByteArray line = json_ ? jsonLine(row) : plainLine(row);
            std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        }
    }
    void reportFailure(const QString& folderPath, const QString& description) override {
        ++failures;
        std::fflush(stdout);
        std::fprintf(stderr, "quillmere-cli find: %s: %s\n", folderPath.toLocal8Bit().constData(),
                     description.toLocal8Bit().constData());
    }

    int failures = 0;

private:
    // The path's own bytes, so a script reaches exactly that entry.
    static QByteArray plainLine(const ResultRow& row) {
        return row.nativePath + '\t' + row.label.toUtf8() + '\n';
    }
    // JSON holds text only: a path that is not valid UTF-8 also comes as its bytes in base64.
    static QByteArray jsonLine(const ResultRow& row) {
        QByteArray line =
            "{\"path\":" + jsonString(row.displayPath) + ",\"label\":" + jsonString(row.label);
        if (fs::nativePath(row.displayPath) != row.nativePath)
            line += ",\"path_base64\":\"" + row.nativePath.toBase64() + '"';
        return line + "}\n";
    }

    const bool json_;
    QSet<QByteArray> listed_;
};

} // namespace

int runFind(const QList<QByteArray>& arguments) {
    bool ignoreCase = false;
    bool deep = true;
    bool json = false;
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
        else if (argument == "--help") {
            std::fputs(findUsage, stdout);
            return 0;
        } else
            return usageError("unknown option");
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

    // One search per process: details kept for a second search would only cost memory and time.
    DetailColumns::setCacheLimit(0);
    PrintingObserver observer(json);
    const search::Query query{phrase,
                              ignoreCase ? search::CaseMode::Ignored : search::CaseMode::MustAgree};
    search::searchFolders(
        folders, [&] { return query; }, deep, observer);
    std::fflush(stdout);
    return observer.failures > 0 ? 1 : 0;
}

} // namespace quillmere::cli
