// How long computing every detail column of every file of a mixed tree takes, per family and in
// all, next to the floor (stat every entry, read its first 64 KiB) and to exiftool answering a
// question over the same tree. Prints figures; asserts nothing.

#include "bench/bench_support.h"

#include "search/detail_columns.h"
#include "search/detail_sources.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>

#include <algorithm>
#include <cstdio>
#include <thread>

using namespace quillmere;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::bench;

namespace {

void print(const QString& line) {
    std::printf("%s\n", qPrintable(line));
}

QString familyOf(const QByteArray& path) {
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    if (name.contains("(broken)"))
        return QStringLiteral("broken");
    const int dot = name.lastIndexOf('.');
    return dot < 0 ? QStringLiteral("folder") : QString::fromLatin1(name.mid(dot + 1)).toLower();
}

// True when the item has any embedded detail.
bool readEveryColumn(const QByteArray& path, DetailSources& sources) {
    DetailColumns details(path, sources);
    bool embedded = false;
    for (int column = 0; column < column::Count; ++column) {
        if (!details.value(column).isEmpty() && column >= column::FirstEmbedded)
            embedded = true;
    }
    return embedded;
}

void printPerFamily(const std::vector<QByteArray>& entries, DetailSources& sources) {
    sources.cache().clear();
    QMap<QString, std::vector<double>> micros;
    size_t withEmbedded = 0;
    for (const QByteArray& path : entries) {
        QElapsedTimer timer;
        timer.start();
        withEmbedded += readEveryColumn(path, sources) ? 1 : 0;
        micros[familyOf(path)].push_back(double(timer.nsecsElapsed()) / 1e3);
    }
    // A reader that could not be loaded reads nothing, quickly: this line shows it.
    print(QStringLiteral("\nItems with embedded details: %1 of %2")
              .arg(withEmbedded)
              .arg(entries.size()));
    print(QStringLiteral("\nMicroseconds per item, every column, 1 thread:"));
    print(QStringLiteral("  %1 %2 %3 %4")
              .arg(QStringLiteral("family"), -8)
              .arg(QStringLiteral("items"), 7)
              .arg(QStringLiteral("median"), 9)
              .arg(QStringLiteral("mean"), 9));
    for (auto it = micros.begin(); it != micros.end(); ++it) {
        std::vector<double>& values = it.value();
        std::sort(values.begin(), values.end());
        double sum = 0;
        for (double v : values)
            sum += v;
        print(QStringLiteral("  %1 %2 %3 %4")
                  .arg(it.key(), -8)
                  .arg(values.size(), 7)
                  .arg(fixed(values[values.size() / 2], 1), 9)
                  .arg(fixed(sum / double(values.size()), 1), 9));
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const BenchOptions options =
        parseOptions(QCoreApplication::arguments(),
                     QStringLiteral("Times the detail columns over a mixed tree."));
    const QString root = options.tree;
    QElapsedTimer timer;
    timer.start();
    const TreeSummary summary = prepareTree(root, options.files, 7);
    print(QStringLiteral("Tree: %1 (%2 files, %3 MB; ready in %4 s)")
              .arg(root)
              .arg(summary.files)
              .arg(fixed(double(summary.bytes) / 1e6, 1))
              .arg(fixed(double(timer.nsecsElapsed()) / 1e9)));

    timer.restart();
    const std::vector<QByteArray> entries = collectEntries(QFile::encodeName(root));
    const double walk = double(timer.nsecsElapsed()) / 1e9;
    timeFloor(entries, 1); // warm the page cache

    // The readers in this process: their own cost, without the helpers' boundary.
    DetailSources::Setup setup;
    setup.reading.isolation = extraction::Isolation::InProcess;
    setup.reading.readerModule = QByteArrayLiteral(QUILLMERE_READER_MODULE_PATH);
    DetailSources sources(std::move(setup));
    const int cores = int(std::max(2u, std::thread::hardware_concurrency()));
    const double floor1 = timeFloor(entries, 1);
    const double floor2 = timeFloor(entries, 2);
    // Every run but the last starts with no embedded details kept from an earlier one.
    const auto timeColumns = [&](int threads, bool keepDetails) {
        if (!keepDetails)
            sources.cache().clear();
        return timeParallel(entries.size(), threads,
                            [&](size_t i) { readEveryColumn(entries[i], sources); });
    };
    const double ours1 = timeColumns(1, false);
    const double ours2 = timeColumns(2, false);
    const double again2 = timeColumns(2, true);

    print(QStringLiteral("\n%1 entries (files and folders); listing them took %2 s; %3 cores")
              .arg(entries.size())
              .arg(fixed(walk, 3))
              .arg(cores));
    print(QStringLiteral("  floor, stat + first 64 KiB, 1 thread:    %1 s").arg(fixed(floor1, 3)));
    print(QStringLiteral("  floor, stat + first 64 KiB, 2 threads:   %1 s").arg(fixed(floor2, 3)));
    print(QStringLiteral("  every column of every item, 1 thread:    %1 s").arg(fixed(ours1, 3)));
    print(QStringLiteral("  every column of every item, 2 threads:   %1 s").arg(fixed(ours2, 3)));
    print(QStringLiteral("  the same again, details kept, 2 threads: %1 s").arg(fixed(again2, 3)));
    print(QStringLiteral("  ratio every column / floor (1 vs 1):     %1x")
              .arg(fixed(ours1 / floor1, 1)));
    print(QStringLiteral("  ratio every column / floor (2 vs 2):     %1x")
              .arg(fixed(ours2 / floor2, 1)));

    printPerFamily(entries, sources);

    if (!options.exiftool)
        return 0;
    QStringList tops;
    for (const QString& name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        tops << QDir(root).filePath(name);
    int matches = 0;
    const double exif2 = timeExiftool(tops, QStringLiteral("Kodak"), 2, &matches);
    if (exif2 < 0) {
        print(QStringLiteral("\nexiftool is not installed: no comparison (apt-get install "
                             "libimage-exiftool-perl)."));
        return 0;
    }
    print(QStringLiteral("\nexiftool -r -if \"any tag holds Kodak\", 2 processes: %1 s (%2 files "
                         "matched)")
              .arg(fixed(exif2))
              .arg(matches));
    print(QStringLiteral("  ratio exiftool / every column (2 vs 2):  %1x")
              .arg(fixed(exif2 / ours2, 1)));
    return 0;
}
