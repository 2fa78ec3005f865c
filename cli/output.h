#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere::cli {

// Text made to fit on one line: backslash, tab, line feed and the other control characters
// become "\\", "\t", "\n" and "\xHH", so one row is always one line. The byte form leaves every
// other byte as it is (a path need not be UTF-8).
QString escaped(const QString& text);
QByteArray escaped(const QByteArray& bytes);

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
