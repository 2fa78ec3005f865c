#include "details/reader_families.h"

#include "details/mime_kinds.h"

#include <QHash>
#include <QString>

#include <array>
#include <initializer_list>

namespace quillmere::details {

namespace {

// The type itself, not the types derived from it: those have readers of their own.
bool isAac(const QMimeType& type) {
    return type.name() == QLatin1String("audio/aac");
}
bool isMp4Audio(const QMimeType& type) {
    return type.name() == QLatin1String("audio/mp4");
}
bool isAvif(const QMimeType& type) {
    return type.name() == QLatin1String("image/avif");
}

bool isHeif(const QMimeType& type) {
    return type.inherits(QStringLiteral("image/heif")) ||
           type.inherits(QStringLiteral("image/heic")) ||
           type.inherits(QStringLiteral("image/avif"));
}

bool hasImageHeader(const QMimeType& type) {
    return inheritsAny(type,
                       {"image/bmp", "image/gif", "image/vnd.microsoft.icon", "image/x-win-bitmap",
                        "image/x-portable-anymap", "image/x-portable-arbitrarymap",
                        "image/vnd.zbrush.pcx", "image/x-xcf"});
}

bool isPhoto(const QMimeType& type) {
    // GIF and BMP hold nothing exiv2 reads but their size: the image header family takes them.
    if (!type.isValid() || type.name().startsWith(QLatin1String("video/")))
        return false;
    return inheritsAny(type, {"image/jpeg", "image/tiff", "image/png", "image/webp",
                              "image/x-dcraw", "image/jp2", "image/vnd.adobe.photoshop"});
}

bool isJpegXl(const QMimeType& type) {
    return inheritsAny(type, {"image/jxl"});
}

bool isAudio(const QMimeType& type) {
    const QString name = type.name();
    return name.startsWith(QLatin1String("audio/")) || name == QLatin1String("application/ogg") ||
           name == QLatin1String("application/x-ogg");
}

bool isVideo(const QMimeType& type) {
    return type.name().startsWith(QLatin1String("video/")) ||
           type.name() == QLatin1String("application/vnd.ms-asf");
}

bool isPdf(const QMimeType& type) {
    return inheritsAny(type, {"application/pdf"});
}

bool isOfficePackage(const QMimeType& type) {
    if (!type.isValid())
        return false;
    static const char* const prefixes[] = {
        "application/vnd.openxmlformats-officedocument.",
        "application/vnd.oasis.opendocument.",
        "application/vnd.ms-word.document.macroenabled",
        "application/vnd.ms-word.template.macroenabled",
        "application/vnd.ms-excel.sheet.macroenabled",
        "application/vnd.ms-excel.template.macroenabled",
        "application/vnd.ms-powerpoint.presentation.macroenabled",
        "application/vnd.ms-powerpoint.slideshow.macroenabled",
        "application/vnd.ms-powerpoint.template.macroenabled",
    };
    const QString name = type.name();
    // A package is known by its content: a document saved under another name is a zip.
    if (name == QLatin1String("application/zip"))
        return true;
    for (const char* prefix : prefixes) {
        if (name.startsWith(QLatin1String(prefix), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool isLegacyOffice(const QMimeType& type) {
    return inheritsAny(type, {"application/msword", "application/vnd.ms-excel",
                              "application/vnd.ms-powerpoint", "application/x-ole-storage"});
}

// In the order they are asked; the families that complete a type come before those they complete.
// The readers (details/readers/registry.cpp) keep the same order, and the same use of FFmpeg.
constexpr std::array<ReaderFamily, ReaderFamilyCount> families = {{
    {0, &isAac, true},
    {1, &isMp4Audio, true},
    {2, &isAvif, true},
    {3, &isHeif},
    {4, &hasImageHeader},
    {5, &isPhoto},
    {6, &isJpegXl},
    {7, &isAudio},
    {8, &isVideo, true},
    {9, &isPdf},
    {10, &isOfficePackage},
    {11, &isLegacyOffice},
}};

const ReaderFamily* firstThatHandles(const QMimeType& type) {
    for (const ReaderFamily& family : families) {
        if (family.handles(type))
            return &family;
    }
    return nullptr;
}

} // namespace

const ReaderFamily* readerFamilyFor(const QMimeType& type) {
    // handles() asks the MIME database about parent types, and every such question takes the
    // database's process-wide lock: each thread keeps its own answers by type name.
    thread_local QHash<QString, const ReaderFamily*> known;
    const QString name = type.name();
    const auto it = known.constFind(name);
    if (it != known.constEnd())
        return *it;
    const ReaderFamily* family = firstThatHandles(type);
    known.insert(name, family);
    return family;
}

const ReaderFamily* readerFamilyByNumber(int number) {
    return number >= 0 && number < ReaderFamilyCount ? &families[size_t(number)] : nullptr;
}

} // namespace quillmere::details
