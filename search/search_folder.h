#pragma once

#include "app/fs/file_system.h"
#include "search/found_rows.h"
#include "search/matcher.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quillmere::search {

class DetailSources;
class FolderLister;
class ReadAhead;

// What a search needs from its surroundings besides a place for its rows. Every call comes on the
// thread that runs the search.
class SearchObserver : public FoundRows {
public:
    // "Searching " + the folder being walked.
    virtual void showStatus(const QString& text) = 0;
    // Lets pending window messages run; a Stop click arrives here.
    virtual void pumpMessages() = 0;
    virtual bool stopRequested() = 0;
    // A folder that could not be read, by its own bytes (a name that is not UTF-8 must not pass
    // for another), in the platform's words; the walk goes on without it.
    virtual void reportFailure(const QByteArray& nativePath, const QString& description) = 0;
};

struct SearchOptions {
    // Threads that test items ahead of the walk; 0 tests each item on the searching thread.
    int workers = -1; // -1: one per core
    // Items whose test may be under way ahead of the one the walk is at.
    int itemsAhead = 256;
    // Pending messages run at least this often, also in the middle of one big folder.
    std::chrono::milliseconds pumpInterval{100};
    // Milliseconds from any fixed start; a steady clock when not given.
    std::function<qint64()> clock;
    // How a folder is read (on a thread of the engine's own); fs::readFolder when not given.
    std::function<app::fs::FolderEntries(const QByteArray& folderPath)> readFolder;
    // How one item is tested (on a worker thread); testItem when not given.
    std::function<ItemMatch(const QByteArray& nativePath, const Query& query)> testItem;
    // Where testItem finds the details; when not given the engine makes its own, with the
    // readers in helpers beside this program and no detail store.
    std::shared_ptr<DetailSources> sources;
};

// The metadata search. One engine serves a whole run over several list folders; its worker
// threads live as long as it does.
class SearchEngine {
public:
    explicit SearchEngine(SearchObserver& observer, SearchOptions options = {});
    ~SearchEngine();
    SearchEngine(const SearchEngine&) = delete;
    SearchEngine& operator=(const SearchEngine&) = delete;

    enum class Outcome { Finished, Stopped };

    // Tests the folder's items, then each sub-folder's items and, when `deep`, the sub-folder's
    // whole tree, depth first, sub-folders in name order, never through a symbolic link. A folder
    // that cannot be read is reported and skipped; its siblings are still searched.
    Outcome searchFolder(const QByteArray& folderPath, const Query& query, bool deep);

private:
    class Run;
    SearchObserver& observer_;
    SearchOptions options_;
    std::unique_ptr<ReadAhead> readAhead_;
    std::unique_ptr<FolderLister> lister_;
};

// Searches each folder in turn with the phrase `phrase()` gives at that moment, as the window
// does; a path that is not a folder is reported. False when stopped.
bool searchFolders(const std::vector<QByteArray>& folderPaths, const std::function<Query()>& query,
                   bool deep, SearchObserver& observer, SearchOptions options = {});

} // namespace quillmere::search
