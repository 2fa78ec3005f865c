#pragma once

#include <QString>

#include <vector>

namespace quillmere::results {

// A ticked row whose file the command could not handle, and why.
struct UnhandledItem {
    QString path;
    QString reason;
};

// The one message a file command shows at its end: how many of the items could not be handled
// ("sent to the Trash", "moved to /x"), each with its reason; after the first ten, only how many
// more. Names are escaped as in the text file, so a line break or a direction mark in one cannot
// make it look like another. Empty text when every item was handled.
QString unhandledItemsMessage(const std::vector<UnhandledItem>& items, int itemCount,
                              const QString& whatWasTried);

} // namespace quillmere::results
