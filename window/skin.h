#pragma once

#include <QString>

class QWidget;

// The optional skin: a Qt style sheet in "x/o.cjs" beside the executable.
namespace quillmere::window {

inline const QString kSkinFileRelativePath = QStringLiteral("x/o.cjs");

// Does nothing and returns false unless the skin file is a regular file. Otherwise gives the
// window, its frames and its check boxes the button-face colour, applies the style sheet and
// returns true. Throws Failure when the file cannot be read.
bool applySkin(QWidget& window, const QString& programFolder);

} // namespace quillmere::window
