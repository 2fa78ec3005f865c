#include "cli/output.h"

#include "app/escaped_text.h"
#include "app/fs/error_text.h"

#include <QJsonDocument>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace quillmere::cli {

QString escaped(const QString& text) {
    return app::escapedText(text, app::PlainBackslashes::Escaped);
}

QByteArray escaped(const QByteArray& bytes) {
    return app::escapedText(bytes, app::PlainBackslashes::Escaped);
}

QByteArray jsonLine(const QJsonDocument& document) {
    const QString json = QString::fromUtf8(document.toJson(QJsonDocument::Compact));
    QString out;
    out.reserve(json.size());
    for (const QChar c : json) {
        // Below U+0020, quotes and backslashes the writer escaped already.
        const char16_t unit = c.unicode();
        if (unit >= 0x20 && unit != u'\\' && !app::escapeOfCharacter(unit).isEmpty())
            out += QStringLiteral("\\u%1").arg(unsigned(unit), 4, 16, QChar(u'0'));
        else
            out += c;
    }
    return out.toUtf8();
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
