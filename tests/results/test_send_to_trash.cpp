#include "file_command_fixture.h"
#include "results/send_checked_to_trash.h"
#include "support/test_main.h"

#include <QDir>

using namespace quillmere;
using namespace quillmere::test;

namespace {

QString trashFolder() {
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash");
}

QByteArray trashed(const QByteArray& name) {
    return QFile::encodeName(trashFolder()) + "/files/" + name;
}

// The original path recorded for a trashed name, as the file manager will restore it.
QByteArray restorePathOf(const QByteArray& infoFile) {
    for (const QByteArray& line : readBytes(infoFile).split('\n')) {
        if (line.startsWith("Path="))
            return QByteArray::fromPercentEncoding(line.mid(5));
    }
    return {};
}

} // namespace

class TestSendToTrash : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ResultsModel results_;
    RecordingResultsView view_;
    ScriptedDialogs dialogs_;

    QByteArray file(const QByteArray& name) { return native(dir_.path(), name); }

    void run() { sendCheckedToRecycleBin(view_, dialogs_, results_); }

private slots:
    void cleanupTestCase() { removeTree(trashFolder()); }

    void init() {
        removeTree(trashFolder());
        results_.clear();
        dialogs_ = ScriptedDialogs();
        view_ = RecordingResultsView();
    }

    void threeTickedRowsGoToTheTrashAfterOneQuestion() {
        QList<QByteArray> paths;
        for (const char* name : {"a1.txt", "b1.txt", "c1.txt", "d1.txt", "e1.txt"}) {
            paths << file(name);
            QVERIFY(writeBytes(paths.last(), name));
        }
        addRows(results_, paths, {0, 2, 3});
        dialogs_.queueAnswer(BoxAnswer::Yes);
        run();

        QCOMPARE(dialogs_.shown().size(), 1);
        QCOMPARE(dialogs_.shown().first().style, boxstyle::YesNo | boxstyle::Question);
        QCOMPARE(dialogs_.shown().first().text,
                 QStringLiteral("Are you sure you want to move these 3 items to the Trash?"));
        QCOMPARE(rowsOf(results_), QStringList({"- " + QFile::decodeName(paths[1]),
                                                "- " + QFile::decodeName(paths[4])}));
        for (int i : {0, 2, 3}) {
            const QByteArray name = paths[i].mid(paths[i].lastIndexOf('/') + 1);
            QVERIFY(!exists(paths[i]));
            QCOMPARE(readBytes(trashed(name)), name);
            const QByteArray info =
                QFile::encodeName(trashFolder()) + "/info/" + name + ".trashinfo";
            QCOMPARE(restorePathOf(info), paths[i]);
            QVERIFY(readBytes(info).contains("\nDeletionDate="));
        }
        QVERIFY(exists(paths[1]) && exists(paths[4]));
        QCOMPARE(view_.redraws, 1);
        QVERIFY(view_.pointerLog.isEmpty());
    }

    void declineOrNothingTickedKeepsEverything() {
        const QByteArray a = file("a2.txt");
        const QByteArray b = file("b2.txt");
        QVERIFY(writeBytes(a, "a") && writeBytes(b, "b"));
        addRows(results_, {a, b}, {});
        run();
        QVERIFY(dialogs_.shown().isEmpty());
        QCOMPARE(view_.redraws, 1);

        results_.setChecked(0, true);
        results_.setChecked(1, true);
        run(); // unanswered: No
        QCOMPARE(dialogs_.shown().size(), 1);
        QVERIFY(exists(a) && exists(b));
        QCOMPARE(rowsOf(results_).size(), 2);
        QVERIFY(results_.row(0).checked && results_.row(1).checked);
        QVERIFY(!QDir(trashFolder() + QStringLiteral("/files")).exists());
    }

    void fileAlreadyGoneLeavesItsRowAndIsNamed() {
        const QByteArray gone = file("gone3.txt");
        const QByteArray here = file("here3.txt");
        QVERIFY(writeBytes(here, "here"));
        addRows(results_, {gone, here}, {0, 1});
        dialogs_.queueAnswer(BoxAnswer::Yes);
        run();
        QVERIFY(rowsOf(results_).isEmpty());
        QVERIFY(exists(trashed("here3.txt")));
        const QList<ScriptedDialogs::Shown> boxes = dialogs_.messages();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].style, boxstyle::Exclamation);
        QCOMPARE(boxes[1].text, "1 of 2 items could not be moved to the Trash:\r\n\r\n" +
                                    QFile::decodeName(gone) + ": It no longer exists");
    }

    void folderRowGoesWithItsContents() {
        const QByteArray folder = file("folder4");
        QVERIFY(::mkdir(folder.constData(), 0755) == 0);
        QVERIFY(writeBytes(folder + "/inner.txt", "inner"));
        const QByteArray other = file("other4.txt");
        QVERIFY(writeBytes(other, "other"));
        addRows(results_, {folder, folder + "/inner.txt", other}, {0, 1});
        dialogs_.queueAnswer(BoxAnswer::Yes);
        run();
        QCOMPARE(rowsOf(results_), QStringList({"- " + QFile::decodeName(other)}));
        QCOMPARE(readBytes(trashed("folder4/inner.txt")), QByteArray("inner"));
        QCOMPARE(dialogs_.messages().size(), 1); // the question; the inner file went with it
    }

    void oddNamesReachTheVeryFile() {
        // "caf\xe9" is not UTF-8; re-encoded through text it would become the decoy's name.
        const QList<QByteArray> names = {"with space 5.txt", "line\nbreak5.txt", "caf\xe9-5.txt"};
        QList<QByteArray> paths;
        for (const QByteArray& name : names) {
            paths << file(name);
            QVERIFY(writeBytes(paths.last(), name));
        }
        const QByteArray decoy = file("caf\xef\xbf\xbd-5.txt");
        QVERIFY(writeBytes(decoy, "decoy"));
        addRows(results_, paths, {0, 1, 2});
        dialogs_.queueAnswer(BoxAnswer::Yes);
        run();
        QVERIFY(rowsOf(results_).isEmpty());
        for (int i = 0; i < names.size(); ++i) {
            QCOMPARE(readBytes(trashed(names[i])), names[i]);
            QCOMPARE(restorePathOf(QFile::encodeName(trashFolder()) + "/info/" + names[i] +
                                   ".trashinfo"),
                     paths[i]);
        }
        QCOMPARE(readBytes(decoy), QByteArray("decoy"));
        QCOMPARE(dialogs_.messages().size(), 1);
    }

    void trashThatCannotBeMadeKeepsFilesAndTicks() {
        // A file where the Trash folder belongs: nothing can be trashed.
        QVERIFY(QDir().mkpath(qEnvironmentVariable("XDG_DATA_HOME")));
        QVERIFY(writeBytes(QFile::encodeName(trashFolder()), "in the way"));
        const QByteArray a = file("a6.txt");
        const QByteArray b = file("b6.txt");
        QVERIFY(writeBytes(a, "a") && writeBytes(b, "b"));
        addRows(results_, {a, b}, {0, 1});
        dialogs_.queueAnswer(BoxAnswer::Yes);
        run();
        QFile::remove(trashFolder());
        QVERIFY(exists(a) && exists(b));
        QCOMPARE(rowsOf(results_),
                 QStringList({"x " + QFile::decodeName(a), "x " + QFile::decodeName(b)}));
        const QList<ScriptedDialogs::Shown> boxes = dialogs_.messages();
        QCOMPARE(boxes.size(), 2);
        QVERIFY2(boxes[1].text.startsWith("2 of 2 items could not be moved to the Trash:\r\n\r\n" +
                                          QFile::decodeName(a) + ": "),
                 qPrintable(boxes[1].text));
        QVERIFY(boxes[1].text.contains("\r\n" + QFile::decodeName(b) + ": "));
    }

    void otherFileSystemUsesItsOwnTrash() {
        const auto mounted = ScratchFileSystem::ext4Image();
        if (!mounted->isMounted())
            QSKIP(qPrintable("No second file system: " + mounted->whyNot()));
        const QByteArray path = native(mounted->path(), "on ext4.txt");
        QVERIFY(writeBytes(path, "ext4"));
        addRows(results_, {path}, {0});
        dialogs_.queueAnswer(BoxAnswer::Yes);
        run();
        const QByteArray trash =
            native(mounted->path(), ".Trash-" + QByteArray::number(::getuid()));
        QCOMPARE(readBytes(trash + "/files/on ext4.txt"), QByteArray("ext4"));
        // On another mount the record names the path from the mount's top folder.
        QCOMPARE(restorePathOf(trash + "/info/on ext4.txt.trashinfo"), QByteArray("on ext4.txt"));
        QVERIFY(!exists(path));
        QVERIFY(rowsOf(results_).isEmpty());
        QCOMPARE(dialogs_.messages().size(), 1);
    }

    void mountWithoutTrashKeepsItsItems() {
        const auto mounted = ScratchFileSystem::tmpfs("size=1m");
        if (!mounted->isMounted())
            QSKIP(qPrintable("No second file system: " + mounted->whyNot()));
        const QByteArray path = native(mounted->path(), "on tmpfs.txt");
        QVERIFY(writeBytes(path, "tmpfs"));
        addRows(results_, {path}, {0});
        dialogs_.queueAnswer(BoxAnswer::Yes);
        run();
        // GIO keeps no Trash on mounts it counts as the system's own, such as tmpfs.
        QVERIFY(exists(path));
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(path)}));
        QCOMPARE(dialogs_.messages().size(), 2);
        QVERIFY(
            dialogs_.messages()[1].text.startsWith("The item could not be moved to the Trash:"));
    }
};

QUILLMERE_TEST_MAIN(TestSendToTrash)
#include "test_send_to_trash.moc"
