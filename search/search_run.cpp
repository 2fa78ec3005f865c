#include "search/search_run.h"

#include "app/application_values.h"
#include "app/event_pump.h"
#include "app/file_system.h"
#include "app/form1.h"
#include "app/mouse_pointer.h"
#include "app/progress_bar.h"
#include "folders/path_cleanup.h"
#include "search/search_folder.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <optional>

namespace quillmere::search {

namespace {

const QString kStopCaption = QStringLiteral("Stop");

int runningSearches = 0;

class RunningSearch {
public:
    RunningSearch() { ++runningSearches; }
    ~RunningSearch() { --runningSearches; }
    RunningSearch(const RunningSearch&) = delete;
    RunningSearch& operator=(const RunningSearch&) = delete;
};

// Only blanks count: a phrase of tabs is still a phrase.
bool isBlank(const QString& text) {
    for (const QChar c : text) {
        if (c != QLatin1Char(' '))
            return false;
    }
    return true;
}

// The walk talks to the window: its status goes to the folder list's header, its pumps let
// clicks (Stop among them) run nested, and a folder it cannot read is one failure box.
class WindowObserver : public ModelSearchObserver {
public:
    WindowObserver(Form1& form, ResultsModel& results, Guard& guard)
        : ModelSearchObserver(results), form_(form), guard_(guard) {}

    void showStatus(const QString& text) override { form_.setFolderListHeader(text); }
    // Every time, not throttled: a click posted before a pump must run in that pump.
    void pumpMessages() override { letWindowMessagesRunNow(); }
    bool stopRequested() override { return applicationValues().StopRequested; }
    // The platform's words alone would not tell the user which of many folders was skipped.
    void reportFailure(const QString& folderPath, const QString& description) override {
        guard_.step(138, [&] { throw Failure(description + QStringLiteral(": ") + folderPath); });
    }

private:
    Form1& form_;
    Guard& guard_;
};

struct RunValues {
    CaseMode mode = CaseMode::MustAgree;
    bool deep = false;
};

int progressPercent(int folderNumber, int rows) {
    if (rows <= 0)
        throw Failure(QStringLiteral("Division by zero"));
    return int(qint64(folderNumber) * 100 / rows);
}

void searchEveryListFolder(Form1& form, ResultsModel& results, Guard& g, const RunValues& run) {
    ApplicationValues& values = applicationValues();
    QTreeWidget* list = form.ListView1();
    WindowObserver observer(form, results, g);
    SearchEngine engine(observer);
    QString folderPath;
    const int count = list->topLevelItemCount();
    for (int i = 1; i <= count; ++i) {
        g.step(122, [] { letWindowMessagesRunNow(); });
        if (g.test(124, [&] { return values.StopRequested; }))
            break;
        g.step(126, [&] {
            form.ProgressBar1()->setValue(progressPercent(i, list->topLevelItemCount()));
        });
        g.step(128, [&] {
            const QTreeWidgetItem* row = list->topLevelItem(i - 1);
            if (!row)
                throw Failure(QStringLiteral("The folder list has no row %1").arg(i));
            folderPath = row->text(0);
        });
        g.step(130, [&] {
            form.ProgressBar1()->setText(QStringLiteral("Processing: ") +
                                         FileNameOfPath(folderPath));
        });
        g.step(132, [] { letWindowMessagesRunNow(); });
        g.step(134, [&] { form.setMousePointer(pointer::Busy); });
        std::optional<QByteArray> folder;
        g.step(136, [&] { folder = fs::getFolder(fs::nativePath(folderPath)).nativePath(); });
        if (!folder)
            continue; // reported; a path that is no folder is not searched
        g.step(138, [&] {
            engine.searchFolder(*folder, Query{form.Text1()->text(), run.mode}, run.deep);
        });
    }
}

void endRun(Form1& form, Guard& g) {
    g.step(142, [&] { form.setFolderListHeader(kFolderListHeader); });
    g.step(144, [&] { form.setMousePointer(pointer::Default); });
    g.step(146, [&] { form.ProgressBar1()->setValue(0); });
    g.step(148, [&] { form.ProgressBar1()->setText(kProgressBarText); });
    g.step(156, [&] { form.dialogs().messageBox(QStringLiteral("Done."), boxstyle::OkOnly); });
    g.step(158, [&] { form.PushButton(1)->setText(applicationValues().SavedStartCaption); });
}

} // namespace

bool searchRunning() {
    return runningSearches > 0;
}

void startFinding(Form1& form, ResultsModel& results) {
    Guard g = form.guard(location::PushButton1Click);
    ApplicationValues& values = applicationValues();
    QPushButton* button = form.PushButton(1);
    g.step(100, [] {}); // the file-system services need no object of their own
    if (g.test(102, [&] { return button->text() == kStopCaption; })) {
        g.step(172, [&] { button->setText(values.SavedStartCaption); });
        g.step(174, [&] { values.StopRequested = true; });
        return;
    }
    if (g.test(104, [&] { return isBlank(form.Text1()->text()); })) {
        g.step(170, [&] {
            form.dialogs().messageBox(QStringLiteral("Input search for what phrase"),
                                      boxstyle::OkOnly);
        });
        return;
    }
    const RunningSearch running;
    g.step(106, [&] { values.SavedStartCaption = button->text(); });
    g.step(108, [&] { button->setText(kStopCaption); });
    g.step(110, [&] { values.StopRequested = false; });
    g.step(112, [&] { form.setMousePointer(pointer::Busy); });
    RunValues run;
    g.step(114, [&] {
        run.mode = form.Check4()->isChecked() ? CaseMode::MustAgree : CaseMode::Ignored;
    });
    g.step(116, [&] { run.deep = form.Check5()->isChecked(); });
    if (g.test(118, [&] { return form.ListView1()->topLevelItemCount() == 0; })) {
        g.step(162, [&] {
            form.dialogs().messageBox(QStringLiteral("No folders added."), boxstyle::OkOnly);
        });
        g.step(164, [&] { button->setText(values.SavedStartCaption); });
    } else {
        g.step(120, [&] { searchEveryListFolder(form, results, g, run); });
        endRun(form, g);
    }
    g.step(166, [&] { values.StopRequested = true; });
    g.step(168, [&] { form.setMousePointer(pointer::Default); });
}

} // namespace quillmere::search
