#include "results/text_export.h"

#include "app/escaped_text.h"
#include "app/event_pump.h"
#include "app/fs/file_system.h"
#include "app/fs/path_cleanup.h"
#include "app/fs/path_entry.h"
#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "results/fixed_width_text.h"
#include "results/results_model.h"
#include "results/results_view.h"

#include <optional>
#include <vector>

namespace quillmere::results {

namespace {

const QString kDone = QStringLiteral("Done.");
const QString kIdleProgressText = QStringLiteral("Progress Bar");

// Rows past 2000 raise the value by the whole number n / 2000 (at most 0.05 percent more); the
// bar shows whole percentages.
int rowProgress(int rowNumber, int rowCount) {
    const int wholeThousandPairs = rowCount / 2000;
    return int((double(rowNumber) + double(wholeThousandPairs)) / double(rowCount) * 100.0);
}

class Export {
public:
    Export(const ResultsModel& list, const QString& path, ResultsView* progress,
           app::Dialogs& dialogs)
        : list_(list), path_(path), progress_(progress),
          g_(dialogs, app::location::SaveListviewProperlySpaced),
          writingText_(QStringLiteral("Writing file: ") + app::fs::FileNameOfPath(path)) {}

    // True when the file was saved whole. It takes the path's place only then: a failed save
    // (a full disk) leaves whatever was there as it was, and is told once.
    bool run() {
        showProgress({102, 104, 106, 108}, 1, writingText_);
        measureWidths();
        showProgress({144, 146, 148, 150}, 10, writingText_);
        g_.step(156, [&] { file_ = app::fs::createTextFile(app::fs::nativePath(path_)); });
        // Without a file there is nothing to write to: one report, not one per line.
        bool saved = false;
        if (file_) {
            writeHeader();
            showProgress({174, 176, 178, 180}, 20, writingText_);
            writeTickedRows();
            if (progress_) {
                g_.step(228, [&] { progress_->setProgressValue(100); });
                g_.step(230, [&] { progress_->setProgressText(kDone); });
            }
            g_.step(232, [&] { file_->close(); });
            saved = file_->saved();
            file_.reset();
        }
        if (progress_) {
            g_.step(240, [&] { progress_->setProgressValue(0); });
            g_.step(242, [&] { progress_->setProgressText(kIdleProgressText); });
        }
        return saved;
    }

private:
    // The labels of the four steps that show progress: yield, value, text, yield.
    struct ProgressLabels {
        int yieldBefore, value, text, yieldAfter;
    };

    void showProgress(const ProgressLabels& labels, int value, const QString& text) {
        if (!progress_)
            return;
        g_.step(labels.yieldBefore, [] { app::letWindowMessagesRun(); });
        g_.step(labels.value, [&] { progress_->setProgressValue(value); });
        g_.step(labels.text, [&] { progress_->setProgressText(text); });
        g_.step(labels.yieldAfter, [] { app::letWindowMessagesRun(); });
    }

    void measureWidths() {
        const int columns = list_.columnCount();
        const int rows = list_.rowCount();
        for (int c = 0; c < columns; ++c) {
            int width = 0;
            g_.step(116, [&] { width = int(header(c).size()); });
            // A row that vanished under a nested command ends this column's pass with one report;
            // the widest text reached so far still sets the width.
            g_.step(124, [&] {
                widenToColumn(list_, c, rows, width, [] { app::letWindowMessagesRun(); });
            });
            widths_.push_back(width);
        }
    }

    void writeHeader() {
        QString line;
        for (int c = 0; c < int(widths_.size()); ++c) {
            g_.step(160, [] { app::letWindowMessagesRun(); });
            g_.step(162, [&] { appendPaddedCell(line, header(c), widths_[size_t(c)]); });
        }
        g_.step(170, [&] { file_->writeLine(line); });
    }

    void writeTickedRows() {
        const int rows = list_.rowCount();
        QString line;
        for (int r = 0; r < rows; ++r) {
            g_.step(184, [] { app::letWindowMessagesRun(); });
            line.truncate(0);
            if (reportedVanishedRow(188, r))
                return;
            if (!list_.row(r).checked)
                continue;
            bool whole = true;
            for (int c = 0; c < int(widths_.size()); ++c) {
                g_.step(192, [] { app::letWindowMessagesRun(); });
                whole = whole && cellAppended(194, line, r, c);
            }
            if (progress_) {
                g_.step(212, [] { app::letWindowMessagesRun(); });
                g_.step(214, [&] { progress_->setProgressValue(rowProgress(r + 1, rows)); });
                if ((r + 1) % 1000 == 0) {
                    g_.step(218, [&] {
                        progress_->setProgressText(writingText_ +
                                                   QStringLiteral(" (%1)").arg(r + 1));
                    });
                }
                g_.step(220, [] { app::letWindowMessagesRun(); });
            }
            // A row that vanished while its line was built is reported, not written in part.
            if (whole)
                g_.step(222, [&] { file_->writeLine(line); });
        }
    }

    bool cellAppended(int label, QString& line, int row, int column) {
        bool appended = false;
        g_.step(label, [&] {
            appendPaddedCell(line, cellText(list_, row, column), widths_[size_t(column)]);
            appended = true;
        });
        return appended;
    }

    QString header(int column) const { return list_.headerData(column, Qt::Horizontal).toString(); }

    // A command run during a pump may have shortened the list; every later row is gone as well,
    // so that is reported once and the pass ends.
    bool reportedVanishedRow(int label, int row) {
        if (row < list_.rowCount())
            return false;
        g_.step(label, [&] { (void)cellText(list_, row, ResultsModel::PathColumn); });
        return true;
    }

    const ResultsModel& list_;
    const QString& path_;
    ResultsView* progress_;
    app::Guard g_;
    const QString writingText_;
    std::vector<int> widths_;
    std::optional<app::fs::TextFile> file_;
};

} // namespace

bool SaveListviewProperlySpaced(const ResultsModel& list, const QString& path,
                                ResultsView* progress, app::Dialogs& dialogs) {
    return Export(list, path, progress, dialogs).run();
}

void saveResultsAsTextFile(ResultsView& view, app::Dialogs& dialogs, const ResultsModel& list) {
    app::Guard g(dialogs, app::location::PushButton2Click);
    QString path;
    g.step(100, [&] { path = dialogs.showSave(); });
    if (path.isEmpty())
        return;
    if (g.test(104, [&] { return app::fs::PathEntryExists(path); })) {
        app::BoxAnswer answer = app::BoxAnswer::No;
        g.step(106, [&] {
            answer = dialogs.messageBox(QStringLiteral("Are you sure you wish to overwrite ") +
                                            app::escapedText(path) + QStringLiteral(" ?"),
                                        app::BoxStyle::YesNo);
        });
        if (answer != app::BoxAnswer::Yes)
            return;
    }
    g.step(108, [&] { view.setMousePointer(app::pointer::Busy); });
    bool saved = true;
    g.step(110, [&] { saved = SaveListviewProperlySpaced(list, path, &view, dialogs); });
    if (saved)
        g.step(112, [&] { dialogs.messageBox(kDone); });
    g.step(114, [&] { view.setMousePointer(app::pointer::Default); });
}

} // namespace quillmere::results
