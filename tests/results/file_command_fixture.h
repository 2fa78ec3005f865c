#pragma once

#include "results/results_model.h"
#include "results/results_view.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// What the file-command tests share: a window that records, real files by their bytes, rows, and
// a small file system of their own.
namespace quillmere::test {

struct RecordingResultsView : results::ResultsView {
    int mousePointer() const override { return pointerLog.isEmpty() ? 0 : pointerLog.last(); }
    void setMousePointer(int value) override { pointerLog.append(value); }
    void setProgressValue(int) override {}
    void setProgressText(const QString&) override {}
    void redrawResults() override { ++redraws; }
    QList<int> pointerLog;
    int redraws = 0;
};

inline QByteArray native(const QString& folder, const QByteArray& name) {
    return QFile::encodeName(folder) + '/' + name;
}

inline bool exists(const QByteArray& path) {
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0;
}

// What the file holds, or "(missing)" when there is none.
inline QByteArray contentOf(const QByteArray& path) {
    return exists(path) ? readBytes(path) : QByteArray("(missing)");
}

// Qt's own removal skips names that are not valid UTF-8.
inline void removeTree(const QString& path) {
    std::error_code ignored;
    std::filesystem::remove_all(QFile::encodeName(path).toStdString(), ignored);
}

// The rows in order, each as "x path" (ticked) or "- path".
inline QStringList rowsOf(const results::ResultsModel& results) {
    QStringList lines;
    for (int i = 0; i < results.rowCount(); ++i)
        lines << (results.row(i).checked ? "x " : "- ") + results.row(i).displayPath;
    return lines;
}

inline void addRow(results::ResultsModel& results, const QByteArray& path, bool ticked) {
    results.appendRow(path, QStringLiteral("[Name] x"));
    results.setChecked(results.rowCount() - 1, ticked);
}

// A file under 22 folders of 200-byte names below `folder`: its path is longer than the system
// takes (4096 bytes), so it is reached only one folder at a time. Returns its path.
constexpr int kDeepLevels = 22;
inline QByteArray deepFolderName() {
    return QByteArray(200, 'd');
}

inline QByteArray writeDeepFile(const QString& folder, const QByteArray& name,
                                const QByteArray& content) {
    QByteArray path = QFile::encodeName(folder);
    int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < kDeepLevels && fd >= 0; ++i) {
        ::mkdirat(fd, deepFolderName().constData(), 0755);
        const int next =
            ::openat(fd, deepFolderName().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
        path += '/' + deepFolderName();
    }
    const int file = ::openat(fd, name.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    const bool written =
        file >= 0 && ::write(file, content.constData(), size_t(content.size())) == content.size();
    ::close(file);
    ::close(fd);
    if (!written)
        qFatal("cannot write the deep file");
    return path + '/' + name;
}

// Whether the deep file is there, and removes it and its folders.
inline bool removeDeepFile(const QString& folder, const QByteArray& name) {
    std::vector<int> fds{::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY)};
    for (int i = 0; i < kDeepLevels && fds.back() >= 0; ++i)
        fds.push_back(::openat(fds.back(), deepFolderName().constData(), O_RDONLY | O_DIRECTORY));
    const bool there = fds.back() >= 0 && ::unlinkat(fds.back(), name.constData(), 0) == 0;
    for (size_t i = fds.size() - 1; i > 0; --i) {
        ::close(fds[i]);
        ::unlinkat(fds[i - 1], deepFolderName().constData(), AT_REMOVEDIR);
    }
    ::close(fds.front());
    return there;
}

// A tmpfs, or an ext4 image on a loop device (GIO keeps no Trash on tmpfs), mounted in a mount
// namespace of this process alone, so no mount outlives the test. Needs root or CAP_SYS_ADMIN.
class ScratchFileSystem {
public:
    explicit ScratchFileSystem(const char* tmpfsOptions) {
        if (canMount() &&
            ::mount("tmpfs", QFile::encodeName(path()).constData(), "tmpfs", 0, tmpfsOptions) != 0)
            whyNot_ = QStringLiteral("tmpfs cannot be mounted");
    }
    ScratchFileSystem() {
        const QString image = image_.filePath(QStringLiteral("fs.img"));
        QFile file(image);
        if (!canMount())
            return;
        if (!file.open(QIODevice::WriteOnly) || !file.resize(8 << 20)) {
            whyNot_ = QStringLiteral("no room for a file system image");
            return;
        }
        file.close();
        if (!run("mkfs.ext4", {"-q", "-F", image}) || !run("mount", {"-o", "loop", image, path()}))
            whyNot_ = QStringLiteral("an ext4 image cannot be made and mounted on a loop device");
    }
    ~ScratchFileSystem() {
        if (whyNot_.isEmpty())
            ::umount2(QFile::encodeName(path()).constData(), MNT_DETACH);
    }
    bool isMounted() const { return whyNot_.isEmpty(); }
    QString whyNot() const { return QStringLiteral("No second file system: ") + whyNot_; }
    QString path() const { return folder_.path(); }

private:
    bool canMount() {
        static const bool privateMounts =
            ::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        if (!privateMounts || !folder_.isValid() || !image_.isValid())
            whyNot_ = QStringLiteral("no private mount namespace (needs root or CAP_SYS_ADMIN)");
        return whyNot_.isEmpty();
    }
    static bool run(const QString& program, const QStringList& arguments) {
        QProcess process;
        process.start(program, arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
    QTemporaryDir folder_;
    QTemporaryDir image_;
    QString whyNot_;
};

} // namespace quillmere::test
