#pragma once

#include <QIcon>

namespace quillmere {

// Our application icon: a results sheet under a magnifying glass, painted at every size that
// window managers ask for, so it needs no image plugin and no file.
QIcon applicationIcon();

// Names the running application for the desktop (its .desktop file). It sets no display name:
// Qt would append that to every dialog's title ("Application Error — Quillmere").
void nameApplication();

} // namespace quillmere
