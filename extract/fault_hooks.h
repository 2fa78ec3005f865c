#pragma once

#include "details/helper_protocol.h"

namespace quillmere::extract {

// Only in the helper built for the tests: a file whose first bytes read "QUILLMERE-FAULT " and a
// word makes the helper misbehave the way a broken parser or a taken-over helper would, or probe
// its own sandbox. True when the file was such a file and `answer` holds what the fault left to
// say; `serial` is the request's.
bool runFaultHook(int fd, quint32 serial, details::Answer& answer);

} // namespace quillmere::extract
