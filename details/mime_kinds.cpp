#include "details/mime_kinds.h"

#include <QFile>
#include <QHash>
#include <QLocale>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStandardPaths>

#include <mutex>
#include <shared_mutex>

namespace quillmere::details {

bool inheritsAny(const QMimeType& type, std::initializer_list<const char*> names) {
    if (!type.isValid())
        return false;
    for (const char* name : names) {
        if (type.inherits(QLatin1String(name)))
            return true;
    }
    return false;
}

namespace {

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
    // A type's description is in the user's language: Qt 6.4 fills in the list of those the first
    // time it is asked, holding only a read lock, so two threads asking first at once corrupt or
    // leak it. Asked once, here, before any thread asks for a description.
    static const bool languagesKnown = [] { return !QLocale::system().uiLanguages().isEmpty(); }();
    Q_UNUSED(languagesKnown);
    MimeKinds kinds = classify(type);
    kinds.description = type.comment();
    std::unique_lock lock(mutex);
    known.insert(name, kinds);
    return kinds;
}

namespace {

// Most glob patterns are "*." and a literal ending; for those, two names that agree from their
// n-th last dot on (n: the most dots in any such pattern) match the same patterns. Names that
// some other pattern ("Makefile", "README*", "*.[1-9]", "*~") could match go to the database.
struct NamePatterns {
    int endingDots = 1;
    QRegularExpression others;
};

// The glob lists that shared-mime-info writes beside each binary cache that Qt reads; empty when
// they cannot all be read, or a line is not of the form "weight:type:glob[:flags]".
QStringList globsFromLists() {
    const QStringList caches = QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
                                                         QStringLiteral("mime/mime.cache"));
    const QStringList lists = QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
                                                        QStringLiteral("mime/globs2"));
    if (lists.isEmpty() || lists.size() != caches.size())
        return {};
    QStringList globs;
    for (const QString& path : lists) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            const QList<QByteArray> fields = line.split(':');
            if (fields.size() < 3 || fields.size() > 4)
                return {};
            globs.append(QString::fromUtf8(fields[2]));
        }
    }
    return globs;
}

// Every glob of every type. Asking the database for them makes it parse each type's XML file,
// which takes longer than a search of thousands of files; the lists say the same at once.
QStringList allGlobs() {
    QStringList globs = globsFromLists();
    if (!globs.isEmpty())
        return globs;
    for (const QMimeType& type : QMimeDatabase().allMimeTypes())
        globs += type.globPatterns();
    return globs;
}

const NamePatterns& namePatterns() {
    static const NamePatterns patterns = [] {
        NamePatterns built;
        QStringList others;
        for (const QString& glob : allGlobs()) {
            const QStringView ending = QStringView(glob).mid(1);
            const bool literalEnding = glob.startsWith(QLatin1String("*.")) &&
                                       !ending.contains(u'*') && !ending.contains(u'?') &&
                                       !ending.contains(u'[');
            if (literalEnding)
                built.endingDots = std::max(built.endingDots, int(ending.count(u'.')));
            else
                others.append(QRegularExpression::wildcardToRegularExpression(glob));
        }
        // Case is ignored here, so a case-sensitive pattern sends a few more names to the database.
        built.others.setPattern(others.isEmpty()
                                    ? QStringLiteral("(?!)")
                                    : QStringLiteral("(?:") + others.join(QStringLiteral(")|(?:")) +
                                          QStringLiteral(")"));
        built.others.setPatternOptions(QRegularExpression::CaseInsensitiveOption);
        built.others.optimize();
        return built;
    }();
    return patterns;
}

QMimeType askDatabase(const QString& name) {
    static const QMimeDatabase database;
    const QList<QMimeType> types = database.mimeTypesForFileName(name);
    return types.isEmpty() ? QMimeType() : types.first();
}

} // namespace

QMimeType mimeTypeForFileName(const QString& name) {
    const NamePatterns& patterns = namePatterns();
    if (patterns.others.match(name).hasMatch())
        return askDatabase(name);
    qsizetype start = -1; // the n-th last dot
    for (int dots = 0; dots < patterns.endingDots; ++dots) {
        const qsizetype dot = start == 0 ? -1 : name.lastIndexOf(u'.', start < 0 ? -1 : start - 1);
        if (dot < 0)
            break;
        start = dot;
    }
    const QString ending = start < 0 ? QString() : name.mid(start);
    // One table per thread, so no lock.
    thread_local QHash<QString, QMimeType> byEnding;
    const auto it = byEnding.constFind(ending);
    if (it != byEnding.constEnd())
        return *it;
    if (byEnding.size() >= 4096)
        byEnding.clear();
    const QMimeType type = askDatabase(name);
    byEnding.insert(ending, type);
    return type;
}

} // namespace quillmere::details
