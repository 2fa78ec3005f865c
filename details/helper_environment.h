#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmere::details {

// The environment of a reader helper: the locale and time zone the readers write dates and text
// in, and nothing else. It is chosen when the helper is started, because the strings a process
// was started with stay in its memory whatever it later removes: a secret of the user's session
// that is never passed cannot be read by a helper that was taken over.
bool isReaderVariable(std::string_view entry); // "NAME=value"

// The entries of `environment` (as `environ`) that a helper gets.
std::vector<std::string> readerEnvironment(char** environment);

} // namespace quillmere::details
