#pragma once

#include "extract/syscall_filter.h"

namespace quillmere::extract {

// What a forked helper runs once confined; it talks on details::HelperSocketFd and never returns.
using ServeHelper = void (*)();

// The zygote's work once sealed: for each request of the engine on its socket, forks a helper that
// gets the socket the engine sent, closes the zygote's own, dies with the zygote, lowers its
// processor-time limit to `helperCpuSeconds` and adds `helperFilter`; reaps helpers when the
// engine asks. Ends when the engine closes its end.
[[noreturn]] void serveForks(const CompiledFilter& helperFilter, int helperCpuSeconds,
                             ServeHelper serve);

} // namespace quillmere::extract
