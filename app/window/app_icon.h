#pragma once

#include <QIcon>

namespace quillmere {

// Our application icon: a results sheet under a magnifying glass, painted at every size that
// window managers ask for, so it needs no image plugin and no file.
QIcon applicationIcon();

} // namespace quillmere
