#include "cli/output.h"

#include "app/fs/error_text.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace quillmere::cli {

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QByteArray escaped(const QByteArray& bytes) {
    // Bytes as unsigned: a byte of a UTF-8 sequence is no control character.
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\')
            out += "\\\\";
        else if (byte == '\n')
            out += "\\n";
        else if (byte == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

Output::Output() {
    std::signal(SIGPIPE, SIG_IGN);
}

void Output::write(const QByteArray& bytes) {
    if (failed() || bytes.isEmpty())
        return;
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()))
        noteFailure();
}

bool Output::flush() {
    if (!failed()) {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            noteFailure();
    }
    return !failed();
}

void Output::noteFailure() {
    error_ = errno != 0 ? errno : EIO;
}

int Output::reportFailure(const char* command) const {
    std::fprintf(stderr, "quillmere-cli %s: cannot write the output: %s\n", command,
                 app::fs::errorText(error_).toLocal8Bit().constData());
    return 1;
}

} // namespace quillmere::cli
