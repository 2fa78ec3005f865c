#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <span>
#include <vector>

namespace quillmere::search {

class DetailColumns;
class DetailSources;

// 0 and 1 are the values the window's option gives: case must agree, or case is ignored.
enum class CaseMode { MustAgree = 0, Ignored = 1 };

// Which label an item gets when its matching column has no title: items directly in the folder
// being searched say "[Others] ", items tested as a sub-folder's contents keep the bare "[] ".
enum class LabelForm { OthersWhenUntitled, Bracketed };

// The outcome of testing one item: the lowest-numbered detail column whose value holds the
// phrase, or none.
struct ItemMatch {
    int column = -1;
    QString value;
    bool matched() const { return column >= 0; }
};

struct Query {
    QString phrase;
    CaseMode mode = CaseMode::MustAgree;
};

// True when the value takes part ("" and the column heading "Filename" never do) and holds the
// phrase under the mode.
bool valueMatches(const QString& value, const Query& query);

// Tests columns 0 to 40 in order and stops at the first that matches. An entry that is gone by
// the time it is looked at matches nothing; one that cannot be looked at, by its name alone.
ItemMatch testItem(DetailColumns& details, const Query& query);
ItemMatch testItem(const QByteArray& nativePath, const Query& query, DetailSources& sources);
// The answer for the item at `index` of the paths given.
struct ItemAnswer {
    size_t index = 0;
    ItemMatch match;
};
// The same for many items, with the same answers: every item's columns 0 to 11 first, then the
// embedded details of those still unmatched read together, then their columns 12 to 40. Each
// item that its entry decides goes to `decided` at once, so it waits for no file; the items
// decided by their embedded details go together, once all are known.
void testItems(std::span<const QByteArray> nativePaths, const Query& query, DetailSources& sources,
               const std::function<void(std::vector<ItemAnswer>& answers)>& decided);

QString matchLabel(const QString& columnTitle, const QString& value, LabelForm form);
QString matchLabel(const ItemMatch& match, LabelForm form); // titled by DetailColumns::title

} // namespace quillmere::search
