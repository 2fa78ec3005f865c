#include "search/mime_kinds.h"

#include <QHash>

#include <mutex>
#include <shared_mutex>

namespace quillmere {

namespace {

bool inheritsAny(const QMimeType& type, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (type.inherits(QLatin1String(name)))
            return true;
    }
    return false;
}

MimeKinds classify(const QMimeType& type) {
    const QString name = type.name();
    if (name == QLatin1String("inode/directory"))
        return {QStringLiteral("Folder"), QStringLiteral("Folder")};
    if (name.startsWith(QLatin1String("inode/")))
        return {QStringLiteral("System"), QString()};
    if (name.startsWith(QLatin1String("image/")))
        return {QStringLiteral("Image"), QStringLiteral("Picture")};
    if (name.startsWith(QLatin1String("audio/")))
        return {QStringLiteral("Audio"), QStringLiteral("Music")};
    if (name.startsWith(QLatin1String("video/")))
        return {QStringLiteral("Video"), QStringLiteral("Video")};
    // Office and ODF files are zip archives underneath: documents are recognised first.
    if (name == QLatin1String("application/pdf") ||
        name.startsWith(QLatin1String("application/vnd.openxmlformats-officedocument.")) ||
        name.startsWith(QLatin1String("application/vnd.oasis.opendocument.")) ||
        name.startsWith(QLatin1String("application/vnd.ms-")) ||
        inheritsAny(type, {"application/msword", "application/rtf", "application/postscript",
                           "application/epub+zip", "application/x-mobipocket-ebook",
                           "application/vnd.ms-excel", "application/vnd.ms-powerpoint"}))
        return {QStringLiteral("Document"), QStringLiteral("Document")};
    if (name.startsWith(QLatin1String("font/")) ||
        inheritsAny(type, {"application/x-font-ttf", "application/x-font-otf"}))
        return {QStringLiteral("Font"), QStringLiteral("Font")};
    if (inheritsAny(type, {"application/x-executable", "application/x-sharedlib",
                           "application/x-pie-executable", "application/x-shellscript",
                           "application/x-desktop", "application/vnd.microsoft.portable-executable",
                           "application/x-msdownload", "application/vnd.appimage",
                           "application/x-deb", "application/x-rpm"}))
        return {QStringLiteral("Application"), QStringLiteral("Program")};
    if (inheritsAny(type,
                    {"application/zip", "application/x-tar", "application/gzip",
                     "application/x-7z-compressed", "application/vnd.rar", "application/x-rar",
                     "application/x-xz", "application/x-bzip", "application/x-bzip2",
                     "application/zstd", "application/x-lzma", "application/x-compress",
                     "application/x-archive", "application/x-cpio", "application/x-iso9660-image"}))
        return {QStringLiteral("Compressed"), QStringLiteral("Archive")};
    if (name.startsWith(QLatin1String("text/")) || type.inherits(QStringLiteral("text/plain")))
        return {QStringLiteral("Text"), QStringLiteral("Document")};
    return {};
}

} // namespace

MimeKinds mimeKinds(const QMimeType& type) {
    static std::shared_mutex mutex;
    static QHash<QString, MimeKinds> known;
    const QString name = type.name();
    {
        std::shared_lock lock(mutex);
        const auto it = known.constFind(name);
        if (it != known.constEnd())
            return *it;
    }
    MimeKinds kinds = classify(type);
    kinds.description = type.comment();
    std::unique_lock lock(mutex);
    known.insert(name, kinds);
    return kinds;
}

} // namespace quillmere
