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

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

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
