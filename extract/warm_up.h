#pragma once

namespace quillmere::extract {

// Everything the readers would load from disk on first use is loaded now, before the sandbox
// forbids opening files: the locale and time zone, the character conversions exiv2 asks the C
// library for, libheif's plugins, poppler's global state, each reader's own set-up.
void warmUp();

} // namespace quillmere::extract
