#pragma once

#include "results/results_model.h"
#include "results/results_view.h"
#include "support/scripted_dialogs.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <filesystem>
#include <memory>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// What the file-command tests share: a window that records, real files, rows and a small file
// system of their own.
namespace quillmere::test {

class RecordingResultsView : public ResultsView {
public:
    int mousePointer() const override { return pointer_; }
    void setMousePointer(int value) override {
        pointer_ = value;
        pointerLog.append(value);
    }
    void setProgressValue(int) override {}
    void setProgressText(const QString&) override {}
    void redrawResults() override { ++redraws; }

    QList<int> pointerLog;
    int redraws = 0;

private:
    int pointer_ = 0;
};

inline QByteArray native(const QString& folder, const QByteArray& relative) {
    return QFile::encodeName(folder) + '/' + relative;
}

inline bool writeBytes(const QByteArray& path, const QByteArray& bytes) {
    FILE* file = std::fopen(path.constData(), "wb");
    if (!file)
        return false;
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file) == size_t(bytes.size());
    return std::fclose(file) == 0 && written;
}

inline QByteArray readBytes(const QByteArray& path) {
    QByteArray bytes;
    if (FILE* file = std::fopen(path.constData(), "rb")) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            bytes.append(buffer, qsizetype(got));
        std::fclose(file);
    }
    return bytes;
}

// Removes a tree by its bytes: Qt's own removal skips names that are not valid UTF-8.
inline void removeTree(const QString& path) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(QFile::encodeName(path).toStdString()),
                                ignored);
}

inline bool exists(const QByteArray& path) {
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0;
}

// Bytes that differ from one position to the next, so a shifted or partial copy shows.
inline QByteArray patternBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// The rows in order, each as "x path" (ticked) or "- path".
inline QStringList rowsOf(const ResultsModel& results) {
    QStringList lines;
    for (int i = 0; i < results.rowCount(); ++i)
        lines << (results.row(i).checked ? QStringLiteral("x ") : QStringLiteral("- ")) +
                     results.row(i).displayPath;
    return lines;
}

inline void addRows(ResultsModel& results, const QList<QByteArray>& paths,
                    const QList<int>& ticked) {
    for (const QByteArray& path : paths)
        results.appendRow(path, QStringLiteral("[Name] x"));
    for (int row : ticked)
        results.setChecked(row, true);
}

// A small file system of its own, mounted in a mount namespace of this process alone, so no mount
// outlives the test even when it crashes: a tmpfs ("size=64k"), or an ext4 image on a loop device
// (GIO keeps no Trash on tmpfs, which it counts as the system's own). Needs root or
// CAP_SYS_ADMIN; whyNot() says what was missing.
class ScratchFileSystem {
public:
    static std::unique_ptr<ScratchFileSystem> tmpfs(const char* options) {
        auto fs = std::unique_ptr<ScratchFileSystem>(new ScratchFileSystem);
        if (fs->whyNot_.isEmpty()) {
            if (::mount("tmpfs", fs->nativeFolder().constData(), "tmpfs", 0, options) == 0)
                fs->mounted_ = true;
            else
                fs->whyNot_ = QStringLiteral("tmpfs cannot be mounted: ") +
                              QString::fromLocal8Bit(std::strerror(errno));
        }
        return fs;
    }

    static std::unique_ptr<ScratchFileSystem> ext4Image() {
        auto fs = std::unique_ptr<ScratchFileSystem>(new ScratchFileSystem);
        if (!fs->whyNot_.isEmpty())
            return fs;
        const QString image = fs->imageFolder_.filePath(QStringLiteral("fs.img"));
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(8 << 20)) {
            fs->whyNot_ = QStringLiteral("no room for an image");
            return fs;
        }
        file.close();
        if (!run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), image}))
            fs->whyNot_ = QStringLiteral("mkfs.ext4 failed");
        else if (!run(QStringLiteral("mount"),
                      {QStringLiteral("-o"), QStringLiteral("loop"), image, fs->folder_.path()}))
            fs->whyNot_ = QStringLiteral("the image cannot be mounted on a loop device");
        else
            fs->mounted_ = true;
        return fs;
    }

    ~ScratchFileSystem() {
        if (mounted_)
            ::umount2(nativeFolder().constData(), MNT_DETACH);
    }
    bool isMounted() const { return mounted_; }
    QString whyNot() const { return whyNot_; }
    QString path() const { return folder_.path(); }

private:
    ScratchFileSystem() {
        if (!folder_.isValid() || !imageFolder_.isValid() || !privateMounts())
            whyNot_ = QStringLiteral("no private mount namespace (needs root or CAP_SYS_ADMIN)");
    }
    QByteArray nativeFolder() const { return QFile::encodeName(folder_.path()); }
    static bool privateMounts() {
        static const bool done = ::unshare(CLONE_NEWNS) == 0 &&
                                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        return done;
    }
    static bool run(const QString& program, const QStringList& arguments) {
        QProcess process;
        process.start(program, arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    QTemporaryDir folder_;
    QTemporaryDir imageFolder_;
    bool mounted_ = false;
    QString whyNot_;
};

} // namespace quillmere::test
