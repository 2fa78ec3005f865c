#pragma once

#include "app/fs/regular_file.h"

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace quillmere::details {

// The conversation between the engine and the zygote: `quillmere-extract --zygote`, sealed with
// every reader library loaded, which forks a ready helper for each request. It runs over a Unix
// SOCK_SEQPACKET socket, so every message is one whole record of fixed size and neither side
// parses a length. The engine asks for a helper with `Fork`, the helper's end of a fresh socket
// pair attached (SCM_RIGHTS); the zygote answers `Forked` with the helper's process id. A helper
// is reaped only when the engine asks (`Reap`, once it has seen the helper end), so the engine
// learns how it ended and its id goes to no other process while the engine may still signal it.

enum class ZygoteMessageKind : uint32_t {
    Ready = 1, // from the zygote once sealed, followed by the description of its sandbox
    NotReady,  // from a zygote that could not seal itself, followed by the reason
    Fork,
    Forked,
    NotForked,
    Reap,
    Reaped,
    NotReaped,
};

struct ZygoteMessage {
    ZygoteMessageKind kind{};
    uint32_t sequence = 0; // an answer carries its request's
    int32_t pid = 0;
    int32_t value = 0; // a wait status (Reaped), an errno value (NotForked, NotReaped)
};

// At most this much text follows Ready or NotReady.
constexpr size_t MaxSandboxDescription = 4096;

// Where a helper finds its socket: the zygote keeps the number free, so that each helper socket
// it receives lands there.
constexpr int HelperSocketFd = 3;
// Where the zygote keeps its own socket.
constexpr int ZygoteSocketFd = 4;
static_assert(app::fs::LowestCopiedFd > ZygoteSocketFd,
              "a copy must never land on a socket's number");

// Whole records, with only sendmsg() and recvmsg(): the helpers' filter allows nothing else on a
// socket. Sends `size` bytes as one record, with `attached` (SCM_RIGHTS) unless it is negative;
// never raises SIGPIPE.
bool sendRecord(int socket, const void* data, size_t size, int attached = -1);

// Receives one record into `into`: its length, 0 when the peer closed, -1 on failure or when the
// record was longer than `capacity`. The first descriptor that came with it lands in `attached`
// (close-on-exec), else -1; any others are closed.
ssize_t receiveRecord(int socket, void* into, size_t capacity, int& attached);

} // namespace quillmere::details
