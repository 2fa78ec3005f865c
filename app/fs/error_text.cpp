#include "app/fs/error_text.h"

#include <cstring>

namespace quillmere::app::fs {

QString errorText(int errorNumber) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

QByteArray descriptorPath(int fd) {
    return QByteArray("/proc/self/fd/") + QByteArray::number(fd);
}

} // namespace quillmere::app::fs
