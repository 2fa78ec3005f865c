#include "window/session_bus_probe.h"

#include "app/fs/descriptor.h"

#include <QByteArrayList>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillmere::window {

namespace {

using Clock = std::chrono::steady_clock;

// A socket address of an address entry such as "unix:path=/run/user/1000/bus" or
// "unix:abstract=/tmp/dbus-x,guid=...": values are percent-escaped.
bool socketAddressOf(const QByteArray& entry, sockaddr_un& address, socklen_t& length) {
    if (!entry.startsWith("unix:"))
        return false;
    for (const QByteArray& pair : entry.mid(5).split(',')) {
        const bool path = pair.startsWith("path=");
        if (!path && !pair.startsWith("abstract="))
            continue;
        const QByteArray name = QByteArray::fromPercentEncoding(pair.mid(pair.indexOf('=') + 1));
        const size_t offset = path ? 0 : 1; // an abstract name follows a zero byte
        if (name.isEmpty() || offset + size_t(name.size()) >= sizeof address.sun_path)
            return false;
        address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + offset, name.constData(), size_t(name.size()));
        length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + size_t(name.size()) +
                           (path ? 1 : 0));
        return true;
    }
    return false;
}

} // namespace

BusGreeting probeBus(const QByteArray& addressList, std::chrono::milliseconds deadline) {
    const qsizetype end = addressList.indexOf(';');
    const QByteArray first = end < 0 ? addressList : addressList.first(end);
    sockaddr_un address{};
    socklen_t length = 0;
    if (!socketAddressOf(first, address, length))
        return BusGreeting::NotProbed;
    const Clock::time_point until = Clock::now() + deadline;
    const app::fs::Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return BusGreeting::NotProbed;
    BusGreeting greeting = BusGreeting::Refused;
    // A full queue of waiting connections makes connect() wait, as a silent bus does.
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0 ||
        errno == EAGAIN || errno == EINPROGRESS) {
        // The handshake's first words: a zero byte, then the client's user id in hex digits.
        QByteArray hello("\0AUTH EXTERNAL ", 15);
        hello += QByteArray::number(::getuid()).toHex() + "\r\n";
        greeting = BusGreeting::Silent;
        char answer[64];
        if (app::fs::readyBefore(fd.get(), POLLOUT, until) &&
            ::send(fd.get(), hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) ==
                hello.size() &&
            app::fs::readyBefore(fd.get(), POLLIN, until))
            greeting = ::recv(fd.get(), answer, sizeof answer, 0) > 0 ? BusGreeting::Answered
                                                                      : BusGreeting::Refused;
    }
    return greeting;
}

void avoidSilentSessionBus(std::chrono::milliseconds deadline) {
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty() || probeBus(address, deadline) != BusGreeting::Silent)
        return;
    std::fprintf(stderr,
                 "quillmere: the session bus did not answer within %lld s; running without it "
                 "(no accessibility bridge, folders are opened without the file manager)\n",
                 static_cast<long long>(std::chrono::ceil<std::chrono::seconds>(deadline).count()));
    // An address with nothing behind it: every client gives up at once.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillmere-silent-session-bus");
}

} // namespace quillmere::window
