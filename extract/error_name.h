#pragma once

#include <cstring>
#include <string>

namespace quillmere::extract {

// "EPERM" rather than a sentence: short enough for --describe-sandbox, exact enough to look up.
inline std::string errorName(int error) {
    const char* name = strerrorname_np(error);
    return name ? name : std::to_string(error);
}

} // namespace quillmere::extract
