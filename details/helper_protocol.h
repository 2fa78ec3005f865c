#pragma once

#include "details/column_ids.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <chrono>
#include <span>
#include <sys/uio.h>
#include <vector>

namespace quillmere::details {

// The conversation between the engine and one reader helper, over a Unix stream socket. Every
// message is a frame: a 4-byte payload length in host order (both ends run on one machine), then
// the payload. The engine sends one Request per batch of files with all their open descriptors
// attached in one SCM_RIGHTS message; the helper first sends Ready once its sandbox is in place,
// then one Answer per file of the batch, in order, each carrying the batch's serial number and the
// file's index in it. Answers of quick files may be held back and sent together, at most
// MaxHeldAnswers of them, so the engine is woken once for several: when a helper fails, the file
// it was reading is one of the first MaxHeldAnswers + 1 not answered. The engine treats every
// answer as hostile: a helper may have been taken over by a file it read.

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

// Files in one request: all their descriptors travel in one message, which the kernel caps at 253.
constexpr int MaxBatchFiles = 250;
// Answers a helper may hold back before it sends them, and how long the first of them may wait
// for the next file to be read.
constexpr int MaxHeldAnswers = 8;
constexpr std::chrono::microseconds MaxHeldWait{1000};
// Descriptors one message may carry; the receiving buffer has room for this many.
constexpr int MaxAttached = 253;

enum class FrameKind : quint8 { Request = 1, Ready = 2, Answer = 3 };

// Engine to helper: read the attached files, the i-th descriptor with the i-th entry's reader.
struct Request {
    struct File {
        quint8 reader = 0;
        qint64 size = 0;
    };
    quint32 batch = 0;       // repeated in every answer
    std::vector<File> files; // 1 to MaxBatchFiles
};

// Helper to engine. `read` is the reader's own verdict: false when the file turned out not to be
// of its kind, so the engine may try the reader the content points to.
struct Answer {
    quint32 batch = 0;
    quint16 index = 0; // of the file in its batch
    bool read = false;
    bool incomplete = false; // read, but the reader failed part-way
    ColumnValues values;
};

QByteArray encodeRequest(const Request& request);
// False for a request that is not well formed or holds no file or more than MaxBatchFiles.
bool decodeRequest(const QByteArray& payload, Request& request);

QByteArray encodeReady();
bool isReady(const QByteArray& payload);

// Writes into `payload`, whose allocation is reused from file to file; values beyond the bounds
// are cut.
void encodeAnswer(const Answer& answer, QByteArray& payload);
// False for an answer that is not well formed; values beyond the bounds are cut, not refused.
bool decodeAnswer(QByteArrayView payload, Answer& answer);

// One end of the socket. Never raises SIGPIPE.
class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    int fd() const { return fd_; }

    enum class Sent { Whole, TimedOut, Broken };
    // Sends one frame with the descriptors `attached` (at most MaxAttached) passed along. On a
    // non-blocking socket waits at most `timeout` (negative: without end) for the peer to take it.
    Sent send(const QByteArray& payload, std::span<const int> attached = {},
              std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

    // Several frames made with appendFrame, in one write and without end: how a helper sends
    // the answers it held back.
    static void appendFrame(QByteArray& frames, const QByteArray& payload);
    Sent sendFrames(const QByteArray& frames);

    enum class Received { Frame, Closed, TimedOut, Broken };
    // Waits at most `timeout` (negative: without end) for one whole frame. The descriptors that
    // came with it land in `*attached` (close-on-exec, in the order sent). A frame whose control
    // message was cut short, or that brings descriptors when `attached` is null, is Broken; the
    // descriptors of a frame that is not returned whole are closed.
    Received receive(QByteArray& payload, std::chrono::milliseconds timeout,
                     std::vector<int>* attached = nullptr);

private:
    Sent sendParts(std::span<iovec> parts, std::span<const int> attached,
                   std::chrono::milliseconds timeout);

    int fd_;
};

// The engine's end of a helper's answers. It takes whatever has arrived in one read and hands
// the frames out one by one, so answers that came together cost one wake-up and one read, not
// two reads each. The same rules as Channel::receive: no frame beyond MaxFrameBytes, no
// descriptors at all, a frame cut short is Broken. What it holds beyond the frame handed out
// stays for the next call, as it would in the socket.
class FrameInbox {
public:
    // Forgets what it holds: the socket it came from is gone.
    void clear();
    // Gives back the room a large answer took once nothing is held, so that the inboxes of idle
    // helpers stay small whatever they were once sent.
    void shrink();
    size_t roomBytes() const { return buffer_.capacity(); }
    // Whether it holds nothing beyond the frames handed out.
    bool isEmpty() const { return begin_ == end_; }
    // Waits at most `timeout` (negative: without end) for the next whole frame from `fd`.
    // `payload` shows the inbox's own memory, valid until the next call.
    Channel::Received next(int fd, QByteArrayView& payload, std::chrono::milliseconds timeout);

private:
    Channel::Received readSome(int fd, size_t room);

    std::vector<char> buffer_;
    size_t begin_ = 0; // the first byte not handed out
    size_t end_ = 0;   // past the last byte read
    // The last read took all there was: the next one waits for more first.
    bool drained_ = false;
};

} // namespace quillmere::details
