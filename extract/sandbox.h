#pragma once

#include "extract/resource_limits.h"

#include <string>
#include <vector>

namespace quillmere::extract {

// The layers of the sandbox, in the order they go up.
enum class Layer {
    Namespaces,
    EmptyRoot,
    Capabilities,
    NoNewPrivileges,
    Landlock,
    Limits,
    Environment,
    Descriptors,
    SystemCalls,
    Helpers, // what each helper forked from the zygote adds
};

// Which layers hold, and why the others do not: for --describe-sandbox and the tests.
class SandboxReport {
public:
    void holds(Layer layer, std::string detail);
    void skipped(Layer layer, std::string reason);
    bool has(Layer layer) const;
    // One line a layer: "<name>: holds (<detail>)" or "<name>: skipped: <reason>".
    std::string describe() const;

private:
    struct Entry {
        Layer layer;
        bool holds;
        std::string detail;
    };
    std::vector<Entry> entries_;
};

// First, while the process has one thread: its own user and mount namespace where the kernel
// allows them. Reading files (libraries, locale, time zone) still works afterwards.
void enterNamespaces(SandboxReport& report);

// Once every library has loaded what it needs from disk: the rest, for good and in this order,
// because each step needs what the one before still allows: an empty root, no capabilities, no
// new privileges, Landlock, lowered limits, an environment of locale and time zone only, /dev/null
// as the standard streams and nothing open but `socket` (the zygote's), and the seccomp filter.
// False, with the reason, when a layer that must hold could not be put in place: the process must
// then read nothing. The layers the kernel may lack (namespaces, empty root, Landlock) are
// reported.
bool sealSandbox(int socket, const SandboxLimits& limits, SandboxReport& report,
                 std::string& failure);

} // namespace quillmere::extract
