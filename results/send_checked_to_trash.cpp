#include "results/send_checked_to_trash.h"

#include "app/escaped_text.h"
#include "app/event_pump.h"
#include "app/guard.h"
#include "results/recycle_bin.h"
#include "results/unhandled_items.h"

#include <algorithm>
#include <string_view>

namespace quillmere::results {

namespace {

// Whether a folder above the path is one of `folders` (sorted). Each of the path's own folders is
// looked up: matching every gone item against every trashed folder held the window for most of a
// minute at 50,000 folders ticked with their files.
bool liesInside(const QByteArray& path, const std::vector<std::string_view>& folders) {
    const std::string_view whole(path.constData(), size_t(path.size()));
    for (size_t slash = whole.rfind('/'); slash != 0 && slash != std::string_view::npos;
         slash = whole.rfind('/', slash - 1)) {
        if (std::binary_search(folders.begin(), folders.end(), whole.substr(0, slash)))
            return true;
    }
    return false;
}

// The items that are still in place, or were gone before the click; an entry that went to the
// Trash inside a ticked folder was handled with it.
std::vector<UnhandledItem> unhandledItems(const std::vector<ResultRow>& rows,
                                          const std::vector<TrashOutcome>& outcomes) {
    std::vector<std::string_view> trashed;
    for (size_t i = 0; i < rows.size() && i < outcomes.size(); ++i) {
        if (outcomes[i].result == TrashOutcome::Result::Trashed)
            trashed.emplace_back(rows[i].nativePath.constData(), size_t(rows[i].nativePath.size()));
    }
    std::sort(trashed.begin(), trashed.end());
    std::vector<UnhandledItem> items;
    for (size_t i = 0; i < rows.size() && i < outcomes.size(); ++i) {
        switch (outcomes[i].result) {
        case TrashOutcome::Result::Trashed:
            break;
        case TrashOutcome::Result::AlreadyGone:
            if (!liesInside(rows[i].nativePath, trashed))
                items.push_back({rows[i].displayPath, QStringLiteral("It no longer exists")});
            break;
        case TrashOutcome::Result::Failed:
            items.push_back({rows[i].displayPath, outcomes[i].reason});
            break;
        }
    }
    return items;
}

} // namespace

QString trashQuestion(const std::vector<ResultRow>& rows) {
    if (rows.size() == 1)
        return QStringLiteral("Are you sure you want to move \"%1\" to the Trash?")
            .arg(app::escapedText(rows.front().displayPath));
    return QStringLiteral("Are you sure you want to move these %1 items to the Trash?")
        .arg(rows.size());
}

void sendCheckedToRecycleBin(ResultsView& view, app::Dialogs& dialogs, ResultsModel& results) {
    app::Guard g(dialogs, app::location::PushButton10Click);
    std::vector<ResultRow> collected;
    g.step(106, [&] { collected.clear(); });
    int rowCount = 0;
    g.step(108, [&] { rowCount = results.rowCount(); });
    for (int i = 0; i < rowCount; ++i) {
        g.step(110, [] { app::letWindowMessagesRun(); });
        // A command that ran meanwhile may have shortened the list.
        if (i >= results.rowCount())
            break;
        if (g.test(112, [&] { return results.row(i).checked; }))
            g.step(114, [&] { collected.push_back(results.row(i)); });
    }
    std::vector<TrashOutcome> outcomes;
    if (!collected.empty()) {
        g.step(122, [&] {
            const app::BoxAnswer answer = dialogs.messageBox(
                trashQuestion(collected), app::BoxStyle::YesNo | app::BoxStyle::Question);
            if (answer != app::BoxAnswer::Yes)
                return;
            std::vector<QByteArray> paths;
            paths.reserve(collected.size());
            for (const ResultRow& row : collected)
                paths.push_back(row.nativePath);
            // The paths are the list's own copies: a command run between two items cannot change
            // which files go.
            outcomes = SendToRecycleBin(paths, [] { app::letWindowMessagesRun(); });
        });
        if (g.test(124, [&] { return !outcomes.empty(); }))
            g.step(126, [&] { RemoveCheckedRows(results); });
    }
    g.step(128, [&] { view.redrawResults(); });
    g.step(130, [&] {
        const QString summary =
            unhandledItemsMessage(unhandledItems(collected, outcomes), int(collected.size()),
                                  QStringLiteral("moved to the Trash"));
        if (!summary.isEmpty())
            dialogs.messageBox(summary, app::BoxStyle::Exclamation);
    });
}

} // namespace quillmere::results
