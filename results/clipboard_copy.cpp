#include "results/clipboard_copy.h"

#include "app/event_pump.h"
#include "app/guard.h"
#include "results/clipboard.h"
#include "results/fixed_width_text.h"
#include "results/results_model.h"

#include <functional>
#include <vector>

namespace quillmere::results {

namespace {

constexpr int kClipboardAttempts = 1000;

template <typename Operation> void retried(Operation&& operation) {
    for (int attempt = 0; attempt < kClipboardAttempts; ++attempt) {
        try {
            if (operation())
                return;
        } catch (...) {
            // Another program may hold the clipboard for a moment; the next attempt may get it.
        }
    }
}

const QString kCopiedMessage =
    QStringLiteral("Results have been copied to the clipboard.\r\rClick a text area where you "
                   "normally type and press Ctrl+V to paste the clipboard.");

// No ticked line is longer than the widths, the tabs between them and the line end together.
// Reserving that much up front spares the text its doublings: each copied the whole text so far
// into fresh memory in one go, which held the window for over half a second at a million rows.
// Past a bound the text grows as it goes, as before.
qsizetype lengthAtMost(const ResultsModel& list, int rows, const std::vector<int>& widths,
                       const std::function<void()>& eachRow) {
    constexpr qint64 kMostReserved = qint64(1) << 31;
    qint64 ticked = 0;
    for (int r = 0; r < rows; ++r) {
        eachRow();
        ticked += rowIsTicked(list, r) ? 1 : 0;
    }
    qint64 line = qint64(widths.size()) + 1;
    for (const int width : widths)
        line += width;
    return ticked > 0 && line <= kMostReserved / ticked ? qsizetype(ticked * line) : 0;
}

} // namespace

void ClearClipboard(Clipboard& clipboard) {
    retried([&] { return clipboard.clear(); });
}

void SetClipboardText(Clipboard& clipboard, const QString& text) {
    retried([&] { return clipboard.setText(text); });
}

void CopyListviewToClipboard(const ResultsModel& list, Clipboard& clipboard) {
    const int rows = list.rowCount();
    if (rows == 0)
        return;
    const int columns = list.columnCount();
    const auto yield = [] { app::letWindowMessagesRun(); };
    std::vector<int> widths;
    widths.reserve(size_t(columns));
    for (int c = 0; c < columns; ++c)
        widths.push_back(columnWidth(list, c, rows, 0, yield));

    QString text;
    text.reserve(lengthAtMost(list, rows, widths, yield));
    for (int r = 0; r < rows; ++r) {
        yield();
        if (!rowIsTicked(list, r))
            continue;
        for (int c = 0; c < columns; ++c) {
            yield();
            appendPaddedCell(text, cellText(list, r, c), widths[size_t(c)]);
        }
        endClipboardLine(text);
    }
    // What the bound reserved beyond the text is given back without a copy.
    text.squeeze();
    ClearClipboard(clipboard);
    SetClipboardText(clipboard, text);
}

void copyResultsToClipboard(app::Dialogs& dialogs, const ResultsModel& list, Clipboard& clipboard) {
    app::Guard g(dialogs, app::location::PushButton5Click);
    g.step(100, [&] { CopyListviewToClipboard(list, clipboard); });
    g.step(102, [&] { dialogs.messageBox(kCopiedMessage); });
}

} // namespace quillmere::results
