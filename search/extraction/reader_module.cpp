#include "search/extraction/reader_module.h"

#include "app/fs/regular_file.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QSaveFile>
#include <QStandardPaths>

#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <mutex>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere::search::extraction {

namespace {

// Far more than a build's libraries need; a larger remembered file is not read.
constexpr qint64 RememberedBytesLimit = 256 * 1024;
constexpr qsizetype RememberedFilesLimit = 2048;
constexpr const char* RememberedHeader = "quillmere readers version 1";
// The loader's cache of where each library is, besides the files themselves.
constexpr const char* LoaderCache = "/etc/ld.so.cache";

QByteArray mimeDatabaseStamp() {
    QByteArray stamp;
    const QStringList caches = QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
                                                         QStringLiteral("mime/mime.cache"));
    for (const QString& cache : caches) {
        const QFileInfo info(cache);
        stamp += QFile::encodeName(cache) + ':' + QByteArray::number(info.size()) + ':' +
                 QByteArray::number(info.lastModified().toMSecsSinceEpoch()) + ';';
    }
    return stamp;
}

constexpr const char* Missing = "missing";

// A file as the loader found it: any change to it shows as another identity.
QByteArray identityOf(const QByteArray& path) {
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return Missing;
    return QByteArray::number(quint64(st.st_dev)) + ' ' + QByteArray::number(quint64(st.st_ino)) +
           ' ' + QByteArray::number(qint64(st.st_size)) + ' ' +
           QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qint64(st.st_mtim.tv_nsec));
}

// Where the loader looks first, and what it loads before everything else.
QByteArray loaderSearchPath() {
    QByteArray path;
    for (const char* name : {"LD_LIBRARY_PATH", "LD_PRELOAD"}) {
        const char* value = std::getenv(name);
        path += QByteArray(name) + '=' + (value ? QByteArray(value) : QByteArray()) + '\0';
    }
    return path;
}

int addLoadedFile(dl_phdr_info* info, size_t, void* data) {
    auto& files = *static_cast<QList<QByteArray>*>(data);
    // The program itself has no name here, and the kernel's vDSO is no file.
    if (info->dlpi_name && info->dlpi_name[0] == '/')
        files.append(QByteArray(info->dlpi_name));
    return 0;
}

// Every file the loader has loaded now, the module and its libraries among them.
QList<QByteArray> loadedFiles() {
    QList<QByteArray> files;
    dl_iterate_phdr(&addLoadedFile, &files);
    return files;
}

// Lines: the header, the module's path, the loader's search path, then one line per file
// (identity, then path) and last the version text; paths and texts in hex, so that no byte of
// them can break a line.
QByteArray rememberedText(const QByteArray& modulePath, const QList<QByteArray>& files,
                          const QByteArray& version) {
    QByteArray text = QByteArray(RememberedHeader) + '\n';
    text += "module " + modulePath.toHex() + '\n';
    text += "search " + loaderSearchPath().toHex() + '\n';
    for (const QByteArray& file : files)
        text += "file " + identityOf(file).replace(' ', ',') + ' ' + file.toHex() + '\n';
    text += "version " + version.toHex() + '\n';
    return text;
}

// The remembered version when the file is well formed, made for this module and loader search
// path, and every file it names is still the same; else empty.
QByteArray stillValid(const QString& rememberedFile, const QByteArray& modulePath) {
    // Never blocks: a FIFO or a device in its place is refused.
    const app::fs::RegularFile file(QFile::encodeName(rememberedFile));
    if (!file.isOpen() || file.size() > RememberedBytesLimit)
        return {};
    const QByteArray bytes = file.read(0, RememberedBytesLimit + 1);
    if (bytes.size() > RememberedBytesLimit || !bytes.endsWith('\n'))
        return {};
    const QList<QByteArray> lines = bytes.chopped(1).split('\n');
    if (lines.size() < 4 || lines.size() > RememberedFilesLimit + 4 ||
        lines.front() != RememberedHeader || lines[1] != "module " + modulePath.toHex() ||
        lines[2] != "search " + loaderSearchPath().toHex() || !lines.back().startsWith("version "))
        return {};
    bool sawModule = false;
    bool sawCache = false;
    for (qsizetype i = 3; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].split(' ');
        if (fields.size() != 3 || fields[0] != "file")
            return {};
        const QByteArray path = QByteArray::fromHex(fields[2]);
        // A file that was missing then vouches for nothing.
        if (path.isEmpty() || path.contains('\0') || fields[2] != path.toHex() ||
            fields[1] == Missing || fields[1] != identityOf(path).replace(' ', ','))
            return {};
        sawModule = sawModule || path == modulePath;
        sawCache = sawCache || path == LoaderCache;
    }
    const QByteArray versionHex = lines.back().mid(8);
    QByteArray version = QByteArray::fromHex(versionHex);
    if (!sawModule || !sawCache || version.isEmpty() || version.toHex() != versionHex)
        return {};
    return version;
}

// The loader's last message. The C library keeps it in a block of the calling thread, freed only
// by the next dlerror() or by the thread's end: a thread that ends with the program would leave
// it behind.
QString takeLoaderError() {
    const char* said = ::dlerror();
    QString message = said ? QString::fromLocal8Bit(said) : QStringLiteral("unknown cause");
    ::dlerror();
    return message;
}

} // namespace

QByteArray besideThisProgram(const char* name) {
    QByteArray self(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), size_t(self.size()));
    if (n <= 0 || n >= self.size())
        return {};
    self.truncate(qsizetype(n));
    const qsizetype slash = self.lastIndexOf('/');
    if (slash < 0)
        return {};
    return self.left(slash + 1) + name;
}

const details::ReaderModule* loadReaderModule(const QByteArray& path, QString* problem) {
    static std::mutex mutex;
    // Only what loaded is kept: a module installed later is found by a later read.
    static QHash<QByteArray, const details::ReaderModule*> loaded;
    // Asked for every file read in process: the program's place is looked up once.
    static const QByteArray beside = besideThisProgram(details::ReaderModuleFile);
    const QByteArray& file = path.isEmpty() ? beside : path;
    std::lock_guard lock(mutex);
    if (const auto it = loaded.constFind(file); it != loaded.constEnd())
        return *it;
    // Kept loaded: the readers' objects live as long as the process.
    void* handle = file.isEmpty() ? nullptr : ::dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const QString why =
            file.isEmpty() ? QStringLiteral("no program folder") : takeLoaderError();
        if (problem)
            *problem = QStringLiteral("the readers could not be loaded: ") + why;
        return nullptr;
    }
    using Entry = const details::ReaderModule* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, details::ReaderModuleEntry));
    if (!entry)
        takeLoaderError();
    const details::ReaderModule* module = entry ? entry() : nullptr;
    if (!module || module->layout != details::ReaderModuleLayout || !module->read ||
        !module->version) {
        if (problem)
            *problem = QStringLiteral("the readers could not be loaded: ") +
                       QFile::decodeName(file) +
                       QStringLiteral(" belongs to another version of Quillmere");
        return nullptr;
    }
    loaded.insert(file, module);
    return module;
}

QByteArray readersVersion(const QByteArray& modulePath, const QString& rememberedFile) {
    const QByteArray module =
        modulePath.isEmpty() ? besideThisProgram(details::ReaderModuleFile) : modulePath;
    QByteArray version = stillValid(rememberedFile, module);
    if (version.isEmpty()) {
        const details::ReaderModule* loaded = loadReaderModule(module);
        if (!loaded)
            return {};
        version = loaded->version();
        QList<QByteArray> files = loadedFiles();
        files.append(LoaderCache);
        QSaveFile out(rememberedFile);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(rememberedText(module, files, version));
            out.commit(); // or not: then it is asked again next time
        }
    }
    return version + "; mime " + mimeDatabaseStamp();
}

} // namespace quillmere::search::extraction
