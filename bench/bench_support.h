#pragma once

#include "bench/tree_generator.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace quillmere::bench {

// The options both benchmarks take: --files, --tree, --no-exiftool and --isolation-only.
struct BenchOptions {
    QString tree;
    int files = 20000;
    bool exiftool = true;
    bool isolationOnly = false; // only the cold searches in process against in helpers
};
BenchOptions parseOptions(const QStringList& arguments, const QString& description);

// The benchmark tree below `root`, generated once and reused while its file count and seed agree.
TreeSummary prepareTree(const QString& root, int fileCount, quint32 seed);

// Every file and folder below `root` (not `root` itself), depth first, as native paths.
std::vector<QByteArray> collectEntries(const QByteArray& root);

// Runs `work(index)` for every index below `count` on `threads` threads; returns seconds taken.
double timeParallel(size_t count, int threads, const std::function<void(size_t)>& work);

// The floor: stat every entry and read the first 64 KiB of every regular file.
double timeFloor(const std::vector<QByteArray>& entries, int threads);
// The same with the folders listed first, as a search must list them.
double timeFloorWithWalk(const QByteArray& root, int threads);

// Reads every regular file once in full, so that every later figure finds it in the page cache.
void readWholeFiles(const std::vector<QByteArray>& entries);

// Seconds exiftool takes to list the files below `folders` that hold `phrase` in any tag, split
// over `processes` processes; negative when exiftool is not installed. `matches` gets the count.
double timeExiftool(const QStringList& folders, const QString& phrase, int processes, int* matches);

QString fixed(double value, int decimals = 2);

} // namespace quillmere::bench
