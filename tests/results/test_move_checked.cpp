#include "file_command_fixture.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include "app/fs/safe_move.h"
#include "app/settings.h"
#include "results/move_checked.h"

#include <QScopeGuard>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;
using namespace quillmere::app;
using namespace quillmere::results;

namespace {

QStringList namesIn(const QString& folder) {
    QStringList names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.toStdString()))
        names << QFile::decodeName(QByteArray::fromStdString(entry.path().filename().string()));
    names.sort();
    return names;
}

mode_t modeOf(const QByteArray& path) {
    struct stat info {};
    ::lstat(path.constData(), &info);
    return info.st_mode & 07777;
}

QByteArray patternBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

} // namespace

class TestMoveChecked : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir_;
    ResultsModel results_;
    RecordingResultsView view_;
    ScriptedDialogs dialogs_;

    QString source() const { return dir_->path() + QStringLiteral("/source"); }
    QString target() const { return dir_->path() + QStringLiteral("/target"); }
    QByteArray file(const QByteArray& name, const QByteArray& content, bool ticked = true) {
        const QByteArray path = native(source(), name);
        if (!writeBytes(path, content))
            qFatal("cannot write %s", path.constData());
        addRow(results_, path, ticked);
        return path;
    }
    void moveTo(const QString& folder) {
        dialogs_.queueFolder(folder);
        moveCheckedToFolder(view_, dialogs_, results_);
    }
    QString summary() const {
        return dialogs_.messages().isEmpty() ? QString() : dialogs_.messages().last().text;
    }
    ScriptedDialogs::Shown firstChoice() const {
        for (const auto& box : dialogs_.shown())
            if (box.kind == ScriptedDialogs::Kind::Choice)
                return box;
        return {};
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(source()) && QDir().mkpath(target()));
        results_.clear();
        dialogs_ = ScriptedDialogs();
        view_ = RecordingResultsView();
    }
    void cleanup() { removeTree(dir_->path()); }

    void cancelledPickerChangesNothing() {
        SaveSetting(settingkey::LastFolder, QStringLiteral("/earlier"));
        const QByteArray a = file("a.txt", "a");
        moveCheckedToFolder(view_, dialogs_, results_);
        QCOMPARE(dialogs_.shown().size(), 1);
        QCOMPARE(dialogs_.shown()[0].title, QStringLiteral("Please select folder:"));
        QCOMPARE(dialogs_.shown()[0].text, QStringLiteral("/earlier"));
        QCOMPARE(GetSetting(settingkey::LastFolder, {}), QStringLiteral("/earlier"));
        QVERIFY(exists(a) && results_.row(0).checked && view_.pointerLog.isEmpty());
    }

    void filesMoveAndRowsLeaveOnlyWhenTheirFileLeft() {
        const QByteArray first = file("first.txt", "1", false);
        file("a.txt", "a");
        QVERIFY(::chmod(file("read-only.txt", "r").constData(), 0444) == 0);
        // "caf\xe9" is not UTF-8: through text and back it would become the decoy's name.
        for (const char* name : {"with space.txt", "line\nbreak.txt", "caf\xe9.txt"})
            file(name, name);
        QVERIFY(writeBytes(native(source(), "caf\xef\xbf\xbd.txt"), "decoy"));
        const QByteArray folder = native(source(), "folder");
        QVERIFY(::mkdir(folder.constData(), 0755) == 0);
        addRow(results_, folder, true);
        QVERIFY(::symlink("folder", native(source(), "link").constData()) == 0);
        addRow(results_, native(source(), "link"), true);
        addRow(results_, native(source(), "gone.txt"), true);
        const QByteArray last = file("last.txt", "5", false);
        moveTo(target() + QLatin1Char('/')); // a trailing "/" is not doubled

        QCOMPARE(namesIn(target()), QStringList({"a.txt", "caf\uFFFD.txt", "line\nbreak.txt",
                                                 "read-only.txt", "with space.txt"}));
        QCOMPARE(contentOf(native(target(), "caf\xe9.txt")), QByteArray("caf\xe9.txt"));
        QCOMPARE(contentOf(native(source(), "caf\xef\xbf\xbd.txt")), QByteArray("decoy"));
        QCOMPARE(modeOf(native(target(), "read-only.txt")), mode_t(0444));
        QCOMPARE(namesIn(source()),
                 QStringList({"caf\uFFFD.txt", "first.txt", "folder", "last.txt", "link"}));
        QCOMPARE(rowsOf(results_),
                 QStringList({"- " + QFile::decodeName(first), "x " + QFile::decodeName(folder),
                              "x " + source() + "/link", "- " + QFile::decodeName(last)}));
        QCOMPARE(dialogs_.messages().size(), 1);
        QCOMPARE(dialogs_.messages()[0].style, BoxStyle::Exclamation);
        QCOMPARE(summary(), "3 of 8 items could not be moved to \"" + target() + "/\":\r\n\r\n" +
                                source() + "/folder: It is a folder; only files are moved\r\n" +
                                source() +
                                "/link: It is a symbolic link; only files are moved\r\n" +
                                source() + "/gone.txt: It no longer exists");
        QCOMPARE(view_.pointerLog, QList<int>({11, 0}));
        QCOMPARE(view_.redraws, 1);

        // The folder was remembered before any file moved; the next picker opens there.
        QCOMPARE(GetSetting(settingkey::LastFolder, {}), target() + QLatin1Char('/'));
        dialogs_.clear();
        moveTo(source()); // the files already there stay where they are
        QCOMPARE(dialogs_.shown()[0].text, target() + QLatin1Char('/'));
        QCOMPARE(namesIn(source()).size(), 5);
    }

    void unrememberedFolderIsReportedAndTheMoveGoesOn() {
        // A file where the settings folder belongs: "LastFolder" cannot be written.
        const QString settings = qEnvironmentVariable("XDG_CONFIG_HOME") + "/Vantrel";
        removeTree(settings);
        QVERIFY(QDir().mkpath(qEnvironmentVariable("XDG_CONFIG_HOME")));
        QVERIFY(writeBytes(QFile::encodeName(settings), "in the way"));
        const QByteArray a = file("a.txt", "a");
        moveTo(target());
        QFile::remove(settings);
        QVERIFY(!exists(a) && exists(native(target(), "a.txt")));
        QCOMPARE(dialogs_.messages().size(), 1);
        QCOMPARE(dialogs_.messages()[0].title, QStringLiteral("Application Error"));
        // No row had been reached: nothing follows "File: ".
        QVERIFY2(dialogs_.messages()[0].text.endsWith(
                     "in Quillmere2021/08/31.Form1.PushButton8_Click at line 334\r\rPlease email "
                     "screenshot of this message to support@vantrel.example\r\rFile: "),
                 qPrintable(dialogs_.messages()[0].text));
    }

    void clashIsAskedAndTheAnswerHonoured_data() {
        QTest::addColumn<QString>("answer"); // empty: the box closed without a choice
        QTest::addColumn<QStringList>("targetAfter");
        QTest::addColumn<QByteArray>("oldNameHolds");
        QTest::addRow("replace") << "Replace" << QStringList({"x.txt"}) << QByteArray("new");
        QTest::addRow("keep both")
            << "Keep Both" << QStringList({"x (2).txt", "x.txt"}) << QByteArray("old");
        QTest::addRow("skip") << "Skip" << QStringList({"x.txt"}) << QByteArray("old");
        QTest::addRow("default") << "" << QStringList({"x.txt"}) << QByteArray("old");
    }

    void aFileBeyondTheLongestPathIsKeptListedAndReportedAsItIs() {
        const QByteArray deep = writeDeepFile(source(), "deep.txt", "deep");
        const auto cleanup = qScopeGuard([&] { removeDeepFile(source(), "deep.txt"); });
        addRow(results_, deep, true);
        moveTo(target());
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(deep)}));
        QCOMPARE(summary(), "The item could not be moved to \"" + target() + "\":\r\n\r\n" +
                                QFile::decodeName(deep) + ": File name too long");
        QVERIFY(removeDeepFile(source(), "deep.txt"));
        QCOMPARE(namesIn(target()), QStringList());
    }

    void clashIsAskedAndTheAnswerHonoured() {
        QFETCH(QString, answer);
        QFETCH(QStringList, targetAfter);
        QFETCH(QByteArray, oldNameHolds);
        QVERIFY(writeBytes(native(target(), "x.txt"), "old"));
        const QByteArray moving = file("x.txt", "new");
        if (!answer.isEmpty())
            dialogs_.queueChoice(answer);
        moveTo(target());

        QCOMPARE(firstChoice().buttons, QStringList({"Replace", "Keep Both", "Skip"}));
        QCOMPARE(firstChoice().defaultButton, 2); // Skip is the default: it loses nothing
        QCOMPARE(namesIn(target()), targetAfter);
        QCOMPARE(contentOf(native(target(), "x.txt")), oldNameHolds);
        const bool skipped = oldNameHolds == "old" && targetAfter.size() == 1;
        QCOMPARE(contentOf(moving), skipped ? QByteArray("new") : QByteArray("(missing)"));
        QCOMPARE(results_.rowCount(), skipped ? 1 : 0);
        QCOMPARE(dialogs_.messages().size(), skipped ? 1 : 0);
    }

    void sameNameFromTwoFoldersAndAFolderInTheWayAreClashes() {
        QVERIFY(QDir().mkpath(source() + QStringLiteral("/other")));
        QVERIFY(QDir().mkpath(target() + QStringLiteral("/folder.txt")));
        file("x.txt", "one");
        file("other/x.txt", "two");
        file("folder.txt", "file");
        dialogs_.queueChoice(QStringLiteral("Keep Both"));
        dialogs_.queueChoice(QStringLiteral("Keep Both"));
        moveTo(target());
        QVERIFY2(firstChoice().text.contains("It was moved there a moment ago from \"" + source() +
                                             "/\""),
                 qPrintable(firstChoice().text));
        QCOMPARE(dialogs_.shown().last().buttons, QStringList({"Keep Both", "Skip"}));
        QCOMPARE(contentOf(native(target(), "x.txt")), QByteArray("one"));
        QCOMPARE(contentOf(native(target(), "x (2).txt")), QByteArray("two"));
        QCOMPARE(contentOf(native(target(), "folder (2).txt")), QByteArray("file"));
        QVERIFY(rowsOf(results_).isEmpty());
    }

    void moveAcrossFileSystemsCopiesChecksAndDeletes() {
        ScratchFileSystem other("size=1m");
        if (!other.isMounted())
            QSKIP(qPrintable(other.whyNot()));
        const QByteArray content = patternBytes(300 * 1024);
        const QByteArray path = file("big.bin", content);
        // Where the source's file system keeps the user's attributes, they come along.
        const bool tagged =
            ::setxattr(path.constData(), "user.xdg.origin.url", "https://a/b", 11, 0) == 0;
        QVERIFY(::chmod(path.constData(), 0444) == 0);
        moveTo(other.path());
        QCOMPARE(contentOf(native(other.path(), "big.bin")), content);
        QCOMPARE(modeOf(native(other.path(), "big.bin")), mode_t(0444));
        char origin[32] = {};
        if (tagged)
            QCOMPARE(::getxattr(native(other.path(), "big.bin").constData(), "user.xdg.origin.url",
                                origin, sizeof origin),
                     ssize_t(11));
        QVERIFY(!exists(path));
        QCOMPARE(namesIn(other.path()), QStringList({"big.bin"})); // no temporary file left
        QVERIFY(rowsOf(results_).isEmpty() && dialogs_.messages().isEmpty());
    }

    // A file saved anew while it is moved across file systems (an editor writes a new file and
    // renames it over the old one), and a file too large to read back that is written to in
    // place during its copy: each stays where it was, with its new content.
    void aFileThatChangesWhileItIsMovedStays() {
        ScratchFileSystem other("size=64m");
        if (!other.isMounted())
            QSKIP(qPrintable(other.whyNot()));
        const QByteArray notes = file("notes.txt", "version 1");
        const QByteArray large = file("large.db", QByteArray(fs::kVerifiedContentLimit + 1, 'a'));
        std::thread writer;
        fs::CopyProbe probe;
        probe.withoutAnonymousFile = true; // the copy has a name to watch
        int copies = 0;
        probe.created = [&](int folderFd, const QByteArray& name) {
            if (++copies != 2) // the rows' order: notes.txt, then large.db
                return;
            writer = std::thread([folderFd, name, large] {
                struct stat copy {};
                while (::fstatat(folderFd, name.constData(), &copy, 0) == 0 &&
                       copy.st_size < (1 << 20))
                    std::this_thread::yield();
                const int fd = ::open(large.constData(), O_WRONLY | O_CLOEXEC);
                (void)!::pwrite(fd, "B", 1, 0); // a byte already copied
                ::close(fd);
            });
        };
        int placed = 0;
        probe.placing = [&](int, const QByteArray&) {
            if (++placed != 1)
                return;
            const QByteArray saved = native(source(), ".notes.txt.new");
            QVERIFY(writeBytes(saved, "version 2"));
            QVERIFY(::rename(saved.constData(), notes.constData()) == 0);
        };
        fs::setCopyProbe(&probe);
        const auto noProbe = qScopeGuard([] { fs::setCopyProbe(nullptr); });
        moveTo(other.path());
        if (writer.joinable())
            writer.join();
        QCOMPARE(contentOf(notes), QByteArray("version 2"));
        QCOMPARE(contentOf(large).left(1), QByteArray("B"));
        QCOMPARE(dialogs_.messages().size(), 1);
        QVERIFY2(summary().contains(QFile::decodeName(notes)) &&
                     summary().contains(QFile::decodeName(large)),
                 qPrintable(summary()));
    }

    // A copy to another file system is written on a thread of its own while the window's
    // messages run. The window may then be closed, which ends the process at once: on a file
    // system without anonymous files (a memory card) the half-written copy must not stay.
    void aCopyLetsTheWindowRunAndAClosedWindowLeavesNoHalfCopy() {
        ScratchFileSystem other("size=4m");
        if (!other.isMounted())
            QSKIP(qPrintable(other.whyNot()));
        const QByteArray content = patternBytes(1 << 20);
        const QByteArray film = file("film.bin", content);
        fs::CopyProbe probe;
        probe.withoutAnonymousFile = true;
        std::atomic<bool> closed{false};
        bool closedDuringCopy = false;
        probe.created = [&](int folderFd, const QByteArray& name) {
            QVERIFY(::faccessat(folderFd, name.constData(), F_OK, AT_SYMLINK_NOFOLLOW) == 0);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [&] {
                    fs::removeCopiesInFlight();
                    closed = true;
                },
                Qt::QueuedConnection);
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!closed && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            closedDuringCopy = closed;
        };
        fs::setCopyProbe(&probe);
        const auto noProbe = qScopeGuard([] { fs::setCopyProbe(nullptr); });
        moveTo(other.path());
        QVERIFY(closedDuringCopy);
        QCOMPARE(namesIn(other.path()), QStringList());
        QCOMPARE(contentOf(film), content);
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(film)}));
        QVERIFY2(summary().contains(QFile::decodeName(film)), qPrintable(summary()));
    }

    void copyThatFailsMidwayKeepsSourceRowAndTheFileItWouldReplace() {
        ScratchFileSystem full("size=64k");
        if (!full.isMounted())
            QSKIP(qPrintable(full.whyNot()));
        QVERIFY(writeBytes(native(full.path(), "kept.bin"), "already there"));
        const QByteArray content = patternBytes(200 * 1024);
        const QByteArray fresh = file("fresh.bin", content);
        const QByteArray replacing = file("kept.bin", content);
        dialogs_.queueChoice(QStringLiteral("Replace"));
        moveTo(full.path());
        QCOMPARE(contentOf(fresh), content);
        QCOMPARE(contentOf(replacing), content);
        QCOMPARE(contentOf(native(full.path(), "kept.bin")), QByteArray("already there"));
        QCOMPARE(namesIn(full.path()), QStringList({"kept.bin"}));
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(fresh),
                                                "x " + QFile::decodeName(replacing)}));
        QCOMPARE(summary(), "2 of 2 items could not be moved to \"" + full.path() + "\":\r\n\r\n" +
                                QFile::decodeName(fresh) + ": No space left on device\r\n" +
                                QFile::decodeName(replacing) + ": No space left on device");
    }
};

QUILLMERE_CORE_TEST_MAIN(TestMoveChecked)
#include "test_move_checked.moc"
