#include "search/search_run.h"

#include "app/dialogs.h"
#include "app/escaped_text.h"
#include "app/event_pump.h"
#include "app/failure_report.h"
#include "app/fs/file_system.h"
#include "app/fs/path_cleanup.h"
#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "search/detail_sources.h"
#include "search/search_folder.h"
#include "search/search_session.h"
#include "search/search_view.h"

#include <optional>

namespace quillmere::search {

namespace {

const QString kStopCaption = QStringLiteral("Stop");
// How long the end of a search waits for the detail store; what is left then is not written.
constexpr std::chrono::milliseconds kStoreWriteTime{1000};

class RunningSearch {
public:
    explicit RunningSearch(SearchSession& session) : session_(session) {
        ++session_.runningSearches;
        ++session_.runsStarted;
    }
    ~RunningSearch() { --session_.runningSearches; }
    RunningSearch(const RunningSearch&) = delete;
    RunningSearch& operator=(const RunningSearch&) = delete;

private:
    SearchSession& session_;
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
class WindowObserver : public SearchObserver {
public:
    WindowObserver(SearchView& view, SearchSession& session, FoundRows& results, app::Guard& guard)
        : view_(view), session_(session), results_(results), guard_(guard) {}

    bool isAlreadyListed(const QByteArray& nativePath) override {
        return results_.isAlreadyListed(nativePath);
    }
    void addRows(std::vector<FoundRow> rows) override { results_.addRows(std::move(rows)); }

    // Sub-folders' names come from the disk: a line break or a reversing mark in one must not
    // garble the header.
    void showStatus(const QString& text) override {
        view_.setFolderListHeader(app::escapedText(text));
    }
    // Every time, not throttled: a click posted before a pump must run in that pump.
    void pumpMessages() override { app::letWindowMessagesRunNow(); }
    bool stopRequested() override { return session_.StopRequested; }
    // The platform's words alone would not tell the user which of many folders was skipped.
    void reportFailure(const QByteArray& nativePath, const QString& description) override {
        guard_.step(138, [&] {
            throw app::Failure(description + QStringLiteral(": ") +
                               app::escapedText(app::fs::displayPath(nativePath)));
        });
    }

private:
    SearchView& view_;
    SearchSession& session_;
    FoundRows& results_;
    app::Guard& guard_;
};

struct RunValues {
    CaseMode mode = CaseMode::MustAgree;
    bool deep = false;
    // The phrase is read afresh for every list folder, but a box cleared or left with blanks
    // only, for instance while the user types a new phrase, would list every item: such a
    // folder keeps the last phrase the run could use.
    QString phrase;
};

void takePhrase(const SearchView& view, RunValues& run) {
    const QString now = view.phrase();
    if (!isBlank(now))
        run.phrase = now;
}

int progressPercent(int folderNumber, int rows) {
    if (rows <= 0)
        throw app::Failure(QStringLiteral("Division by zero"));
    return int(qint64(folderNumber) * 100 / rows);
}

void searchEveryListFolder(SearchView& view, SearchSession& session, FoundRows& results,
                           app::Guard& g, RunValues& run) {
    WindowObserver observer(view, session, results, g);
    SearchOptions options;
    options.sources = session.detailSources;
    SearchEngine engine(observer, std::move(options));
    QString folderPath;
    const int count = view.folderRowCount();
    for (int i = 1; i <= count; ++i) {
        g.step(122, [] { app::letWindowMessagesRunNow(); });
        if (g.test(124, [&] { return session.StopRequested; }))
            break;
        g.step(126, [&] { view.setProgressValue(progressPercent(i, view.folderRowCount())); });
        g.step(128, [&] {
            if (i > view.folderRowCount())
                throw app::Failure(QStringLiteral("The folder list has no row %1").arg(i));
            folderPath = view.folderRowText(i - 1);
        });
        g.step(130, [&] {
            view.setProgressText(QStringLiteral("Processing: ") +
                                 app::fs::FileNameOfPath(folderPath));
        });
        g.step(132, [] { app::letWindowMessagesRunNow(); });
        g.step(134, [&] { view.setMousePointer(app::pointer::Busy); });
        std::optional<QByteArray> folder;
        g.step(136,
               [&] { folder = app::fs::getFolder(app::fs::nativePath(folderPath)).nativePath(); });
        if (!folder)
            continue; // reported; a path that is no folder is not searched
        g.step(138, [&] {
            takePhrase(view, run);
            engine.searchFolder(*folder, Query{run.phrase, run.mode}, run.deep);
        });
    }
}

void endRun(SearchView& view, app::Dialogs& dialogs, const SearchSession& session, app::Guard& g) {
    g.step(142, [&] { view.setFolderListHeader(kFolderListHeader); });
    g.step(144, [&] { view.setMousePointer(app::pointer::Default); });
    g.step(146, [&] { view.setProgressValue(0); });
    g.step(148, [&] { view.setProgressText(kProgressBarText); });
    // The window's close ends the process at once, so what the search read is written now.
    if (session.detailSources)
        session.detailSources->writeStore(kStoreWriteTime);
    g.step(156, [&] { dialogs.messageBox(QStringLiteral("Done."), app::BoxStyle::OkOnly); });
    g.step(158, [&] { view.setStartCaption(session.SavedStartCaption); });
}

} // namespace

// There is no file-system object to create first: the file-system services are plain functions.
void startFinding(SearchView& view, app::Dialogs& dialogs, SearchSession& session,
                  FoundRows& results) {
    app::Guard g(dialogs, app::location::PushButton1Click);
    if (g.test(102, [&] { return view.startCaption() == kStopCaption; })) {
        g.step(172, [&] { view.setStartCaption(session.SavedStartCaption); });
        g.step(174, [&] { session.StopRequested = true; });
        return;
    }
    RunValues run;
    if (g.test(104, [&] {
            run.phrase = view.phrase();
            return isBlank(run.phrase);
        })) {
        g.step(170, [&] {
            dialogs.messageBox(QStringLiteral("Input search for what phrase"),
                               app::BoxStyle::OkOnly);
        });
        return;
    }
    const RunningSearch running(session);
    g.step(106, [&] { session.SavedStartCaption = view.startCaption(); });
    g.step(108, [&] { view.setStartCaption(kStopCaption); });
    g.step(110, [&] { session.StopRequested = false; });
    g.step(112, [&] { view.setMousePointer(app::pointer::Busy); });
    g.step(114, [&] { run.mode = view.matchCase() ? CaseMode::MustAgree : CaseMode::Ignored; });
    g.step(116, [&] { run.deep = view.searchInSubfolders(); });
    if (g.test(118, [&] { return view.folderRowCount() == 0; })) {
        g.step(162, [&] {
            dialogs.messageBox(QStringLiteral("No folders added."), app::BoxStyle::OkOnly);
        });
        g.step(164, [&] { view.setStartCaption(session.SavedStartCaption); });
    } else {
        g.step(120, [&] { searchEveryListFolder(view, session, results, g, run); });
        endRun(view, dialogs, session, g);
    }
    g.unlabelledStep([&] { session.StopRequested = true; });
    g.step(168, [&] { view.setMousePointer(app::pointer::Default); });
}

} // namespace quillmere::search
