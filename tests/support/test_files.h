#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Files the tests make for themselves, by their own bytes, so names that are not valid UTF-8 work.
namespace quillmere::test {

// Makes the entries under `root`, in order: "name/" a folder (0755), "name -> target" a
// symbolic link, anything else a file (0644) holding `content`. False at the first it cannot make.
[[nodiscard]] bool makeTree(const QByteArray& root, const QList<QByteArray>& entries,
                            const QByteArray& content = "text\n");
[[nodiscard]] bool makeTree(const QString& root, const QStringList& entries,
                            const QByteArray& content = "text\n");

// Writes the whole file, creating or truncating it.
[[nodiscard]] bool writeBytes(const QByteArray& path, const QByteArray& bytes);
[[nodiscard]] bool writeBytes(const QString& path, const QByteArray& bytes);
// The whole file; empty when it cannot be read.
QByteArray readBytes(const QByteArray& path);
QByteArray readBytes(const QString& path);

// True in the build with AddressSanitizer, where the address-space limit is off and a crash
// ends with the sanitizer's own report and status.
constexpr bool sanitizerBuild() {
#ifdef QUILLMERE_SANITIZE
    return true;
#else
    return false;
#endif
}

} // namespace quillmere::test
