#include "search/matcher.h"

#include "search/detail_columns.h"

#include "details/value_formats.h"

#include <algorithm>
#include <bitset>
#include <optional>

namespace quillmere::search {

namespace {

constexpr char16_t asciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c;
}

// Case is ignored for both texts in ASCII: found, or not found when no character beyond ASCII
// was passed over. Qt folds some of those to ASCII letters (the Kelvin sign to "k"), so without
// a match they leave the answer to Qt: no answer then.
std::optional<bool> containsIgnoringAsciiCase(QStringView value, QStringView phrase) {
    if (phrase.isEmpty())
        return std::nullopt;
    for (const QChar c : phrase) {
        if (c.unicode() >= 0x80)
            return std::nullopt;
    }
    const char16_t first = asciiLower(phrase[0].unicode());
    bool beyondAscii = false;
    const qsizetype last = value.size() - phrase.size();
    for (qsizetype at = 0; at < value.size(); ++at) {
        const char16_t c = value[at].unicode();
        if (c >= 0x80) {
            beyondAscii = true;
            continue;
        }
        if (at > last || asciiLower(c) != first)
            continue;
        qsizetype k = 1;
        while (k < phrase.size() &&
               asciiLower(value[at + k].unicode()) == asciiLower(phrase[k].unicode()))
            ++k;
        if (k == phrase.size())
            return true;
    }
    if (beyondAscii)
        return std::nullopt;
    return false;
}

} // namespace

bool valueMatches(const QString& value, const Query& query) {
    if (value.isEmpty() || value == QLatin1String("Filename"))
        return false;
    // Most values and phrases are plain ASCII, and Qt's case folding costs a table look-up for
    // each character.
    if (query.mode == CaseMode::Ignored) {
        if (const std::optional<bool> found = containsIgnoringAsciiCase(value, query.phrase))
            return *found;
    }
    return value.contains(query.phrase, query.mode == CaseMode::Ignored ? Qt::CaseInsensitive
                                                                        : Qt::CaseSensitive);
}

namespace {

using Columns = std::bitset<details::column::Count>;

// True when the phrase has a character that no text made of `characters` alone holds, under the
// query's mode.
bool beyondCharacters(const QString& characters, const Query& query) {
    const bool folded = query.mode == CaseMode::Ignored;
    // Folding works on whole code points; a text of such pairs is left to the full test.
    if (folded &&
        std::any_of(characters.begin(), characters.end(), [](QChar c) { return c.isSurrogate(); }))
        return false;
    for (const QChar p : query.phrase) {
        if (p.isSurrogate())
            continue;
        const char16_t wanted = folded ? p.toCaseFolded().unicode() : p.unicode();
        const bool known =
            std::any_of(characters.begin(), characters.end(), [folded, wanted](QChar c) {
                return (folded ? c.toCaseFolded().unicode() : c.unicode()) == wanted;
            });
        if (!known)
            return true;
    }
    return false;
}

// Columns that no value of can hold the phrase: those are not worked out at all. The size is
// formatted through the locale for every item, and most phrases have a letter no size shows.
Columns columnsBeyondReach(const Query& query) {
    Columns beyond;
    beyond[details::column::Size] = beyondCharacters(details::fileSizeCharacters(), query);
    return beyond;
}

ItemMatch testColumns(DetailColumns& details, const Query& query, int from, int to,
                      const Columns& skipped) {
    for (int column = from; column < to; ++column) {
        if (skipped[size_t(column)])
            continue;
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
    if (details.gone())
        return {};
    return testColumns(details, query, 0, details::column::Count, columnsBeyondReach(query));
}

void testItems(std::span<const QByteArray> nativePaths, const Query& query, DetailSources& sources,
               const std::function<void(std::vector<ItemAnswer>& answers)>& decided) {
    const Columns skipped = columnsBeyondReach(query);
    std::vector<DetailColumns> items;
    items.reserve(nativePaths.size());
    std::vector<DetailColumns*> undecided;
    std::vector<ItemAnswer> answers;
    answers.reserve(nativePaths.size());
    for (size_t i = 0; i < nativePaths.size(); ++i) {
        DetailColumns& details = items.emplace_back(nativePaths[i], sources);
        ItemMatch match;
        // Whatever goes wrong with one item leaves it unmatched, and the others are tested.
        try {
            if (!details.gone())
                match = testColumns(details, query, 0, details::column::FirstEmbedded, skipped);
            if (!match.matched() && !details.gone()) {
                undecided.push_back(&details);
                continue;
            }
        } catch (...) {
            match = {};
        }
        // At once: telling whether the next item is a folder or what its content is may take a
        // file-system call of any length.
        answers.push_back({i, std::move(match)});
        decided(answers);
        answers.clear();
    }
    // Each item is tested once its file is read, and then let go: a group's files may hold a
    // megabyte of details each.
    DetailColumns::readEmbeddedTogether(undecided, [&](DetailColumns& item) {
        ItemMatch match;
        try {
            match = testColumns(item, query, details::column::FirstEmbedded, details::column::Count,
                                skipped);
        } catch (...) {
            match = {};
        }
        answers.push_back({size_t(&item - items.data()), std::move(match)});
        item = DetailColumns(QByteArray(), sources);
    });
    // The files are read by now: the rest is decided in one go, and told together.
    if (!answers.empty())
        decided(answers);
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
