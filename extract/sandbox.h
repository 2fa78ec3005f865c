#pragma once

#include <QString>

namespace quillmere::extract {

struct SandboxLimits {
    qint64 memoryBytes = qint64(1) << 30;
    int cpuSeconds = 10;
};

// Confines this process for good: resource limits, no new privileges, and a seccomp filter under
// which it can read, seek and map the descriptors it has or is given, manage its memory, and talk
// over `socket`, and nothing else. Every library must be initialised before. False, with the
// reason, when any part could not be put in place.
bool enterSandbox(int socket, const SandboxLimits& limits, QString& failure);

// Before each file: at most `seconds` more of processor time, after which the kernel stops it.
void limitProcessorTime(int seconds);

} // namespace quillmere::extract
