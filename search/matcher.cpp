#include "search/matcher.h"

#include "search/detail_columns.h"

namespace quillmere::search {

bool valueMatches(const QString& value, const Query& query) {
    if (value.isEmpty() || value == QLatin1String("Filename"))
        return false;
    return value.contains(query.phrase, query.mode == CaseMode::Ignored ? Qt::CaseInsensitive
                                                                        : Qt::CaseSensitive);
}

namespace {

ItemMatch testColumns(DetailColumns& details, const Query& query, int from, int to) {
    for (int column = from; column < to; ++column) {
        QString value;
        try {
            value = details.value(column);
        } catch (...) {
            continue; // out of memory, say: the other columns may still hold the phrase
        }
        if (valueMatches(value, query))
            return {column, std::move(value)};
    }
    return {};
}

} // namespace

ItemMatch testItem(DetailColumns& details, const Query& query) {
    if (!details.exists())
        return {};
    return testColumns(details, query, 0, details::column::Count);
}

void testItems(std::span<const QByteArray> nativePaths, const Query& query, DetailSources& sources,
               const std::function<void(size_t index, ItemMatch match)>& decided) {
    std::vector<DetailColumns> items;
    items.reserve(nativePaths.size());
    std::vector<DetailColumns*> undecided;
    std::vector<size_t> where;
    for (size_t i = 0; i < nativePaths.size(); ++i) {
        DetailColumns& details = items.emplace_back(nativePaths[i], sources);
        ItemMatch match;
        // Whatever goes wrong with one item leaves it unmatched, and the others are tested.
        try {
            if (details.exists())
                match = testColumns(details, query, 0, details::column::FirstEmbedded);
            if (!match.matched() && details.exists()) {
                undecided.push_back(&details);
                where.push_back(i);
                continue;
            }
        } catch (...) {
            match = {};
        }
        decided(i, std::move(match));
    }
    DetailColumns::readEmbeddedTogether(undecided);
    for (size_t u = 0; u < undecided.size(); ++u) {
        ItemMatch match;
        try {
            match = testColumns(*undecided[u], query, details::column::FirstEmbedded,
                                details::column::Count);
        } catch (...) {
            match = {};
        }
        decided(where[u], std::move(match));
    }
}

ItemMatch testItem(const QByteArray& nativePath, const Query& query, DetailSources& sources) {
    DetailColumns details(nativePath, sources);
    return testItem(details, query);
}

QString matchLabel(const QString& columnTitle, const QString& value, LabelForm form) {
    if (columnTitle.isEmpty() && form == LabelForm::OthersWhenUntitled)
        return QStringLiteral("[Others] ") + value;
    return QLatin1Char('[') + columnTitle + QStringLiteral("] ") + value;
}

QString matchLabel(const ItemMatch& match, LabelForm form) {
    return matchLabel(DetailColumns::title(match.column), match.value, form);
}

} // namespace quillmere::search
