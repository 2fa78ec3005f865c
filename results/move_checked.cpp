#include "results/move_checked.h"

#include "app/application_values.h"
#include "app/escaped_text.h"
#include "app/event_pump.h"
#include "app/folder_picker.h"
#include "app/fs/file_helpers.h"
#include "app/fs/file_system.h"
#include "app/fs/path_cleanup.h"
#include "app/fs/safe_move.h"
#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "results/recycle_bin.h"
#include "results/unhandled_items.h"

#include <QHash>

#include <vector>

namespace quillmere::results {

namespace {

const QString kReplace = QStringLiteral("Replace");
const QString kKeepBoth = QStringLiteral("Keep Both");
const QString kSkip = QStringLiteral("Skip");

QString shown(const QByteArray& path) {
    return app::escapedText(app::fs::displayPath(path));
}

// One click's record: where files went, and which could not go.
struct MoveRecord {
    QHash<QByteArray, QByteArray> movedHereFrom; // destination -> source, this click only
    std::vector<UnhandledItem> unhandled;
    int tried = 0;

    void note(const ResultRow& row, const app::fs::CopyOutcome& copied, const QString& leftBehind) {
        ++tried;
        if (copied.result != app::fs::CopyOutcome::Result::Moved &&
            copied.result != app::fs::CopyOutcome::Result::Copied) {
            unhandled.push_back({row.displayPath, copied.reason});
            return;
        }
        movedHereFrom.insert(copied.destination, row.nativePath);
        if (!leftBehind.isEmpty())
            unhandled.push_back(
                {row.displayPath, QStringLiteral("Copied to \"%1\", but the original could not "
                                                 "be deleted: %2")
                                      .arg(shown(copied.destination), leftBehind)});
    }
};

// Asks about one taken name. Skip is the default and the answer to Escape: it loses nothing and
// changes nothing.
app::fs::ClashQuestion clashQuestion(app::Dialogs& dialogs, const MoveRecord& record) {
    return [&dialogs, &record](const QByteArray& source, const QByteArray& destination,
                               bool takenByFolder) {
        app::ChoiceRequest request;
        request.text = takenByFolder ? QStringLiteral("A folder named \"%1\" is in the way.")
                                     : QStringLiteral("A file named \"%1\" is already there.");
        request.text = request.text.arg(shown(app::fs::FileNameOfPath(destination)));
        if (const auto from = record.movedHereFrom.find(destination);
            from != record.movedHereFrom.end())
            request.text += QStringLiteral(" It was moved there a moment ago from \"%1\".")
                                .arg(shown(app::fs::FolderPart(*from)));
        request.text +=
            QStringLiteral("\r\rMoving: %1\r\rKeep both names the moved file \"%2\".")
                .arg(shown(source),
                     shown(app::fs::FileNameOfPath(app::fs::freeNameBeside(destination))));
        if (!takenByFolder)
            request.buttons << kReplace;
        request.buttons << kKeepBoth << kSkip;
        request.defaultButton = request.escapeButton = int(request.buttons.size()) - 1;
        const QString answer = request.buttons.value(dialogs.choose(request), kSkip);
        if (answer == kReplace)
            return app::fs::ClashAnswer::Replace;
        return answer == kKeepBoth ? app::fs::ClashAnswer::KeepBoth : app::fs::ClashAnswer::Skip;
    };
}

// The steps for one ticked row: the file goes to the folder, by a rename or a checked copy whose
// source is deleted only once the copy stands.
void moveRow(app::Guard& g, const ResultRow& row, const QByteArray& folder,
             const app::fs::ClashQuestion& askAboutClash, MoveRecord& record) {
    QByteArray destination;
    app::fs::CopyOutcome copied{
        app::fs::CopyOutcome::Result::Failed, {}, QStringLiteral("The move failed"), {}};
    g.step(124, [&] { destination = folder + app::fs::FileNameOfPath(row.nativePath); });
    g.step(126,
           [&] { copied = app::fs::CopyFileChecked(row.nativePath, destination, askAboutClash); });
    QString leftBehind;
    g.step(128, [&] {
        if (copied.result == app::fs::CopyOutcome::Result::Copied)
            leftBehind = app::fs::DeleteFileForced(row.nativePath, copied.copied);
    });
    record.note(row, copied, leftBehind);
}

} // namespace

void moveCheckedToFolder(ResultsView& view, app::Dialogs& dialogs, ResultsModel& results) {
    app::Guard g(dialogs, app::location::PushButton8Click);
    // Before the first row there is none to name: the report ends with "File: " alone.
    g.setFileText(QString());
    QString chosen;
    g.step(106, [&] {
        app::applicationValues().LastFolder =
            app::GetSetting(app::settingkey::LastFolder, QString());
        chosen = app::BrowseForFolder(dialogs, app::kFolderPickerTitle,
                                      app::applicationValues().LastFolder);
    });
    if (g.test(108, [&] { return chosen.isEmpty(); }))
        return;
    g.step(333, [&] { app::applicationValues().LastFolder = chosen; });
    g.step(334, [&] {
        app::SaveSetting(app::settingkey::LastFolder, app::applicationValues().LastFolder);
    });
    QByteArray folder = app::fs::nativePath(chosen);
    if (g.test(110, [&] { return !folder.endsWith('/'); }))
        g.step(112, [&] { folder += '/'; });
    g.step(114, [&] { view.setMousePointer(app::pointer::Busy); });

    MoveRecord record;
    const app::fs::ClashQuestion askAboutClash = clashQuestion(dialogs, record);
    int rowCount = 0;
    g.step(118, [&] { rowCount = results.rowCount(); });
    for (int i = 0; i < rowCount; ++i) {
        g.step(120, [] { app::letWindowMessagesRun(); });
        // A command that ran meanwhile may have shortened the list.
        if (i >= results.rowCount())
            break;
        // A copy: the checks below let window messages run, which may change the list.
        const ResultRow row = results.row(i); // NOLINT(performance-unnecessary-copy-initialization)
        g.setFileText(app::escapedText(row.displayPath));
        if (!g.test(122, [&] { return row.checked; }))
            continue;
        moveRow(g, row, folder, askAboutClash, record);
    }
    g.step(132, [&] { RemoveCheckedRows(results); });
    g.step(142, [&] { view.redrawResults(); });
    g.step(144, [&] { view.setMousePointer(app::pointer::Default); });
    g.step(146, [&] {
        const QString summary =
            unhandledItemsMessage(record.unhandled, record.tried,
                                  QStringLiteral("moved to \"%1\"").arg(app::escapedText(chosen)));
        if (!summary.isEmpty())
            dialogs.messageBox(summary, app::BoxStyle::Exclamation);
    });
}

} // namespace quillmere::results
