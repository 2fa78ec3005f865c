#include "details/helper_protocol.h"

#include "details/clean_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere::details {

namespace {

template <typename T> void put(QByteArray& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Reads a T at `offset`, moving past it; false when the payload ends first.
template <typename T> bool take(QByteArrayView in, qsizetype& offset, T& value) {
    if (in.size() - offset < qsizetype(sizeof value))
        return false;
    std::memcpy(&value, in.constData() + offset, sizeof value);
    offset += qsizetype(sizeof value);
    return true;
}

using Clock = std::chrono::steady_clock;

// A deadline for one send or receive; negative: none.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds timeout)
        : endless_(timeout.count() < 0), end_(Clock::now() + timeout) {}
    bool endless() const { return endless_; }
    // Waits until `fd` is ready for `events`; false when the deadline passed first.
    bool waitFor(int fd, short events) const {
        for (;;) {
            int wait = -1;
            if (!endless_) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now());
                if (left.count() <= 0)
                    return false;
                wait = int(left.count());
            }
            pollfd watch{fd, events, 0};
            const int ready = ::poll(&watch, 1, wait);
            if (ready < 0 && errno == EINTR)
                continue;
            // An error or hang-up shows in the next call on the socket itself.
            return ready != 0;
        }
    }

private:
    const bool endless_;
    const Clock::time_point end_;
};

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

} // namespace

bool cutToBounds(ColumnValues& values) {
    bool cut = false;
    qsizetype left = MaxAnswerUnits;
    for (QString& value : values) {
        const qsizetype units = boundedLength(value, std::min(MaxValueUnits, left));
        if (units < value.size()) {
            value.truncate(units);
            cut = true;
        }
        left -= units;
    }
    return cut;
}

QByteArray encodeRequest(const Request& request) {
    QByteArray out;
    put(out, FrameKind::Request);
    put(out, request.batch);
    put(out, quint16(request.files.size()));
    for (const Request::File& file : request.files) {
        put(out, file.reader);
        put(out, file.size);
    }
    return out;
}

bool decodeRequest(const QByteArray& payload, Request& request) {
    qsizetype at = 0;
    FrameKind kind{};
    quint16 count = 0;
    if (!take(payload, at, kind) || kind != FrameKind::Request ||
        !take(payload, at, request.batch) || !take(payload, at, count) || count == 0 ||
        count > MaxBatchFiles)
        return false;
    request.files.resize(count);
    for (Request::File& file : request.files) {
        if (!take(payload, at, file.reader) || !take(payload, at, file.size))
            return false;
    }
    return at == payload.size();
}

QByteArray encodeReady() {
    QByteArray out;
    put(out, FrameKind::Ready);
    return out;
}

bool isReady(const QByteArray& payload) {
    return payload.size() == 1 && FrameKind(payload[0]) == FrameKind::Ready;
}

void encodeAnswer(const Answer& answer, QByteArray& payload) {
    payload.resize(0);
    put(payload, FrameKind::Answer);
    put(payload, quint8(!answer.read ? 0 : answer.incomplete ? 2 : 1));
    put(payload, answer.batch);
    put(payload, answer.index);
    qsizetype left = MaxAnswerUnits;
    for (size_t i = 0; i < answer.values.size(); ++i) {
        const QString& value = answer.values[i];
        const qsizetype units = boundedLength(value, std::min(MaxValueUnits, left));
        if (units == 0)
            continue;
        left -= units;
        put(payload, quint8(column::FirstEmbedded + int(i)));
        put(payload, quint32(units));
        payload.append(reinterpret_cast<const char*>(value.constData()),
                       units * qsizetype(sizeof(QChar)));
    }
}

bool decodeAnswer(QByteArrayView payload, Answer& answer) {
    qsizetype at = 0;
    FrameKind kind{};
    quint8 read = 0;
    if (!take(payload, at, kind) || kind != FrameKind::Answer || !take(payload, at, read) ||
        read > 2 || !take(payload, at, answer.batch) || !take(payload, at, answer.index))
        return false;
    answer.read = read != 0;
    answer.incomplete = read == 2;
    for (QString& value : answer.values)
        value.clear();
    while (at < payload.size()) {
        quint8 column = 0;
        quint32 units = 0;
        if (!take(payload, at, column) || !take(payload, at, units) ||
            column < column::FirstEmbedded || column >= column::Count)
            return false;
        const qsizetype bytes = qsizetype(units) * qsizetype(sizeof(QChar));
        if (payload.size() - at < bytes)
            return false;
        QString& value = answer.values[size_t(column - column::FirstEmbedded)];
        value.resize(qsizetype(units));
        std::memcpy(value.data(), payload.constData() + at, size_t(bytes));
        at += bytes;
    }
    cutToBounds(answer.values);
    return true;
}

Channel::Sent Channel::send(const QByteArray& payload, std::span<const int> attached,
                            std::chrono::milliseconds timeout) {
    const quint32 length = quint32(payload.size());
    iovec parts[2] = {{const_cast<quint32*>(&length), sizeof length},
                      {const_cast<char*>(payload.constData()), size_t(payload.size())}};
    return sendParts(parts, attached, timeout);
}

void Channel::appendFrame(QByteArray& frames, const QByteArray& payload) {
    const quint32 length = quint32(payload.size());
    frames.append(reinterpret_cast<const char*>(&length), sizeof length);
    frames.append(payload);
}

Channel::Sent Channel::sendFrames(const QByteArray& frames) {
    iovec part{const_cast<char*>(frames.constData()), size_t(frames.size())};
    return sendParts({&part, 1}, {}, std::chrono::milliseconds(-1));
}

Channel::Sent Channel::sendParts(std::span<iovec> parts, std::span<const int> attached,
                                 std::chrono::milliseconds timeout) {
    if (attached.size() > size_t(MaxAttached))
        return Sent::Broken;
    const Deadline deadline(timeout);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MaxAttached)] = {};
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = parts.size();
    if (!attached.empty()) {
        const size_t bytes = attached.size() * sizeof(int);
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(bytes);
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(bytes);
        std::memcpy(CMSG_DATA(header), attached.data(), bytes);
    }
    const int flags = MSG_NOSIGNAL | (deadline.endless() ? 0 : MSG_DONTWAIT);
    size_t left = 0;
    for (const iovec& part : parts)
        left += part.iov_len;
    while (left > 0) {
        const ssize_t n = ::sendmsg(fd_, &message, flags);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && wouldBlock()) {
            // A peer that stopped reading must not hold this end for good.
            if (!deadline.waitFor(fd_, POLLOUT))
                return Sent::TimedOut;
            continue;
        }
        if (n <= 0)
            return Sent::Broken;
        left -= size_t(n);
        // The descriptors went with the first byte; the rest follows without them.
        message.msg_control = nullptr;
        message.msg_controllen = 0;
        size_t done = size_t(n);
        while (message.msg_iovlen > 0 && done >= message.msg_iov->iov_len) {
            done -= message.msg_iov->iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + done;
            message.msg_iov->iov_len -= done;
        }
    }
    return Sent::Whole;
}

namespace {

// One recvmsg() into `into`, `flags` besides close-on-exec: the descriptors that came with it are
// added to `received`, and `truncated` says whether the kernel had to drop some. Without
// `wanted`, no room is offered for any: the kernel then drops them all and says so, rather than
// filling this process's table with up to MaxAttached of them before they could be closed.
// recvmsg() writes through the iovec, which tidy does not see.
ssize_t receiveSome(int fd, char* into, size_t bytes, // NOLINT(readability-non-const-parameter)
                    int flags, bool wanted, std::vector<int>& received, bool& truncated) {
    iovec part{into, bytes};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MaxAttached)];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (wanted) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    const ssize_t n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC | flags);
    if (n < 0)
        return n;
    truncated = (message.msg_flags & MSG_CTRUNC) != 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int each = -1;
            std::memcpy(&each, CMSG_DATA(header) + i * sizeof(int), sizeof each);
            received.push_back(each);
        }
    }
    return n;
}

class Receiver {
public:
    Receiver(int fd, std::chrono::milliseconds timeout, std::vector<int>* attached)
        : fd_(fd), attached_(attached), deadline_(timeout) {
        if (attached_)
            attached_->clear();
    }
    ~Receiver() {
        // Descriptors nobody asked for, or that came with a broken frame, are not kept.
        if (attached_ && whole_ && !broken_) {
            *attached_ = std::move(received_);
            return;
        }
        for (const int fd : received_)
            ::close(fd);
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    Channel::Received fill(char* into, size_t bytes) {
        while (bytes > 0) {
            const ssize_t n = readSome(into, bytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && wouldBlock()) {
                if (!deadline_.waitFor(fd_, POLLIN))
                    return Channel::Received::TimedOut;
                continue;
            }
            if (n < 0 || broken_)
                return Channel::Received::Broken;
            if (n == 0)
                return Channel::Received::Closed;
            into += n;
            bytes -= size_t(n);
        }
        return Channel::Received::Frame;
    }

    void finished() { whole_ = true; }

private:
    ssize_t readSome(char* into, size_t bytes) {
        bool truncated = false;
        const ssize_t n = receiveSome(fd_, into, bytes, deadline_.endless() ? 0 : MSG_DONTWAIT,
                                      attached_ != nullptr, received_, truncated);
        if (n <= 0)
            return n;
        // Descriptors the kernel could not fit in were dropped: the batch is not whole.
        if (truncated)
            broken_ = true;
        // Unasked-for descriptors, or more than one message may carry, break the frame.
        if (!received_.empty() && (!attached_ || received_.size() > size_t(MaxAttached)))
            broken_ = true;
        return n;
    }

    const int fd_;
    std::vector<int>* const attached_;
    const Deadline deadline_;
    std::vector<int> received_;
    bool whole_ = false;
    bool broken_ = false;
};

} // namespace

Channel::Received Channel::receive(QByteArray& payload, std::chrono::milliseconds timeout,
                                   std::vector<int>* attached) {
    Receiver receiver(fd_, timeout, attached);
    quint32 length = 0;
    Received got = receiver.fill(reinterpret_cast<char*>(&length), sizeof length);
    if (got != Received::Frame)
        return got;
    if (length > MaxFrameBytes)
        return Received::Broken;
    payload.resize(qsizetype(length));
    got = receiver.fill(payload.data(), length);
    if (got == Received::Closed)
        return Received::Broken; // the frame was cut short
    if (got == Received::Frame)
        receiver.finished();
    return got;
}

namespace {
// What a read asks for at least: most answers are small, and several fit at once.
constexpr size_t ReadBytes = 64 * 1024;
} // namespace

void FrameInbox::clear() {
    begin_ = end_ = 0;
    drained_ = false;
    shrink();
}

void FrameInbox::shrink() {
    if (begin_ == end_ && buffer_.capacity() > 2 * ReadBytes) {
        buffer_ = std::vector<char>();
        begin_ = end_ = 0;
    }
}

Channel::Received FrameInbox::next(int fd, QByteArrayView& payload,
                                   std::chrono::milliseconds timeout) {
    const Deadline deadline(timeout);
    for (;;) {
        const size_t held = end_ - begin_;
        size_t frame = sizeof(quint32); // bytes the next frame needs, as far as known
        if (held >= sizeof(quint32)) {
            quint32 length = 0;
            std::memcpy(&length, buffer_.data() + begin_, sizeof length);
            if (length > MaxFrameBytes)
                return Channel::Received::Broken;
            frame += length;
            if (held >= frame) {
                payload =
                    QByteArrayView(buffer_.data() + begin_ + sizeof length, qsizetype(length));
                begin_ += frame;
                return Channel::Received::Frame;
            }
        }
        // Room for the rest of this frame and more: what is held moves to the front first.
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, held);
            begin_ = 0;
            end_ = held;
        }
        const size_t wanted = std::max(frame, held + ReadBytes);
        if (buffer_.size() < wanted)
            buffer_.resize(wanted);
        if (drained_ && !deadline.waitFor(fd, POLLIN))
            return Channel::Received::TimedOut;
        const Channel::Received got = readSome(fd, buffer_.size() - end_);
        if (got != Channel::Received::Frame)
            return got;
    }
}

// Reads what there is into the free room: Frame when anything came or nothing was there yet.
Channel::Received FrameInbox::readSome(int fd, size_t room) {
    std::vector<int> received; // stays empty: no room is offered for any
    bool truncated = false;
    const ssize_t n =
        receiveSome(fd, buffer_.data() + end_, room, MSG_DONTWAIT, false, received, truncated);
    if (n < 0) {
        if (errno != EINTR && !wouldBlock())
            return Channel::Received::Broken;
        drained_ = errno != EINTR;
        return Channel::Received::Frame;
    }
    // Descriptors have no place in an answer: the kernel dropped them, and the frame is broken.
    if (truncated)
        return Channel::Received::Broken;
    if (n == 0)
        return end_ == begin_ ? Channel::Received::Closed : Channel::Received::Broken;
    end_ += size_t(n);
    // A read that left room took everything there was.
    drained_ = size_t(n) < room;
    return Channel::Received::Frame;
}

} // namespace quillmere::details
