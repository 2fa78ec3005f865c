// How the results list and its commands hold up at a million rows, on the real window under the
// offscreen platform: appending in one batch and in many small ones, the two filters, the text
// export and the clipboard copy, each with the longest gap between two message pumps (how long a
// click could wait). Prints figures; asserts nothing.

#include "bench/bench_support.h"

#include "app/dialogs.h"
#include "app/event_pump.h"
#include "results/filters.h"
#include "results/results_model.h"
#include "window/form1.h"
#include "window/results_list_actions.h"

#include <QApplication>
#include <QClipboard>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTreeView>

#include <cstdio>
#include <ctime>
#include <vector>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::results;
using namespace quillmere::bench;

namespace {

void print(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Answers every question at once: the queued phrase, the save path, Yes.
class AnsweringDialogs : public Dialogs {
public:
    QString phrase;
    QString savePath;

protected:
    app::BoxAnswer showMessage(const QString&, app::BoxStyle style, const QString&) override {
        return boxButtons(style) == BoxStyle::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
    }
    QString showInput(const QString&, const QString&, const QString&) override { return phrase; }
    QString showFolderChooser(const QString&, const QString&) override { return {}; }
    QString showSaveDialog(const SaveDialogRequest&) override { return savePath; }
    int showChoice(const ChoiceRequest& request) override { return request.defaultButton; }
};

// Paths of a photo library: a folder per trip, alternating cameras, some names outside ASCII.
std::vector<ResultRow> makeRows(int first, int count) {
    std::vector<ResultRow> rows;
    rows.reserve(size_t(count));
    for (int i = first; i < first + count; ++i) {
        const QByteArray path = "/home/user/Pictures/Trip " + QByteArray::number(i / 500) +
                                (i % 7 == 0 ? "/Caf\xC3\xA9 " : "/IMG_") + QByteArray::number(i) +
                                ".jpg";
        rows.push_back({QString(), path,
                        i % 2 ? QStringLiteral("[Camera maker] Kodak")
                              : QStringLiteral("[Camera model] Canon EOS 5D Mark IV"),
                        false});
    }
    return rows;
}

// Seconds of processor time this process has used: the figure that holds on a busy machine.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Times one operation and the longest wait between pumps in it, through the pump that follows
// (where the list view lays out what the operation changed).
class PumpClock {
public:
    PumpClock() {
        clock_.start();
        setPumpObserver([this] { pumps_.push_back(clock_.nsecsElapsed()); });
    }
    ~PumpClock() { setPumpObserver({}); }

    template <typename Operation> void measure(const QString& what, Operation&& operation) {
        pumps_.clear();
        const double cpuStart = cpuSeconds();
        const qint64 start = clock_.nsecsElapsed();
        operation();
        const qint64 end = clock_.nsecsElapsed();
        const double cpu = cpuSeconds() - cpuStart;
        const size_t pumpsDuring = pumps_.size();
        letWindowMessagesRunNow();
        const qint64 settled = clock_.nsecsElapsed();
        const double cpuSettled = cpuSeconds() - cpuStart;
        qint64 longest = 0;
        qint64 gapFrom = start;
        qint64 previous = start;
        for (size_t i = 0; i <= pumpsDuring; ++i) {
            const qint64 next = i < pumpsDuring ? pumps_[i] : settled;
            if (next - previous > longest) {
                longest = next - previous;
                gapFrom = previous;
            }
            previous = next;
        }
        if (qEnvironmentVariableIsSet("QUILLMERE_BENCH_MARKS")) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double base = double(now.tv_sec) + double(now.tv_nsec) / 1e9 -
                                double(clock_.nsecsElapsed()) / 1e9;
            std::fprintf(stderr, "MARK %s|%.6f %.6f %.6f %.6f\n", qPrintable(what),
                         base + double(start) / 1e9, base + double(settled) / 1e9,
                         base + double(gapFrom) / 1e9, base + double(gapFrom + longest) / 1e9);
        }
        print(QStringLiteral("  %1 %2 s (cpu %3 s)   longest gap %4 s   (%5 pumps; the view "
                             "settled in %6 s, cpu %7 s in all)")
                  .arg(what, -40)
                  .arg(fixed(double(end - start) / 1e9, 3), 6)
                  .arg(fixed(cpu, 3), 6)
                  .arg(fixed(double(longest) / 1e9, 3))
                  .arg(pumpsDuring)
                  .arg(fixed(double(settled - end) / 1e9, 3))
                  .arg(fixed(cpuSettled, 3)));
    }

private:
    QElapsedTimer clock_;
    std::vector<qint64> pumps_;
};

bool writeFile(const QByteArray& path) {
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::WriteOnly) && file.write("x", 1) == 1;
}

} // namespace

int main(int argc, char** argv) {
    // Keep start-up's settings away from the user's own.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    // ... and the Trash away from the user's own.
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times the results commands over a million rows on the real window."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("rows"), QStringLiteral("Rows in the list."),
                      QStringLiteral("count"), QStringLiteral("1000000")});
    parser.addOption({QStringLiteral("batches"), QStringLiteral("Batches of the second fill."),
                      QStringLiteral("count"), QStringLiteral("50000")});
    parser.addOption({QStringLiteral("trash-folders"),
                      QStringLiteral("Folders, each listed with its one file, sent to the Trash "
                                     "(real files; 0 leaves it out)."),
                      QStringLiteral("count"), QStringLiteral("5000")});
    parser.addOption({QStringLiteral("view"),
                      QStringLiteral("What shows the list: the window's own (window), a tree view "
                                     "set up as the list once was (tree), or nothing (none)."),
                      QStringLiteral("kind"), QStringLiteral("window")});
    parser.process(app);
    const QString viewKind = parser.value(QStringLiteral("view"));
    const int rowCount = parser.value(QStringLiteral("rows")).toInt();
    const int batchCount = std::max(1, parser.value(QStringLiteral("batches")).toInt());
    const int trashFolders = parser.value(QStringLiteral("trash-folders")).toInt();

    AnsweringDialogs dialogs;
    FormServices services;
    services.dialogs = &dialogs;
    services.programFolder = home.path();
    services.drawPercent = [] { return 50; };
    services.openUrl = [](const QUrl&) {};
    services.endProcess = [] {};
    Form1 form(services);
    form.show();
    letWindowMessagesRunNow();
    ResultsModel& results = form.results();
    QStandardItemModel placeholder;
    QTreeView tree;
    if (viewKind != QStringLiteral("window"))
        form.ListView2()->setModel(&placeholder);
    if (viewKind == QStringLiteral("tree")) {
        tree.setRootIsDecorated(false);
        tree.setUniformRowHeights(true);
        tree.setAllColumnsShowFocus(true);
        tree.setItemsExpandable(false);
        tree.setFont(form.ListView2()->font());
        tree.setModel(&results);
        tree.resize(form.ListView2()->size());
        tree.show();
    }
    letWindowMessagesRunNow();
    PumpClock clock;

    print(QStringLiteral("%1 rows on the real window (offscreen), goals: no gap over 0.2 s, a "
                         "filter settled within 0.2 s; list shown by: %2")
              .arg(rowCount)
              .arg(viewKind));

    {
        // The list alone, with no view: what the model itself costs per row.
        ResultsModel batched;
        std::vector<std::vector<ResultRow>> batches;
        for (int b = 0; b < batchCount; ++b) {
            const int first = int(qint64(rowCount) * b / batchCount);
            batches.push_back(
                makeRows(first, int(qint64(rowCount) * (b + 1) / batchCount) - first));
        }
        clock.measure(QStringLiteral("model alone, append in %1 batches").arg(batchCount), [&] {
            for (std::vector<ResultRow>& batch : batches)
                batched.appendRows(std::move(batch));
        });
        ResultsModel alone;
        std::vector<ResultRow> rows = makeRows(0, rowCount);
        clock.measure(QStringLiteral("model alone, append in one batch"),
                      [&] { alone.appendRows(std::move(rows)); });
        clock.measure(QStringLiteral("model alone, remove scattered rows"),
                      [&] { results::RemoveRowsContaining(alone, QStringLiteral("CAF\u00C9")); });
    }

    std::vector<ResultRow> all = makeRows(0, rowCount);
    clock.measure(QStringLiteral("append in one batch"),
                  [&] { results.appendRows(std::move(all)); });
    results.clear();
    letWindowMessagesRunNow();

    // As a search adds them: a few rows per folder, the window pumping between folders.
    std::vector<std::vector<ResultRow>> batches;
    batches.reserve(size_t(batchCount));
    for (int b = 0; b < batchCount; ++b) {
        const int first = int(qint64(rowCount) * b / batchCount);
        const int next = int(qint64(rowCount) * (b + 1) / batchCount);
        batches.push_back(makeRows(first, next - first));
    }
    clock.measure(QStringLiteral("append in %1 batches").arg(batchCount), [&] {
        for (std::vector<ResultRow>& batch : batches) {
            results.appendRows(std::move(batch));
            letWindowMessagesRun();
        }
    });

    for (int r = 0; r < results.rowCount(); ++r)
        results.setChecked(r, true);
    letWindowMessagesRunNow();

    QTemporaryDir out;
    dialogs.savePath = out.filePath(QStringLiteral("results.txt"));
    clock.measure(QStringLiteral("export of %1 ticked rows").arg(results.rowCount()),
                  [&] { form.PushButton2_Click(); });
    print(QStringLiteral("    file: %1 MB")
              .arg(fixed(double(QFileInfo(dialogs.savePath).size()) / 1e6, 1)));

    clock.measure(QStringLiteral("clipboard copy of %1 ticked rows").arg(results.rowCount()),
                  [&] { form.PushButton5_Click(); });
    print(QStringLiteral("    clipboard: %1 million characters")
              .arg(fixed(double(QGuiApplication::clipboard()->text().size()) / 1e6, 1)));

    // The menu's commands on the whole list selected.
    form.ListView2()->selectAll();
    letWindowMessagesRunNow();
    clock.measure(QStringLiteral("Copy Path of %1 selected rows").arg(results.rowCount()),
                  [&] { form.resultsActions().copySelectedPaths(); });
    clock.measure(QStringLiteral("Untick All"), [&] { form.resultsActions().tickAll(false); });
    clock.measure(QStringLiteral("Tick Selected"),
                  [&] { form.resultsActions().tickSelected(true); });
    form.ListView2()->clearSelection();
    letWindowMessagesRunNow();

    // Every other row names the other camera's folder: a removal scattered over the whole list.
    dialogs.phrase = QStringLiteral("CAF\u00C9");
    clock.measure(QStringLiteral("remove containing (scattered rows)"),
                  [&] { form.PushButton17_Click(); });
    print(QStringLiteral("    %1 rows left").arg(results.rowCount()));
    // The trips from 1000 on, one block at the end of the list.
    dialogs.phrase = QStringLiteral("/trip 1");
    clock.measure(QStringLiteral("remove not containing (a few blocks)"),
                  [&] { form.PushButton11_Click(); });
    print(QStringLiteral("    %1 rows left").arg(results.rowCount()));
    clock.measure(QStringLiteral("clear"), [&] { form.PushButton6_Click(); });

    if (trashFolders > 0) {
        // Each folder first, then its file: the files go with their folders and are not reported.
        QTemporaryDir tree;
        std::vector<ResultRow> rows;
        for (int i = 0; i < trashFolders; ++i) {
            const QByteArray folder =
                QFile::encodeName(tree.path()) + "/folder " + QByteArray::number(i);
            const QByteArray file = folder + "/IMG_" + QByteArray::number(i) + ".jpg";
            if (!QDir().mkdir(QFile::decodeName(folder)) || !writeFile(file)) {
                print(QStringLiteral("cannot write %1").arg(QFile::decodeName(file)));
                return 1;
            }
            rows.push_back({QString(), folder, QStringLiteral("[Kind] Folder"), false});
            rows.push_back({QString(), file, QStringLiteral("[Kind] Picture"), false});
        }
        results.appendRows(std::move(rows));
        results.setAllChecked(true);
        letWindowMessagesRunNow();
        clock.measure(QStringLiteral("Send %1 ticked rows to the Trash").arg(results.rowCount()),
                      [&] { form.PushButton10_Click(); });
        print(QStringLiteral("    %1 rows left").arg(results.rowCount()));
    }
    return 0;
}
