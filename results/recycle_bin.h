#pragma once

#include "results/results_model.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// The Trash module: hands paths to the desktop's Trash and takes rows out of the results list.
namespace quillmere::results {

// What became of one path handed to the Trash.
struct TrashOutcome {
    enum class Result { Trashed, AlreadyGone, Failed };
    Result result = Result::Failed;
    QString reason; // the platform's words, when it failed
};

// Sends each entry, file or folder with its contents, to the Trash of its own file system (the
// home Trash, or the Trash folder of another mount) with the record the file manager needs to
// restore it. Acts on the exact bytes of each path; a path that is not absolute or holds a NUL
// byte is refused. One outcome per path, in order. `betweenItems` runs after each path: a Trash
// takes about half a millisecond per file, so a hundred thousand would hold the window for a
// minute without it.
std::vector<TrashOutcome> SendToRecycleBin(const std::vector<QByteArray>& nativePaths,
                                           const std::function<void()>& betweenItems = {});

// Removes the ticked rows whose own entry no longer exists; a ticked row whose file is still in
// its place, or cannot be looked at, keeps its place and its tick. Returns how many rows left.
int RemoveCheckedRows(ResultsModel& results);

} // namespace quillmere::results
