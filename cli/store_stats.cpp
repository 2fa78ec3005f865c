#include "cli/store_stats.h"

#include "details/value_formats.h"
#include "search/store/detail_store.h"

namespace quillmere::cli {

QByteArray storeStatsLine(const search::store::StoreFigures* figures) {
    if (!figures)
        return "detail store: not used (--no-cache)\n";
    if (!figures->setAside.isEmpty())
        return "detail store: not used in this run: " + figures->setAside.toUtf8() + '\n';
    const quint64 asked = figures->hits + figures->misses;
    const double rate = asked > 0 ? 100.0 * double(figures->hits) / double(asked) : 0.0;
    return "detail store: " + QByteArray::number(figures->entries) + " entries, " +
           details::fileSizeText(figures->bytes).toUtf8() + ", hit rate " +
           QByteArray::number(rate, 'f', 1) + "% (" + QByteArray::number(figures->hits) + " of " +
           QByteArray::number(asked) + " files)\n";
}

} // namespace quillmere::cli
