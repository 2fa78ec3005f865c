#!/usr/bin/env bash
# Retakes the pictures of the user guide (docs/guide-*.png) and of the README
# (docs/screenshot-search.png) from the real window, on a virtual X server, so that they show
# the window as it is now. Run it after the window or a command changes, then look at them.
#   bash scripts/screenshots.sh [BUILD_FOLDER]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
cmake -S . -B "$build" -G Ninja -DQUILLMERE_TESTS=ON >/dev/null
cmake --build "$build" --target guide_screenshots search_screenshot

# The window's real platform under Xvfb; without it, Qt's offscreen platform paints the same.
on_display() {
    if command -v xvfb-run >/dev/null; then
        xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" "$@"
    else
        QT_QPA_PLATFORM=offscreen "$@"
    fi
}
on_display "$build/tests/window/guide_screenshots" "$build/app" docs
on_display "$build/tests/window/search_screenshot" docs/screenshot-search.png
