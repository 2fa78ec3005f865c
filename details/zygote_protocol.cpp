#include "details/zygote_protocol.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere::details {

namespace {

// Room for a few descriptors, so that any sent beyond the one expected are seen and closed.
constexpr size_t DescriptorsSeen = 4;

int takeDescriptors(msghdr& header) {
    int first = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (first < 0)
                first = fd;
            else
                ::close(fd);
        }
    }
    return first;
}

} // namespace

bool sendRecord(int socket, const void* data, size_t size, int attached) {
    iovec part{const_cast<void*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    if (attached >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &attached, sizeof attached);
    }
    ssize_t sent = -1;
    do {
        sent = ::sendmsg(socket, &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(size);
}

ssize_t receiveRecord(int socket, void* into, size_t capacity, int& attached) {
    attached = -1;
    iovec part{into, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * DescriptorsSeen)];
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t got = -1;
    do {
        got = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got > 0)
        attached = takeDescriptors(header);
    if (got > 0 && (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
        if (attached >= 0)
            ::close(attached);
        attached = -1;
        return -1;
    }
    return got;
}

} // namespace quillmere::details
