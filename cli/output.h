#pragma once

#include <QByteArray>
#include <QString>

class QJsonDocument;

namespace quillmere::cli {

// Every text we print, by the program's one escaping rule (app/escaped_text.h), so one row is
// always one line and no name can reorder a terminal line; backslashes are always doubled here,
// so a script can tell a written "\n" from an escaped line feed. The byte form leaves every other
// byte as it is (a path need not be UTF-8).
QString escaped(const QString& text);
QByteArray escaped(const QByteArray& bytes);

// A JSON document on one line, with every character that the rule above escapes (C1 controls,
// DEL, the marks that reorder or break a line) written as \uXXXX: still strict JSON, and a value
// can no more steer a terminal than in the plain lines.
QByteArray jsonLine(const QJsonDocument& document);

// Standard output that remembers its first failure (a full disk, a closed pipe).
class Output {
public:
    Output(); // a closed pipe then fails a write instead of killing the process
    void write(const QByteArray& bytes);
    bool flush();
    bool failed() const { return error_ != 0; }
    // Prints the failure as one line on standard error; returns the exit status (1).
    int reportFailure(const char* command) const;

private:
    void noteFailure();
    int error_ = 0;
};

} // namespace quillmere::cli
