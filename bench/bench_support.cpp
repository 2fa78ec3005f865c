#include "bench/bench_support.h"

#include "app/fs/file_system.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::bench {

BenchOptions parseOptions(const QStringList& arguments, const QString& description) {
    QCommandLineParser parser;
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    parser.addOption({QStringLiteral("files"), QStringLiteral("Files in the tree."),
                      QStringLiteral("count"), QStringLiteral("20000")});
    parser.addOption({QStringLiteral("tree"), QStringLiteral("Where the tree is kept."),
                      QStringLiteral("folder"),
                      QDir::temp().filePath(QStringLiteral("quillmere-bench-tree"))});
    parser.addOption({QStringLiteral("no-exiftool"), QStringLiteral("Skip the exiftool runs.")});
    parser.addOption({QStringLiteral("ways"),
                      QStringLiteral("Only the cold searches of these ways, comma-separated: "
                                     "here, helpers, folder, never, program."),
                      QStringLiteral("list")});
    parser.process(arguments);
    BenchOptions options;
    options.tree = parser.value(QStringLiteral("tree"));
    options.files = parser.value(QStringLiteral("files")).toInt();
    options.exiftool = !parser.isSet(QStringLiteral("no-exiftool"));
    if (parser.isSet(QStringLiteral("ways")))
        options.ways = parser.value(QStringLiteral("ways")).split(u',', Qt::SkipEmptyParts);
    return options;
}

TreeSummary prepareTree(const QString& root, int fileCount, quint32 seed) {
    const QString markerPath = QDir(root).filePath(QStringLiteral(".bench-tree"));
    const QByteArray wanted = QByteArray::number(fileCount) + ' ' + QByteArray::number(seed);
    QFile marker(markerPath);
    if (marker.open(QIODevice::ReadOnly) && marker.readLine().trimmed() == wanted) {
        TreeSummary summary;
        summary.files = marker.readLine().trimmed().toInt();
        summary.kodakFiles = marker.readLine().trimmed().toInt();
        summary.bytes = marker.readLine().trimmed().toLongLong();
        return summary;
    }
    marker.close();
    QDir(root).removeRecursively();
    TreeSummary summary = generateTree(root, fileCount, seed);
    if (marker.open(QIODevice::WriteOnly)) {
        marker.write(wanted + '\n' + QByteArray::number(summary.files) + '\n' +
                     QByteArray::number(summary.kodakFiles) + '\n' +
                     QByteArray::number(summary.bytes) + '\n');
    }
    return summary;
}

std::vector<QByteArray> collectEntries(const QByteArray& root) {
    std::vector<QByteArray> entries;
    std::vector<QByteArray> pending{root};
    while (!pending.empty()) {
        const QByteArray folder = pending.back();
        pending.pop_back();
        const app::fs::FolderEntries listing = app::fs::readFolder(folder);
        entries.insert(entries.end(), listing.items.begin(), listing.items.end());
        pending.insert(pending.end(), listing.subFolders.rbegin(), listing.subFolders.rend());
    }
    return entries;
}

double timeParallel(size_t count, int threads, const std::function<void(size_t)>& work) {
    std::atomic<size_t> next{0};
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> pool;
    pool.reserve(size_t(threads));
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (size_t i = next++; i < count; i = next++)
                work(i);
        });
    }
    for (std::thread& thread : pool)
        thread.join();
    return double(timer.nsecsElapsed()) / 1e9;
}

double timeFloor(const std::vector<QByteArray>& entries, int threads) {
    return timeParallel(entries.size(), threads, [&](size_t i) {
        struct stat info {};
        if (::lstat(entries[i].constData(), &info) != 0 || !S_ISREG(info.st_mode))
            return;
        const int fd = ::open(entries[i].constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        static thread_local char buffer[64 * 1024];
        [[maybe_unused]] const ssize_t got = ::read(fd, buffer, sizeof buffer);
        ::close(fd);
    });
}

double timeFloorWithWalk(const QByteArray& root, int threads) {
    QElapsedTimer timer;
    timer.start();
    const std::vector<QByteArray> entries = collectEntries(root);
    timeFloor(entries, threads);
    return double(timer.nsecsElapsed()) / 1e9;
}

void readWholeFiles(const std::vector<QByteArray>& entries) {
    timeParallel(entries.size(), 2, [&](size_t i) {
        const int fd = ::open(entries[i].constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            static thread_local char buffer[256 * 1024];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
        }
        ::close(fd);
    });
}

double timeExiftool(const QStringList& folders, const QString& phrase, int processes,
                    int* matches) {
    const QString exiftool = QStandardPaths::findExecutable(QStringLiteral("exiftool"));
    if (exiftool.isEmpty())
        return -1;
    // -ext '*' or it skips unknown extensions; no -fast2, which misses MP4 tags stored after the
    // media data; it exits 1 when any file is corrupt, so the exit status says nothing here.
    const QString condition =
        QStringLiteral("grep { !ref($_) && /%1/i } values %{$self->GetInfo(\"All\", {Exclude => "
                       "[\"Directory\"]})}")
            .arg(QRegularExpression::escape(phrase));
    // Output goes to files: a full pipe would stall a process that nobody reads yet.
    QTemporaryDir outputs;
    std::vector<std::unique_ptr<QProcess>> running;
    QElapsedTimer timer;
    timer.start();
    for (int p = 0; p < processes; ++p) {
        QStringList arguments = {QStringLiteral("-r"),   QStringLiteral("-q"),
                                 QStringLiteral("-q"),   QStringLiteral("-a"),
                                 QStringLiteral("-ext"), QStringLiteral("*"),
                                 QStringLiteral("-if"),  condition,
                                 QStringLiteral("-p"),   QStringLiteral("$Directory/$FileName")};
        for (int f = p; f < folders.size(); f += processes)
            arguments << folders[f];
        auto process = std::make_unique<QProcess>();
        process->setStandardOutputFile(outputs.filePath(QString::number(p)));
        process->setStandardErrorFile(QProcess::nullDevice());
        process->start(exiftool, arguments);
        running.push_back(std::move(process));
    }
    for (auto& process : running)
        process->waitForFinished(-1);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    int found = 0;
    for (int p = 0; p < processes; ++p) {
        QFile output(outputs.filePath(QString::number(p)));
        if (output.open(QIODevice::ReadOnly))
            found += int(output.readAll().count('\n'));
    }
    if (matches)
        *matches = found;
    return seconds;
}

QString fixed(double value, int decimals) {
    return QString::number(value, 'f', decimals);
}

} // namespace quillmere::bench
