#pragma once

#include <QString>

namespace quillmere::results {

// The system clipboard as the copy command uses it. Each call says whether the platform took it;
// the window gives the real clipboard, tests a fake.
class Clipboard {
public:
    virtual ~Clipboard() = default;

    virtual bool clear() = 0;
    // Replaces the contents with the text as plain text.
    virtual bool setText(const QString& text) = 0;
};

} // namespace quillmere::results
