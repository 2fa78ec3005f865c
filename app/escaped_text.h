#pragma once

#include <QByteArray>
#include <QString>

// The one rule for text that leaves the program as lines or cells (the text file, the
// clipboard, quillmere-cli) and for names in our own boxes: a text that holds a control
// character, or a format character that reorders or breaks a line (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069, U+2028, U+2029), is written with backslash escapes ("\t",
// "\n", "\r", "\xHH", "\uHHHH") and its backslashes doubled; any other text stays as it is. So a
// name can neither split a row into two nor make one name look like another.
namespace quillmere::app {

// Backslashes in a text that needs no escape: kept where people read the text, escaped where a
// program must be able to tell a written "\n" from an escaped line feed.
enum class PlainBackslashes { Kept, Escaped };

bool needsEscaping(const QString& text);

// The escape of one character ("\\" for a backslash), or nothing when it stands as it is: for
// writers that take text apart themselves, such as one that also escapes bytes that are not UTF-8.
QByteArray escapeOfCharacter(char32_t c);

QString escapedText(const QString& text, PlainBackslashes plain = PlainBackslashes::Kept);

// The same for a native path's own bytes: UTF-8 sequences are recognised, every other byte
// (a name need not be UTF-8) is left as it is.
QByteArray escapedText(const QByteArray& bytes, PlainBackslashes plain = PlainBackslashes::Kept);

} // namespace quillmere::app
