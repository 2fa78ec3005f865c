#include "results/filters.h"

#include "app/guard.h"
#include "app/mouse_pointer.h"
#include "results/results_model.h"
#include "results/results_view.h"

namespace quillmere::results {

namespace {

// Lower-cases as QString::toLower does; most paths are plain ASCII, and those are done in a
// buffer reused from row to row instead of a new string per row.
class LowerCaser {
public:
    QStringView operator()(const QString& text) {
        for (const QChar c : text) {
            if (c.unicode() >= 0x80) {
                buffer_ = text.toLower();
                return buffer_;
            }
        }
        buffer_.resize(text.size());
        QChar* out = buffer_.data();
        for (const QChar c : text) {
            const char16_t u = c.unicode();
            *out++ = QChar(u >= u'A' && u <= u'Z' ? char16_t(u + (u'a' - u'A')) : u);
        }
        return buffer_;
    }

private:
    QString buffer_;
};

void removeRows(ResultsModel& list, const QString& phrase, bool whenContained) {
    const QString needle = phrase.toLower();
    LowerCaser lower;
    list.removeRowsIf([&](const ResultRow& row) {
        return lower(row.displayPath).contains(needle, Qt::CaseSensitive) == whenContained;
    });
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
