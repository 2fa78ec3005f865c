#include "app/fs/safe_move.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app::fs;
using namespace quillmere::test;

namespace {

enum class Moment { None, Created, Placing };

struct stat lstatOf(const QByteArray& path) {
    struct stat info {};
    ::lstat(path.constData(), &info);
    return info;
}

// Names of regular files a move left behind under its temporary prefix.
int leftoversIn(const QString& folder) {
    return int(QDir(folder)
                   .entryList({QStringLiteral(".quillmere-move-*")},
                              QDir::Files | QDir::Hidden | QDir::NoSymLinks)
                   .size());
}

} // namespace

class TestSafeMove : public QObject {
    Q_OBJECT

private slots:
    // The copy across file systems, with another local user swapping a link to the user's own
    // key file in at the name the copy takes next, right after the file was made or right
    // before that name is placed: the key file stays as it was and the move does not report
    // success. Both ways of making the copy, with and without a file to replace.
    void swappedLinkNeverRedirectsTheCopy_data() {
        QTest::addColumn<bool>("anonymous");
        QTest::addColumn<Moment>("moment");
        QTest::addColumn<Placing>("placing");
        for (const bool anonymous : {true, false}) {
            for (const Moment moment : {Moment::None, Moment::Created, Moment::Placing}) {
                for (const Placing placing : {Placing::KeepExisting, Placing::ReplaceExisting}) {
                    QTest::addRow("%s, %s, %s", anonymous ? "anonymous" : "named",
                                  moment == Moment::None      ? "untouched"
                                  : moment == Moment::Created ? "swapped after creation"
                                                              : "swapped before placing",
                                  placing == Placing::KeepExisting ? "keep" : "replace")
                        << anonymous << moment << placing;
                }
            }
        }
    }
    void swappedLinkNeverRedirectsTheCopy() {
        QFETCH(bool, anonymous);
        QFETCH(Moment, moment);
        QFETCH(Placing, placing);
        QTemporaryDir home;
        QTemporaryDir other(QStringLiteral("/dev/shm/quillmere-move-XXXXXX"));
        QVERIFY(home.isValid());
        if (!other.isValid() || lstatOf(QFile::encodeName(home.path())).st_dev ==
                                    lstatOf(QFile::encodeName(other.path())).st_dev)
            QSKIP("needs a second file system at /dev/shm");
        const QByteArray source = QFile::encodeName(home.path()) + "/moved.txt";
        const QByteArray key = QFile::encodeName(home.path()) + "/key";
        const QByteArray target = QFile::encodeName(other.path()) + "/moved.txt";
        QVERIFY(writeBytes(source, "moved content\n") && ::chmod(source.constData(), 0640) == 0);
        QVERIFY(writeBytes(key, "secret\n") && ::chmod(key.constData(), 0600) == 0);
        if (placing == Placing::ReplaceExisting)
            QVERIFY(writeBytes(target, "older\n"));

        bool sawFolder = false;
        const auto swapIn = [&](int folderFd, const QByteArray& name) {
            // An anonymous copy has no name of its own yet; a named one does.
            struct stat info {};
            const bool named =
                ::fstatat(folderFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(info.st_mode) && info.st_size == 0;
            QCOMPARE(named, !anonymous);
            sawFolder = true;
            ::unlinkat(folderFd, name.constData(), 0);
            QCOMPARE(::symlinkat(key.constData(), folderFd, name.constData()), 0);
        };
        CopyProbe probe;
        probe.withoutAnonymousFile = !anonymous;
        if (moment == Moment::Created)
            probe.created = swapIn;
        if (moment == Moment::Placing)
            probe.placing = [&](int folderFd, const QByteArray& name) {
                ::unlinkat(folderFd, name.constData(), 0);
                QCOMPARE(::symlinkat(key.constData(), folderFd, name.constData()), 0);
                sawFolder = true;
            };
        setCopyProbe(&probe);
        const Placement placed = placeFile(source, target, placing);
        setCopyProbe(nullptr);

        QCOMPARE(readBytes(key), QByteArray("secret\n"));
        QCOMPARE(lstatOf(key).st_mode & 07777, mode_t(0600));
        QCOMPARE(readBytes(source), QByteArray("moved content\n"));
        QCOMPARE(leftoversIn(other.path()), 0);
        if (moment == Moment::None) {
            QCOMPARE(placed.result, Placement::Result::Copied);
            QVERIFY(S_ISREG(lstatOf(target).st_mode));
            QCOMPARE(readBytes(target), QByteArray("moved content\n"));
            QCOMPARE(lstatOf(target).st_mode & 07777, mode_t(0640));
            return;
        }
        QVERIFY(sawFolder);
        QVERIFY2(placed.result == Placement::Result::Failed ||
                     placed.result == Placement::Result::NameTaken,
                 qPrintable(placed.reason));
        QVERIFY(!placed.reason.isEmpty());
    }
};

QUILLMERE_TEST_MAIN(TestSafeMove)
#include "test_safe_move.moc"
