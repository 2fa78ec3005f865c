#pragma once

#include "details/helper_protocol.h"

#include <cstdint>
#include <string>

namespace quillmere::extract {

struct SandboxLimits {
    int64_t memoryBytes = int64_t(1) << 30; // address space
    int cpuSecondsPerFile = 10;             // moved along before each file
    // Hard limits a process cannot lift. A helper's own time starts from zero when it is forked
    // and it serves a batch of files, or (until helpers are replaced after each batch) at most
    // the engine's reads per helper; the engine's per-file deadline ends a stuck one far sooner.
    int cpuSecondsPerHelper = 300;
    // The zygote reads no file and spends about half a millisecond on a fork: 600 s is over a
    // million helpers, while one that spins for any reason still ends. One that reaches it is
    // replaced as one that died is.
    int cpuSecondsPerZygote = 600;
    // The socket, the standard streams, the files of one batch and the copies the readers make.
    int openFiles = details::MaxBatchFiles + 64;
};

// Lowers the soft and the hard limits of the zygote, and so of every helper forked from it, so
// that none can lift them again: processor time (the zygote's bound),
// address space (not where AddressSanitizer runs: its shadow memory needs terabytes of it),
// descriptors, and no core files. A limit already lower stays as it is.
bool lowerLimits(const SandboxLimits& limits, std::string& failure);

// In a helper just forked: lowers the hard and soft processor-time limit to `seconds`.
bool lowerProcessorTime(int seconds);

// Before each file: at most `seconds` more of processor time within the hard limit, after which
// the kernel stops the helper with SIGXCPU.
void limitProcessorTime(int seconds);

} // namespace quillmere::extract
