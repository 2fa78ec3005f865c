#include "search/matcher.h"

#include "search/detail_columns.h"

namespace quillmere::search {

bool valueMatches(const QString& value, const Query& query) {
    if (value.isEmpty() || value == QLatin1String("Filename"))
        return false;
    return value.contains(query.phrase, query.mode == CaseMode::Ignored ? Qt::CaseInsensitive
                                                                        : Qt::CaseSensitive);
}

ItemMatch testItem(DetailColumns& details, const Query& query) {
    if (!details.exists())
        return {};
    for (int column = 0; column < details::column::Count; ++column) {
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

ItemMatch testItem(const QByteArray& nativePath, const Query& query) {
    DetailColumns details(nativePath);
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
