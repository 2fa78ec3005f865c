#pragma once

#include <QByteArray>

namespace quillmere::search::store {
struct StoreFigures;
}

namespace quillmere::cli {

// The --cache-stats line: the detail store's entries and size and the share of this run's files
// it answered; `figures` is null when the run used no store.
QByteArray storeStatsLine(const search::store::StoreFigures* figures);

} // namespace quillmere::cli
