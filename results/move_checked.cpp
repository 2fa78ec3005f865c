#include "results/move_checked.h"

#include "app/application_values.h"
#include "app/event_pump.h"
#include "app/file_system.h"
#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "folders/folder_picker.h"
#include "folders/path_cleanup.h"
#include "results/file_helpers.h"
#include "results/recycle_bin.h"
#include "results/safe_move.h"
#include "results/unhandled_items.h"

#include <QHash>

#include <vector>

namespace quillmere {

namespace {

const QString kReplace = QStringLiteral("Replace");
const QString kKeepBoth = QStringLiteral("Keep Both");
const QString kSkip = QStringLiteral("Skip");

QString shown(const QByteArray& path) {
    return fs::displayPath(path);
}

// One click's record: where files went, and which could not go.
struct MoveRecord {
    QHash<QByteArray, QByteArray> movedHereFrom; // destination -> source, this click only
    std::vector<UnhandledItem> unhandled;
    int tried = 0;

    void note(const ResultRow& row, const CopyOutcome& copied, const QString& leftBehind) {
        ++tried;
        if (copied.result != CopyOutcome::Result::Moved &&
            copied.result != CopyOutcome::Result::Copied) {
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
ClashQuestion clashQuestion(Dialogs& dialogs, const MoveRecord& record) {
    return [&dialogs, &record](const QByteArray& source, const QByteArray& destination,
                               bool takenByFolder) {
        ChoiceRequest request;
        request.text = takenByFolder ? QStringLiteral("A folder named \"%1\" is in the way.")
                                     : QStringLiteral("A file named \"%1\" is already there.");
        request.text = request.text.arg(shown(FileNameOfPath(destination)));
        if (const auto from = record.movedHereFrom.find(destination);
            from != record.movedHereFrom.end())
            request.text += QStringLiteral(" It was moved there a moment ago from \"%1\".")
                                .arg(shown(FolderPart(*from)));
        request.text += QStringLiteral("\r\rMoving: %1\r\rKeep both names the moved file \"%2\".")
                            .arg(shown(source), shown(FileNameOfPath(freeNameBeside(destination))));
        if (!takenByFolder)
            request.buttons << kReplace;
        request.buttons << kKeepBoth << kSkip;
        request.defaultButton = request.escapeButton = int(request.buttons.size()) - 1;
        const QString answer = request.buttons.value(dialogs.choose(request), kSkip);
        if (answer == kReplace)
            return ClashAnswer::Replace;
        return answer == kKeepBoth ? ClashAnswer::KeepBoth : ClashAnswer::Skip;
    };
}

// The steps for one ticked row: the file goes to the folder, by a rename or a checked copy whose
// source is deleted only once the copy stands.
void moveRow(Guard& g, const ResultRow& row, const QByteArray& folder,
             const ClashQuestion& askAboutClash, MoveRecord& record) {
    QByteArray destination;
    CopyOutcome copied{CopyOutcome::Result::Failed, {}, QStringLiteral("The move failed")};
    g.step(124, [&] { destination = folder + FileNameOfPath(row.nativePath); });
    g.step(126, [&] { copied = CopyFileChecked(row.nativePath, destination, askAboutClash); });
    QString leftBehind;
    g.step(128, [&] {
        if (copied.result == CopyOutcome::Result::Copied)
            leftBehind = DeleteFileForced(row.nativePath);
    });
    record.note(row, copied, leftBehind);
}

} // namespace

void moveCheckedToFolder(ResultsView& view, Dialogs& dialogs, ResultsModel& results) {
    Guard g(dialogs, location::PushButton8Click);
    // Before the first row there is none to name: the report ends with "File: " alone.
    g.setFileText(QString());
    QString chosen;
    g.step(106, [&] {
        applicationValues().LastFolder = GetSetting(settingkey::LastFolder, QString());
        chosen = BrowseForFolder(dialogs, kFolderPickerTitle, applicationValues().LastFolder);
    });
    if (g.test(108, [&] { return chosen.isEmpty(); }))
        return;
    g.step(333, [&] { applicationValues().LastFolder = chosen; });
    g.step(334, [&] { SaveSetting(settingkey::LastFolder, applicationValues().LastFolder); });
    QByteArray folder = fs::nativePath(chosen);
    if (g.test(110, [&] { return !folder.endsWith('/'); }))
        g.step(112, [&] { folder += '/'; });
    g.step(114, [&] { view.setMousePointer(pointer::Busy); });

    MoveRecord record;
    const ClashQuestion askAboutClash = clashQuestion(dialogs, record);
    int rowCount = 0;
    g.step(118, [&] { rowCount = results.rowCount(); });
    for (int i = 0; i < rowCount; ++i) {
        g.step(120, [] { letWindowMessagesRun(); });
        // A command that ran meanwhile may have shortened the list.
        if (i >= results.rowCount())
            break;
        const ResultRow row = results.row(i);
        g.setFileText(row.displayPath);
        if (!g.test(122, [&] { return row.checked; }))
            continue;
        moveRow(g, row, folder, askAboutClash, record);
    }
    g.step(132, [&] { RemoveCheckedRows(results); });
    g.step(142, [&] { view.redrawResults(); });
    g.step(144, [&] { view.setMousePointer(pointer::Default); });
    g.step(146, [&] {
        const QString summary = unhandledItemsMessage(
            record.unhandled, record.tried, QStringLiteral("moved to \"%1\"").arg(chosen));
        if (!summary.isEmpty())
            dialogs.messageBox(summary, boxstyle::Exclamation);
    });
}

} // namespace quillmere
