#pragma once

#include <string>

namespace quillmere::extract {

enum class LandlockOutcome {
    Holds,       // a ruleset that grants nothing is in force
    Unavailable, // the kernel has no Landlock, or it is turned off
    Failed,      // Landlock is there but refused the ruleset
};

// Puts this process (and every process it forks) under a Landlock ruleset that handles every
// access right the kernel's Landlock knows, files first, and grants none: nothing can be opened,
// created, renamed, truncated or executed by path. Needs no_new_privs. `detail` names the Landlock
// version, or why there is none.
LandlockOutcome denyAllFileAccess(std::string& detail);

} // namespace quillmere::extract
