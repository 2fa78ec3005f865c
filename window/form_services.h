#pragma once

#include "app/dialogs.h"
#include "app/help_links.h"

#include <QString>

#include <functional>
#include <memory>

namespace quillmere::search {
class DetailSources;
}

namespace quillmere::window {

// What the main window needs from outside. Every empty member gets the real thing, so only tests
// fill them in.
struct FormServices {
    app::Dialogs* dialogs = nullptr;  // Qt's own dialogs, owned by the window
    QString programFolder;            // the executable's folder
    app::PercentDraw drawPercent;     // seeded from the time of day
    app::UrlOpener openUrl;           // QDesktopServices::openUrl
    std::function<void()> endProcess; // ends the process on the spot
    // Where searches and the details box find details; made with no detail store if not given.
    std::shared_ptr<search::DetailSources> detailSources;
};

} // namespace quillmere::window
