// GLib names a struct member "signals", which Qt's keyword macros would rewrite.
#include <gio/gio.h>

#include "results/recycle_bin.h"

#include "app/escaped_text.h"
#include "app/fs/path_entry.h"

namespace quillmere::results {

namespace {

TrashOutcome trashOne(const QByteArray& path) {
    using Result = TrashOutcome::Result;
    // A relative path would be taken from the current folder, and a NUL would cut the path short:
    // either could reach another file than the one found.
    if (!path.startsWith('/') || path.contains('\0'))
        return {Result::Failed, QStringLiteral("Not a full path")};
    if (app::fs::pathEntryGone(path))
        return {Result::AlreadyGone, {}};
    GFile* file = g_file_new_for_path(path.constData());
    GError* error = nullptr;
    const bool trashed = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (trashed)
        return {Result::Trashed, {}};
    // GIO's words may hold the path as it is, with its line breaks and reversing marks.
    TrashOutcome outcome{Result::Failed, app::escapedText(QString::fromUtf8(error->message))};
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND))
        outcome.result = Result::AlreadyGone;
    g_error_free(error);
    return outcome;
}

} // namespace

std::vector<TrashOutcome> SendToRecycleBin(const std::vector<QByteArray>& nativePaths,
                                           const std::function<void()>& betweenItems) {
    std::vector<TrashOutcome> outcomes;
    outcomes.reserve(nativePaths.size());
    for (const QByteArray& path : nativePaths) {
        outcomes.push_back(trashOne(path));
        if (betweenItems)
            betweenItems();
    }
    return outcomes;
}

int RemoveCheckedRows(ResultsModel& results) {
    return results.removeRowsIf(
        [](const ResultRow& row) { return row.checked && app::fs::pathEntryGone(row.nativePath); });
}

} // namespace quillmere::results
