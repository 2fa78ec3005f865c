#pragma once

#include "details/column_ids.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <chrono>

namespace quillmere::details {

// The conversation between the engine and one reader helper, over a Unix stream socket. Every
// message is a frame: a 4-byte payload length in host order (both ends run on one machine), then
// the payload. The engine sends one Request per file with the file's open descriptor attached
// (SCM_RIGHTS); the helper first sends Ready once its sandbox is in place, then one Answer per
// Request, in order. The engine treats every answer as hostile: a helper may have been taken over
// by the file it read.

// The values of the embedded details, from column::FirstEmbedded to the last.
using ColumnValues = std::array<QString, column::Count - column::FirstEmbedded>;

// No answer may be larger: a helper cannot make the engine allocate without bound.
constexpr quint32 MaxFrameBytes = 64u << 20;

// How a helper ends on purpose, besides 0 when the engine closed its end.
constexpr int ExitOutOfMemory = 90;
constexpr int ExitNoSandbox = 91;
constexpr int ExitBadRequest = 92;

enum class FrameKind : quint8 { Request = 1, Ready = 2, Answer = 3 };

// Engine to helper: read the attached file with reader number `reader`.
struct Request {
    quint8 reader = 0;
    qint64 size = 0;
};

// Helper to engine. `read` is the reader's own verdict: false when the file turned out not to be
// of its kind, so the engine may try the reader the content points to.
struct Answer {
    bool read = false;
    bool incomplete = false; // read, but the reader failed part-way
    ColumnValues values;
};

QByteArray encodeRequest(const Request& request);
bool decodeRequest(const QByteArray& payload, Request& request);

QByteArray encodeReady();
bool isReady(const QByteArray& payload);

// Writes into `payload`, whose allocation is reused from file to file.
void encodeAnswer(const Answer& answer, QByteArray& payload);
bool decodeAnswer(const QByteArray& payload, Answer& answer);

// One end of the socket. Never raises SIGPIPE.
class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    int fd() const { return fd_; }

    // Sends one frame, with `attached` passed along when it is a descriptor.
    bool send(const QByteArray& payload, int attached = -1);

    enum class Received { Frame, Closed, TimedOut, Broken };
    // Waits at most `timeout` (negative: without end) for one whole frame. A descriptor that came
    // with it is stored in `*attached` (close-on-exec), else -1 is; without `attached` any
    // descriptor is closed.
    Received receive(QByteArray& payload, std::chrono::milliseconds timeout,
                     int* attached = nullptr);

private:
    int fd_;
};

} // namespace quillmere::details
