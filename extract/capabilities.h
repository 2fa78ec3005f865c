#pragma once

#include <string>

namespace quillmere::extract {

// Drops every capability this process holds: effective, permitted, inheritable and ambient, and
// empties the bounding set where it may (that takes CAP_SETPCAP, which root and a new user
// namespace have). A new user namespace grants every capability inside it, so this comes after
// the namespaces. False when any capability is still effective or permitted afterwards.
bool dropCapabilities(std::string& detail);

} // namespace quillmere::extract
