#include "results/clipboard_copy.h"

#include "app/event_pump.h"
#include "app/guard.h"
#include "results/clipboard.h"
#include "results/fixed_width_text.h"
#include "results/results_model.h"

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
    ClearClipboard(clipboard);
    SetClipboardText(clipboard, text);
}

void copyResultsToClipboard(app::Dialogs& dialogs, const ResultsModel& list, Clipboard& clipboard) {
    app::Guard g(dialogs, app::location::PushButton5Click);
    g.step(100, [&] { CopyListviewToClipboard(list, clipboard); });
    g.step(102, [&] { dialogs.messageBox(kCopiedMessage); });
}

} // namespace quillmere::results
