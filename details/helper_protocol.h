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
// Request, in order, each carrying its request's serial number. The engine treats every answer
// as hostile: a helper may have been taken over by the file it read.

// The values of the embedded details, from column::FirstEmbedded to the last.
using ColumnValues = std::array<QString, column::Count - column::FirstEmbedded>;

// What one file's details may come to, in UTF-16 code units: a value, and all values together.
constexpr qsizetype MaxValueUnits = 32768;
constexpr qsizetype MaxAnswerUnits = qsizetype(1) << 19; // 1 MiB on the wire
// No frame may be larger: the values of a bounded answer, each with its column and length.
constexpr quint32 MaxFrameBytes =
    quint32(MaxAnswerUnits * 2 + (column::Count - column::FirstEmbedded) * 5 + 16);

// Cuts every value to MaxValueUnits and all of them together to MaxAnswerUnits (later columns
// lose first), never between the two halves of a surrogate pair. True when anything was cut.
bool cutToBounds(ColumnValues& values);

// How a helper ends on purpose, besides 0 when the engine closed its end.
constexpr int ExitOutOfMemory = 90;
constexpr int ExitNoSandbox = 91;
constexpr int ExitBadRequest = 92;

enum class FrameKind : quint8 { Request = 1, Ready = 2, Answer = 3 };

// Engine to helper: read the attached file with reader number `reader`.
struct Request {
    quint8 reader = 0;
    qint64 size = 0;
    quint32 serial = 0; // repeated in the answer
};

// Helper to engine. `read` is the reader's own verdict: false when the file turned out not to be
// of its kind, so the engine may try the reader the content points to.
struct Answer {
    quint32 serial = 0;
    bool read = false;
    bool incomplete = false; // read, but the reader failed part-way
    ColumnValues values;
};

QByteArray encodeRequest(const Request& request);
bool decodeRequest(const QByteArray& payload, Request& request);

QByteArray encodeReady();
bool isReady(const QByteArray& payload);

// Writes into `payload`, whose allocation is reused from file to file; values beyond the bounds
// are cut.
void encodeAnswer(const Answer& answer, QByteArray& payload);
// False for an answer that is not well formed; values beyond the bounds are cut, not refused.
bool decodeAnswer(const QByteArray& payload, Answer& answer);

// One end of the socket. Never raises SIGPIPE.
class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    int fd() const { return fd_; }

    enum class Sent { Whole, TimedOut, Broken };
    // Sends one frame, with `attached` passed along when it is a descriptor. On a non-blocking
    // socket waits at most `timeout` (negative: without end) for the peer to take it.
    Sent send(const QByteArray& payload, int attached = -1,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

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
