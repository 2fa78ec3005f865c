#pragma once

#include "details/helper_protocol.h"

#include <sys/types.h>

namespace quillmere::extract {

// Only in the helper built for the tests: a file whose first bytes read "QUILLMERE-FAULT " and a
// word makes the helper misbehave the way a broken parser or a taken-over helper would, or probe
// its own sandbox. True when the file was such a file and `answer` holds what the fault left to
// say. `answer` comes with the batch's serial and the file's index set; the hook may send answers
// of its own through the socket, as a taken-over helper would.
bool runFaultHook(int fd, details::Answer& answer);

// For the zygote of the helper built for the tests: a file beside the program, named as the
// program with ".zygote" added, makes it misbehave the way a taken-over zygote would. Read once,
// before the zygote seals itself.
void readZygoteFault(const char* program);
// The process id the zygote tells the engine for the helper it forked as `forked`.
pid_t helperIdToTell(pid_t forked);
// A descriptor the zygote attaches to each answer, or -1.
int descriptorToAttach();

// With QUILLMERE_TEST_THREAD_IN_WARM_UP set, starts a thread that outlives the warm-up, as a
// reader library might.
void startAThreadWhenAsked();

} // namespace quillmere::extract
