#include "file_command_fixture.h"
#include "results/recycle_bin.h"
#include "results/send_checked_to_trash.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QScopeGuard>

#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::test;
using namespace quillmere::results;

namespace {

QByteArray homeTrash() {
    return qgetenv("XDG_DATA_HOME") + "/Trash";
}

// The original path a Trash keeps for a name, as the file manager will restore it.
QByteArray restorePath(const QByteArray& trash, const QByteArray& name) {
    for (const QByteArray& line : contentOf(trash + "/info/" + name + ".trashinfo").split('\n'))
        if (line.startsWith("Path="))
            return QByteArray::fromPercentEncoding(line.mid(5));
    return {};
}

} // namespace

class TestSendToTrash : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    ResultsModel results_;
    RecordingResultsView view_;
    ScriptedDialogs dialogs_;

    QByteArray file(const QByteArray& name, bool ticked = true, const QString& folder = {}) {
        const QByteArray path = native(folder.isEmpty() ? dir_.path() : folder, name);
        if (!writeBytes(path, name))
            qFatal("cannot write %s", path.constData());
        addRow(results_, path, ticked);
        return path;
    }
    void trash(BoxAnswer answer) {
        dialogs_.queueAnswer(answer);
        sendCheckedToRecycleBin(view_, dialogs_, results_);
    }

private slots:
    void init() {
        removeTree(QFile::decodeName(homeTrash()));
        removeTree(dir_.path());
        QDir().mkpath(dir_.path());
        results_.clear();
        dialogs_ = ScriptedDialogs();
        view_ = RecordingResultsView();
    }

    void tickedEntriesGoToTheTrashAfterOneQuestion() {
        // "caf\xe9" is not UTF-8: through text and back it would become the decoy's name.
        const QList<QByteArray> names = {"plain.txt", "with space.txt", "line\nbreak.txt",
                                         "caf\xe9.txt"};
        for (const QByteArray& name : names)
            file(name);
        const QByteArray kept = file("kept.txt", false);
        const QByteArray decoy = native(dir_.path(), "caf\xef\xbf\xbd.txt");
        QVERIFY(writeBytes(decoy, "decoy"));
        const QByteArray folder = native(dir_.path(), "folder");
        QVERIFY(::mkdir(folder.constData(), 0755) == 0);
        addRow(results_, folder, true);
        file("inner.txt", true, QFile::decodeName(folder)); // goes with its folder, unreported
        const QByteArray gone = native(dir_.path(), "gone.txt");
        addRow(results_, gone, true);
        trash(BoxAnswer::Yes);

        QCOMPARE(dialogs_.shown()[0].style, BoxStyle::YesNo | BoxStyle::Question);
        QCOMPARE(dialogs_.shown()[0].text,
                 "Are you sure you want to move these 7 items to the Trash?");
        QCOMPARE(rowsOf(results_), QStringList({"- " + QFile::decodeName(kept)}));
        for (const QByteArray& name : names) {
            QCOMPARE(contentOf(homeTrash() + "/files/" + name), name);
            QCOMPARE(restorePath(homeTrash(), name), native(dir_.path(), name));
        }
        QCOMPARE(contentOf(homeTrash() + "/files/folder/inner.txt"), QByteArray("inner.txt"));
        QCOMPARE(contentOf(decoy), QByteArray("decoy"));
        QCOMPARE(dialogs_.shown().size(), 2);
        QCOMPARE(dialogs_.shown()[1].text, "1 of 7 items could not be moved to the Trash:\r\n\r\n" +
                                               QFile::decodeName(gone) + ": It no longer exists");
        QCOMPARE(view_.redraws, 1);
        QVERIFY(view_.pointerLog.isEmpty());
    }

    void declineOrNothingTickedKeepsEverything() {
        const QByteArray a = file("a.txt", false);
        sendCheckedToRecycleBin(view_, dialogs_, results_);
        QVERIFY(dialogs_.shown().isEmpty());
        results_.setChecked(0, true);
        trash(BoxAnswer::No);
        QCOMPARE(dialogs_.shown().size(), 1);
        QCOMPARE(dialogs_.shown()[0].text,
                 "Are you sure you want to move \"" + QFile::decodeName(a) + "\" to the Trash?");
        QVERIFY(exists(a));
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(a)}));
        QCOMPARE(view_.redraws, 2);
    }

    void failuresKeepFilesAndTicksAndOneMessageSaysWhy() {
        // A file where the Trash folder belongs: nothing can be trashed.
        QVERIFY(QDir().mkpath(qEnvironmentVariable("XDG_DATA_HOME")));
        QVERIFY(writeBytes(homeTrash(), "in the way"));
        const QByteArray a = file("a.txt");
        const QByteArray b = file("b.txt");
        trash(BoxAnswer::Yes);
        ::unlink(homeTrash().constData());
        QVERIFY(exists(a) && exists(b));
        QCOMPARE(rowsOf(results_),
                 QStringList({"x " + QFile::decodeName(a), "x " + QFile::decodeName(b)}));
        QCOMPARE(dialogs_.messages().size(), 2);
        const QString summary = dialogs_.messages()[1].text;
        QVERIFY2(summary.startsWith("2 of 2 items could not be moved to the Trash:\r\n\r\n" +
                                    QFile::decodeName(a) + ": "),
                 qPrintable(summary));
        QVERIFY(summary.contains("\r\n" + QFile::decodeName(b) + ": "));
    }

    void theWindowRunsAfterEachItemWhileTheTrashWorks() {
        // A hundred thousand files take a minute: the window answers between two of them, and
        // what a click there does to the files still to go is what they then meet.
        const QByteArray a = file("a.txt");
        const QByteArray b = file("b.txt");
        const QByteArray c = file("c.txt");
        QStringList seen;
        const std::vector<TrashOutcome> outcomes = SendToRecycleBin({a, b, c}, [&] {
            seen << QStringLiteral("%1%2%3")
                        .arg(int(exists(a)))
                        .arg(int(exists(b)))
                        .arg(int(exists(c)));
            ::unlink(c.constData());
        });
        QCOMPARE(seen, QStringList({"011", "000", "000"}));
        QCOMPARE(int(outcomes[1].result), int(TrashOutcome::Result::Trashed));
        QCOMPARE(int(outcomes[2].result), int(TrashOutcome::Result::AlreadyGone));
        QCOMPARE(contentOf(homeTrash() + "/files/b.txt"), QByteArray("b.txt"));
    }

    void aFileBeyondTheLongestPathIsKeptListedAndReportedAsItIs() {
        // It cannot be looked at by its path, which is not to say that it is gone.
        const QByteArray deep = writeDeepFile(dir_.path(), "deep.txt", "deep");
        const auto cleanup = qScopeGuard([&] { removeDeepFile(dir_.path(), "deep.txt"); });
        addRow(results_, deep, true);
        trash(BoxAnswer::Yes);
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(deep)}));
        const QString summary = dialogs_.messages().last().text;
        QVERIFY2(summary.startsWith("The item could not be moved to the Trash:\r\n\r\n" +
                                    QFile::decodeName(deep) + ": ") &&
                     summary.endsWith("File name too long"),
                 qPrintable(summary.right(200)));
        QVERIFY(removeDeepFile(dir_.path(), "deep.txt"));
    }

    void theTrashsOwnReasonNamesTheFileEscaped() {
        const QByteArray name = "line\nbreak\xe2\x80\xaetxt.exe";
        const QByteArray deep = writeDeepFile(dir_.path(), name, "deep");
        const auto cleanup = qScopeGuard([&] { removeDeepFile(dir_.path(), name); });
        addRow(results_, deep, true);
        trash(BoxAnswer::Yes);
        const QString summary = dialogs_.messages().last().text;
        QVERIFY(removeDeepFile(dir_.path(), name));
        QCOMPARE(summary.count(u'\n'), 2);
        QVERIFY(!summary.contains(QChar(0x202e)));
        QCOMPARE(summary.count("line\\nbreak\\u202etxt.exe"), 2);
    }

    void anotherMountUsesItsOwnTrashOrKeepsTheFile() {
        ScratchFileSystem ext4;
        if (!ext4.isMounted())
            QSKIP(qPrintable(ext4.whyNot()));
        const QByteArray onExt4 = file("on ext4.txt", true, ext4.path());
        ScratchFileSystem tmpfs("size=1m");
        QVERIFY(tmpfs.isMounted());
        const QByteArray onTmpfs = file("on tmpfs.txt", true, tmpfs.path());
        trash(BoxAnswer::Yes);

        const QByteArray trash = native(ext4.path(), ".Trash-" + QByteArray::number(::getuid()));
        QCOMPARE(contentOf(trash + "/files/on ext4.txt"), QByteArray("on ext4.txt"));
        // There the record names the path from the mount's top folder.
        QCOMPARE(restorePath(trash, "on ext4.txt"), QByteArray("on ext4.txt"));
        QVERIFY(!exists(onExt4));
        // GIO keeps no Trash on mounts it counts as the system's own, such as tmpfs.
        QCOMPARE(contentOf(onTmpfs), QByteArray("on tmpfs.txt"));
        QCOMPARE(rowsOf(results_), QStringList({"x " + QFile::decodeName(onTmpfs)}));
        QVERIFY(dialogs_.messages()[1].text.startsWith("1 of 2 items could not be moved"));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestSendToTrash)
#include "test_send_to_trash.moc"
