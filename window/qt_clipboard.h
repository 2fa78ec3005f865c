#pragma once

#include "results/clipboard.h"

class QMimeData;

namespace quillmere::window {

// The desktop's clipboard (QClipboard), plain text. On X11 a text set here is then handed to the
// desktop's clipboard manager, where one runs, so it outlives the window.
class QtClipboard : public results::Clipboard {
public:
    bool clear() override;
    bool setText(const QString& text) override;
};

// The one the window uses.
results::Clipboard& systemClipboard();

// Puts `data` on the desktop's clipboard, which takes it over, and hands it to the clipboard
// manager as setText does.
void setClipboardMimeData(QMimeData* data);

} // namespace quillmere::window
