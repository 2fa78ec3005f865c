#pragma once

#include <string>

namespace quillmere::extract {

// Moves this process into a user namespace of its own where the kernel allows it (its user and
// group ids mapped to themselves), and into a mount namespace whose mounts no longer propagate to
// or from the rest of the system. The kernel allows a new user namespace only to a process with a
// single thread: call this first. True when the mount namespace holds; `detail` says which
// namespaces hold, or why none does.
bool enterOwnNamespaces(std::string& detail);

// Replaces the root of the file system with an empty, read-only tmpfs and lets go of the old
// tree, so that no path names anything: the only layer that also hides which files exist from
// calls that take a path. Needs the mount namespace and the capabilities it came with.
bool enterEmptyRoot(std::string& detail);

} // namespace quillmere::extract
