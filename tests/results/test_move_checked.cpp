#include "file_command_fixture.h"
#include "support/test_main.h"

#include "app/settings.h"
#include "results/move_checked.h"

#include <QDir>

using namespace quillmere;
using namespace quillmere::test;

namespace {

QStringList entriesOf(const QString& folder) {
    QStringList names;
    for (const auto& entry :
         std::filesystem::directory_iterator(QFile::encodeName(folder).toStdString()))
        names << QFile::decodeName(QByteArray::fromStdString(entry.path().filename().string()));
    names.sort();
    return names;
}

mode_t modeOf(const QByteArray& path) {
    struct stat info {};
    ::lstat(path.constData(), &info);
    return info.st_mode & 07777;
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
    QByteArray in(const QString& folder, const QByteArray& name) { return native(folder, name); }

    // A file of the source folder with the given content, listed as a row.
    QByteArray listed(const QByteArray& name, const QByteArray& content, bool ticked = true) {
        const QByteArray path = in(source(), name);
        if (!writeBytes(path, content))
            qWarning("cannot write %s", path.constData());
        addRows(results_, {path}, {});
        results_.setChecked(results_.rowCount() - 1, ticked);
        return path;
    }

    void moveTo(const QString& folder) {
        dialogs_.queueFolder(folder);
        moveCheckedToFolder(view_, dialogs_, results_);
    }

    QList<ScriptedDialogs::Shown> choices() const {
        QList<ScriptedDialogs::Shown> boxes;
        for (const auto& box : dialogs_.shown())
            if (box.kind == ScriptedDialogs::Kind::Choice)
                boxes << box;
        return boxes;
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(source()) && QDir().mkpath(target()));
        results_.clear();
        dialogs_ = ScriptedDialogs();
        view_ = RecordingResultsView();
    }

    void cleanup() {
        removeTree(dir_->path());
        dir_.reset();
    }

    void cancelledPickerChangesNothing() {
        SaveSetting(settingkey::LastFolder, QStringLiteral("/earlier"));
        const QByteArray a = listed("a.txt", "a");
        moveCheckedToFolder(view_, dialogs_, results_);
        QCOMPARE(dialogs_.shown().size(), 1);
        QCOMPARE(dialogs_.shown()[0].kind, ScriptedDialogs::Kind::Folder);
        QCOMPARE(dialogs_.shown()[0].title, QStringLiteral("Please select folder:"));
        QCOMPARE(dialogs_.shown()[0].text, QStringLiteral("/earlier"));
        QCOMPARE(GetSetting(settingkey::LastFolder, {}), QStringLiteral("/earlier"));
        QVERIFY(exists(a));
        QCOMPARE(rowsOf(results_).size(), 1);
        QVERIFY(view_.pointerLog.isEmpty());
    }

    void tickedRowsMoveAndLeaveTheList() {
        const QByteArray first = listed("first.txt", "1", false);
        listed("a.txt", "a");
        listed("b.txt", "b");
        listed("c.txt", "c");
        const QByteArray last = listed("last.txt", "5", false);
        moveTo(target() + QLatin1Char('/')); // a trailing "/" is not doubled
        QCOMPARE(entriesOf(target()), QStringList({"a.txt", "b.txt", "c.txt"}));
        QCOMPARE(readBytes(in(target(), "b.txt")), QByteArray("b"));
        QCOMPARE(entriesOf(source()), QStringList({"first.txt", "last.txt"}));
        QCOMPARE(rowsOf(results_),
                 QStringList({"- " + QFile::decodeName(first), "- " + QFile::decodeName(last)}));
        QCOMPARE(view_.pointerLog, QList<int>({11, 0}));
        QCOMPARE(view_.redraws, 1);
        QCOMPARE(dialogs_.shown().size(), 1); // the picker; no clash, no failure

        // The folder is remembered before any file is touched, and the next picker opens there.
        QCOMPARE(GetSetting(settingkey::LastFolder, {}), target() + QLatin1Char('/'));
        dialogs_.clear();
        moveCheckedToFolder(view_, dialogs_, results_);
        QCOMPARE(dialogs_.shown()[0].text, target() + QLatin1Char('/'));
    }

    void readOnlyFileIsMovedAndKeepsItsMode() {
        const QByteArray path = listed("locked.txt", "locked");
        QVERIFY(::chmod(path.constData(), 0444) == 0);
        moveTo(target());
        QVERIFY(!exists(path));
        QCOMPARE(readBytes(in(target(), "locked.txt")), QByteArray("locked"));
        QCOMPARE(modeOf(in(target(), "locked.txt")), mode_t(0444));
        QVERIFY(rowsOf(results_).isEmpty());
    }

    void rowsWhoseFilesStayKeepTheirTickAndOneMessageSaysWhy() {
        const QByteArray folder = in(source(), "folder");
        QVERIFY(::mkdir(folder.constData(), 0755) == 0);
        addRows(results_, {folder}, {0});
        const QByteArray gone = listed("gone.txt", "gone");
        QVERIFY(::unlink(gone.constData()) == 0);
        QVERIFY(::symlink("folder", in(source(), "link").constData()) == 0);
        addRows(results_, {in(source(), "link")}, {2});
        listed("fine.txt", "fine");
        moveTo(target());

        QCOMPARE(entriesOf(target()), QStringList({"fine.txt"}));
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(folder),
                                                "x " + source() + QStringLiteral("/link")}));
        QCOMPARE(dialogs_.messages().size(), 1);
        QCOMPARE(dialogs_.messages()[0].style, boxstyle::Exclamation);
        QCOMPARE(dialogs_.messages()[0].text,
                 "3 of 4 items could not be moved to \"" + target() + "\":\r\n" + "\r\n" +
                     source() + "/folder: It is a folder; only files are moved" + "\r\n" +
                     source() + "/gone.txt: It no longer exists" + "\r\n" + source() +
                     "/link: It is a symbolic link; only files are moved");
    }

    void pickingTheSourceFolderLosesNothing() {
        const QByteArray path = listed("here.txt", "here");
        moveTo(source());
        QCOMPARE(readBytes(path), QByteArray("here"));
        QCOMPARE(rowsOf(results_).size(), 1);
        QVERIFY(dialogs_.messages()[0].text.endsWith(
            "here.txt: It is already in the destination folder"));
    }

    void clashIsAskedAndTheAnswerHonoured_data() {
        QTest::addColumn<QString>("answer"); // empty: the box closed without a choice
        QTest::addColumn<QStringList>("targetAfter");
        QTest::addColumn<QByteArray>("namedAsBefore");
        QTest::addColumn<bool>("rowStays");
        QTest::addRow("replace") << "Replace" << QStringList({"x.txt"}) << QByteArray("new")
                                 << false;
        QTest::addRow("keep both")
            << "Keep Both" << QStringList({"x (2).txt", "x.txt"}) << QByteArray("old") << false;
        QTest::addRow("skip") << "Skip" << QStringList({"x.txt"}) << QByteArray("old") << true;
        QTest::addRow("default") << "" << QStringList({"x.txt"}) << QByteArray("old") << true;
    }

    void clashIsAskedAndTheAnswerHonoured() {
        QFETCH(QString, answer);
        QFETCH(QStringList, targetAfter);
        QFETCH(QByteArray, namedAsBefore);
        QFETCH(bool, rowStays);
        QVERIFY(writeBytes(in(target(), "x.txt"), "old"));
        const QByteArray moving = listed("x.txt", "new");
        if (!answer.isEmpty())
            dialogs_.queueChoice(answer);
        moveTo(target());

        QCOMPARE(choices().size(), 1);
        QCOMPARE(choices()[0].buttons, QStringList({"Replace", "Keep Both", "Skip"}));
        QCOMPARE(choices()[0].style, 2); // Skip is the default: it loses nothing
        QCOMPARE(entriesOf(target()), targetAfter);
        QCOMPARE(readBytes(in(target(), "x.txt")), namedAsBefore);
        if (targetAfter.size() == 2)
            QCOMPARE(readBytes(in(target(), "x (2).txt")), QByteArray("new"));
        QCOMPARE(exists(moving), rowStays);
        QCOMPARE(results_.rowCount(), rowStays ? 1 : 0);
        QCOMPARE(dialogs_.messages().size(), rowStays ? 1 : 0);
    }

    void sameNameFromTwoFoldersIsAClash() {
        QVERIFY(QDir().mkpath(source() + QStringLiteral("/other")));
        const QByteArray one = listed("x.txt", "one");
        const QByteArray two = listed("other/x.txt", "two");
        dialogs_.queueChoice(QStringLiteral("Keep Both"));
        moveTo(target());
        QCOMPARE(choices().size(), 1);
        QVERIFY2(choices()[0].text.contains("It was moved there a moment ago from \"" + source() +
                                            "/\""),
                 qPrintable(choices()[0].text));
        QCOMPARE(readBytes(in(target(), "x.txt")), QByteArray("one"));
        QCOMPARE(readBytes(in(target(), "x (2).txt")), QByteArray("two"));
        QVERIFY(!exists(one) && !exists(two));
        QVERIFY(rowsOf(results_).isEmpty());
    }

    void folderInTheWayIsNeverReplaced() {
        QVERIFY(QDir().mkpath(target() + QStringLiteral("/x.txt")));
        listed("x.txt", "file");
        dialogs_.queueChoice(QStringLiteral("Keep Both"));
        moveTo(target());
        QCOMPARE(choices()[0].buttons, QStringList({"Keep Both", "Skip"}));
        QVERIFY(QFileInfo(target() + QStringLiteral("/x.txt")).isDir());
        QCOMPARE(readBytes(in(target(), "x (2).txt")), QByteArray("file"));
    }

    void oddNamesAreMovedAsThemselves() {
        const QList<QByteArray> names = {"with space.txt", "line\nbreak.txt", "caf\xe9.txt"};
        for (const QByteArray& name : names)
            listed(name, name);
        // What "caf\xe9" would become if it went through text and back.
        const QByteArray decoy = in(source(), "caf\xef\xbf\xbd.txt");
        QVERIFY(writeBytes(decoy, "decoy"));
        moveTo(target());
        for (const QByteArray& name : names)
            QCOMPARE(readBytes(in(target(), name)), name);
        QCOMPARE(readBytes(decoy), QByteArray("decoy"));
        QCOMPARE(entriesOf(source()).size(), 1);
        QVERIFY(rowsOf(results_).isEmpty());
        QVERIFY(dialogs_.messages().isEmpty());
    }

    void moveAcrossFileSystemsCopiesChecksAndDeletes() {
        const auto mounted = ScratchFileSystem::tmpfs("size=1m");
        const ScratchFileSystem& other = *mounted;
        if (!other.isMounted())
            QSKIP(qPrintable("No second file system: " + other.whyNot()));
        const QByteArray content = patternBytes(300 * 1024);
        const QByteArray path = listed("big.bin", content);
        QVERIFY(::chmod(path.constData(), 0444) == 0);
        struct stat before {};
        QVERIFY(::stat(path.constData(), &before) == 0);
        moveTo(other.path());

        const QByteArray moved = native(other.path(), "big.bin");
        QCOMPARE(readBytes(moved), content);
        QCOMPARE(modeOf(moved), mode_t(0444));
        struct stat after {};
        QVERIFY(::stat(moved.constData(), &after) == 0);
        QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        QVERIFY(!exists(path));
        QCOMPARE(entriesOf(other.path()), QStringList({"big.bin"})); // no temporary file left
        QVERIFY(rowsOf(results_).isEmpty());
        QVERIFY(dialogs_.messages().isEmpty());
    }

    void copyThatFailsMidwayKeepsSourceRowAndExistingFile() {
        const auto mounted = ScratchFileSystem::tmpfs("size=64k");
        const ScratchFileSystem& full = *mounted;
        if (!full.isMounted())
            QSKIP(qPrintable("No second file system: " + full.whyNot()));
        QVERIFY(writeBytes(native(full.path(), "kept.bin"), "already there"));
        const QByteArray content = patternBytes(200 * 1024);
        const QByteArray fresh = listed("fresh.bin", content);
        const QByteArray replacing = listed("kept.bin", content);
        dialogs_.queueChoice(QStringLiteral("Replace"));
        moveTo(full.path());

        QCOMPARE(readBytes(fresh), content);
        QCOMPARE(readBytes(replacing), content);
        QCOMPARE(readBytes(native(full.path(), "kept.bin")), QByteArray("already there"));
        QCOMPARE(entriesOf(full.path()), QStringList({"kept.bin"}));
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(fresh),
                                                "x " + QFile::decodeName(replacing)}));
        QCOMPARE(dialogs_.messages().size(), 1);
        QCOMPARE(dialogs_.messages()[0].text,
                 "2 of 2 items could not be moved to \"" + full.path() + "\":\r\n\r\n" +
                     QFile::decodeName(fresh) + ": No space left on device\r\n" +
                     QFile::decodeName(replacing) + ": No space left on device");
    }
};

QUILLMERE_TEST_MAIN(TestMoveChecked)
#include "test_move_checked.moc"
