#pragma once

#include "results/clipboard.h"

namespace quillmere {

// The desktop's clipboard (QClipboard), plain text.
class QtClipboard : public Clipboard {
public:
    bool clear() override;
    bool setText(const QString& text) override;
};

// The one the window uses.
Clipboard& systemClipboard();

} // namespace quillmere
