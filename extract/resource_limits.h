#pragma once

#include "details/helper_protocol.h"

#include <cstdint>
#include <string>

namespace quillmere::extract {

struct SandboxLimits {
    int64_t memoryBytes = int64_t(1) << 30; // address space
    int cpuSecondsPerFile = 10;             // moved along before each file
    // For a helper's whole life: a helper serves many searches, so this is a backstop that a
    // taken-over helper cannot lift; the engine's per-file deadline ends a stuck one far sooner.
    int cpuSecondsPerHelper = 24 * 3600;
    // The socket, the standard streams, the files of one batch and the copies the readers make.
    int openFiles = details::MaxBatchFiles + 64;
};

// Lowers the soft and the hard limits, so that no helper can lift them again: processor time,
// address space (not where AddressSanitizer runs: its shadow memory needs terabytes of it),
// descriptors, and no core files. A limit already lower stays as it is.
bool lowerLimits(const SandboxLimits& limits, std::string& failure);

// Before each file: at most `seconds` more of processor time within the hard limit, after which
// the kernel stops the helper with SIGXCPU.
void limitProcessorTime(int seconds);

} // namespace quillmere::extract
