#include "results/filters.h"

#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "results/results_model.h"
#include "results/results_view.h"

#include <vector>

namespace quillmere::results {

namespace {

// Whether a path, lower-cased as QString::toLower does, holds the lower-cased phrase, without an
// allocation per row. Most paths are plain ASCII, where lower-casing maps A-Z alone: those are
// searched where they stand. QString::toLower maps each code point on its own, so for any other
// path each code unit's mapping is learnt from it once, on first sight, and reused; a path with a
// surrogate or a letter that lower-cases to more than one unit goes through it whole.
class LowerCaseSearch {
public:
    explicit LowerCaseSearch(const QString& phrase)
        : needle_(phrase.toLower()), needleIsAscii_(isAscii(needle_)), lowered_(0x10000, kUnknown) {
    }

    bool foundIn(const QString& text) {
        if (isAscii(text))
            return needleIsAscii_ && asciiFoundIn(text);
        buffer_.resize(text.size());
        char16_t* out = reinterpret_cast<char16_t*>(buffer_.data());
        for (const QChar c : text) {
            const char16_t lower = lowerUnit(c.unicode());
            if (lower == kNotOneUnit) {
                buffer_ = text.toLower();
                break;
            }
            *out++ = lower;
        }
        return QStringView(buffer_).contains(needle_, Qt::CaseSensitive);
    }

private:
    // Never the mapping of a unit: surrogates go whole through QString::toLower.
    static constexpr char16_t kUnknown = 0xDC00;
    static constexpr char16_t kNotOneUnit = 0xDC01;

    static bool isAscii(QStringView text) {
        char16_t all = 0;
        for (const QChar c : text)
            all |= c.unicode();
        return all < 0x80;
    }

    static char16_t lowerAscii(char16_t c) {
        return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c;
    }

    bool asciiFoundIn(QStringView text) const {
        const qsizetype m = needle_.size();
        if (m == 0)
            return true;
        const auto* h = reinterpret_cast<const char16_t*>(text.utf16());
        const auto* n = reinterpret_cast<const char16_t*>(needle_.utf16());
        for (qsizetype i = 0; i + m <= text.size(); ++i) {
            if (lowerAscii(h[i]) != n[0])
                continue;
            qsizetype j = 1;
            while (j < m && lowerAscii(h[i + j]) == n[j])
                ++j;
            if (j == m)
                return true;
        }
        return false;
    }

    char16_t lowerUnit(char16_t c) {
        if (c < 0x80)
            return lowerAscii(c);
        char16_t& known = lowered_[c];
        if (known == kUnknown) {
            const QString one = QChar::isSurrogate(c) ? QString() : QString(QChar(c)).toLower();
            known = one.size() == 1 ? one.front().unicode() : kNotOneUnit;
        }
        return known;
    }

    const QString needle_;
    const bool needleIsAscii_;
    std::vector<char16_t> lowered_;
    QString buffer_;
};

void removeRows(ResultsModel& list, const QString& phrase, bool whenContained) {
    LowerCaseSearch search(phrase);
    list.removeRowsIf(
        [&](const ResultRow& row) { return search.foundIn(row.displayPath) == whenContained; });
}

void filterCommand(ResultsView& view, app::Dialogs& dialogs, ResultsModel& list,
                   const QString& location, const QString& prompt,
                   void (*filter)(ResultsModel&, const QString&)) {
    app::Guard g(dialogs, location);
    QString phrase;
    g.step(100, [&] { phrase = dialogs.inputBox(prompt); });
    if (g.test(102, [&] { return phrase.isEmpty(); }))
        return;
    g.step(104, [&] { view.setMousePointer(app::pointer::Busy); });
    g.step(106, [&] { filter(list, phrase); });
    g.step(108, [&] { view.setMousePointer(app::pointer::Arrow); });
}

} // namespace

void RemoveRowsContaining(ResultsModel& list, const QString& phrase) {
    removeRows(list, phrase, true);
}

void RemoveRowsNotContaining(ResultsModel& list, const QString& phrase) {
    removeRows(list, phrase, false);
}

void clearResults(app::Dialogs& dialogs, ResultsModel& list) {
    app::Guard g(dialogs, app::location::PushButton6Click);
    g.step(100, [&] { list.clear(); });
}

void removeResultsContaining(ResultsView& view, app::Dialogs& dialogs, ResultsModel& list) {
    filterCommand(view, dialogs, list, app::location::PushButton17Click,
                  QStringLiteral("Remove entries containing: "), RemoveRowsContaining);
}

void removeResultsNotContaining(ResultsView& view, app::Dialogs& dialogs, ResultsModel& list) {
    filterCommand(view, dialogs, list, app::location::PushButton11Click,
                  QStringLiteral("Remove entries not containing: "), RemoveRowsNotContaining);
}

} // namespace quillmere::results
