#pragma once

#include <QIcon>
#include <QImage>

#include <array>

namespace quillmere::window {

// The sizes the window gets and the desktop's icon theme is given.
inline constexpr std::array kApplicationIconSizes = {16, 24, 32, 48, 64, 128, 256};

// Our application icon: a results sheet under a magnifying glass, painted at every size that
// window managers ask for, so it needs no image plugin and no file. packaging/quillmere.svg is
// the same drawing for the desktop's icon theme; change both together.
QIcon applicationIcon();

// One size of it. Paints on an image, so it also runs where no display exists (at build time).
QImage paintApplicationIcon(int size);

// Names the running application for the desktop (its .desktop file). It sets no display name:
// Qt would append that to every dialog's title ("Application Error — Quillmere").
void nameApplication();

} // namespace quillmere::window
