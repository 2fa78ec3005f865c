#include "app/event_pump.h"
#include "app/fs/file_system.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::app::fs;
using namespace quillmere::test;

namespace {

QByteArray native(const QTemporaryDir& dir, const char* relative) {
    return QFile::encodeName(dir.path()) + '/' + relative;
}

QStringList names(const std::vector<QByteArray>& paths) {
    QStringList result;
    for (const QByteArray& path : paths)
        result << fs::displayPath(path.mid(path.lastIndexOf('/') + 1));
    return result;
}

} // namespace

class TestFileSystem : public QObject {
    Q_OBJECT

private slots:
    void readFolderSortsAndSeparatesItemsFromSubFolders() {
        QTemporaryDir dir;
        for (const char* name : {"file10.txt", "file9.txt", "B.txt", "a.txt", ".hidden.txt"})
            QVERIFY(writeBytes(native(dir, name), "x"));
        for (const char* name : {"sub2", "Sub1", ".hiddenSub"})
            QVERIFY(::mkdir(native(dir, name).constData(), 0755) == 0);
        QVERIFY(::symlink(".", native(dir, "loop").constData()) == 0);

        const fs::FolderEntries entries = fs::readFolder(QFile::encodeName(dir.path()));
        QCOMPARE(names(entries.items), QStringList({"a.txt", "B.txt", "file9.txt", "file10.txt",
                                                    "loop", "Sub1", "sub2"}));
        QCOMPARE(names(entries.subFolders), QStringList({".hiddenSub", "Sub1", "sub2"}));
        QVERIFY(entries.items.front().startsWith(QFile::encodeName(dir.path()) + '/'));
    }

    void namesThatAreNotUtf8AreListedAndReachable() {
        QTemporaryDir dir;
        const QByteArray odd = native(dir, "caf\xe9\nname.txt");
        QVERIFY(writeBytes(odd, "odd"));
        const fs::FolderEntries entries = fs::readFolder(QFile::encodeName(dir.path()));
        QCOMPARE(entries.items.size(), size_t(1));
        QCOMPARE(entries.items.front(), odd);
        QCOMPARE(readBytes(entries.items.front()), QByteArray("odd"));
    }

    void getFolderKeepsRootAndDropsTrailingSeparators_data() {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QByteArray>("expected");
        QTest::addRow("root") << QByteArray("/") << QByteArray("/");
        QTest::addRow("trailing") << QByteArray("/tmp//") << QByteArray("/tmp");
        QTest::addRow("plain") << QByteArray("/tmp") << QByteArray("/tmp");
    }
    void getFolderKeepsRootAndDropsTrailingSeparators() {
        QFETCH(QByteArray, given);
        QFETCH(QByteArray, expected);
        QCOMPARE(fs::getFolder(given).nativePath(), expected);
    }

    void failuresCarryThePlatformsWords() {
        QTemporaryDir dir;
        QVERIFY(writeBytes(native(dir, "file"), "x"));
        auto message = [](auto&& operation) {
            try {
                operation();
            } catch (const fs::FileSystemError& error) {
                return QString::fromLocal8Bit(error.what());
            }
            return QString();
        };
        QCOMPARE(message([&] { fs::getFolder(native(dir, "missing")); }),
                 QStringLiteral("No such file or directory"));
        QCOMPARE(message([&] { fs::getFolder(native(dir, "file")); }),
                 QStringLiteral("Not a directory"));
        QCOMPARE(message([&] { fs::getFolder(""); }), QStringLiteral("No such file or directory"));
        QCOMPARE(message([&] { fs::readFolder(native(dir, "missing")); }),
                 QStringLiteral("No such file or directory"));
        QCOMPARE(message([&] { fs::deleteFile(native(dir, "missing")); }),
                 QStringLiteral("No such file or directory"));
    }

    void textFileWritesLinesEndedByCarriageReturnAndLineFeed() {
        QTemporaryDir dir;
        const QByteArray path = native(dir, "out\xff.txt");
        QVERIFY(writeBytes(path, "old content that must go"));
        fs::TextFile file = fs::createTextFile(path);
        file.writeLine(QStringLiteral("first\tline"));
        file.writeLine(QStringLiteral("Zoë"));
        file.writeLine(QString());
        file.close();
        QCOMPARE(readBytes(path), QByteArray("first\tline\r\nZo\xc3\xab\r\n\r\n"));
    }

    // A flush or a copy that takes long runs beside the window's messages, which go on running;
    // its result, or what it threw, comes back to the caller.
    void longWorkLetsWindowMessagesRun() {
        std::atomic<bool> ran{false};
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { ran = true; }, Qt::QueuedConnection);
        const bool sawIt = runWhileWindowMessagesRun([&] {
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!ran && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return bool(ran);
        });
        QVERIFY(sawIt);
        QVERIFY_THROWS_EXCEPTION(FileSystemError, runWhileWindowMessagesRun([]() -> int {
                                     throw FileSystemError("No space left on device");
                                 }));
    }

    void copyKeepsContentAndModeAndRefusesToClobber() {
        QTemporaryDir dir;
        const QByteArray source = native(dir, "source.bin");
        QByteArray content(300000, '\0');
        for (int i = 0; i < content.size(); ++i)
            content[i] = char(i * 7);
        QVERIFY(writeBytes(source, content));
        QVERIFY(::chmod(source.constData(), 0444) == 0);

        const QByteArray copy = native(dir, "copy.bin");
        fs::copyFile(source, copy, fs::IfExists::Fail);
        QCOMPARE(readBytes(copy), content);
        struct stat info {};
        QVERIFY(::stat(copy.constData(), &info) == 0);
        QCOMPARE(int(info.st_mode & 0777), 0444);

        QVERIFY(writeBytes(native(dir, "taken.bin"), "keep me"));
        QVERIFY_THROWS_EXCEPTION(fs::FileSystemError, fs::copyFile(source, native(dir, "taken.bin"),
                                                                   fs::IfExists::Fail));
        QCOMPARE(readBytes(native(dir, "taken.bin")), QByteArray("keep me"));
    }

    void copyOntoItselfLosesNothing() {
        QTemporaryDir dir;
        const QByteArray source = native(dir, "self.txt");
        QVERIFY(writeBytes(source, "precious"));
        QVERIFY(::symlink(source.constData(), native(dir, "alias.txt").constData()) == 0);
        QVERIFY_THROWS_EXCEPTION(fs::FileSystemError,
                                 fs::copyFile(source, source, fs::IfExists::Overwrite));
        QVERIFY_THROWS_EXCEPTION(fs::FileSystemError, fs::copyFile(source, native(dir, "alias.txt"),
                                                                   fs::IfExists::Overwrite));
        QCOMPARE(readBytes(source), QByteArray("precious"));
    }

    void deleteRemovesReadOnlyFilesButNeverFolders() {
        QTemporaryDir dir;
        const QByteArray path = native(dir, "readonly.txt");
        QVERIFY(writeBytes(path, "x"));
        QVERIFY(::chmod(path.constData(), 0444) == 0);
        fs::deleteFile(path);
        QVERIFY(::access(path.constData(), F_OK) != 0);

        QVERIFY(::mkdir(native(dir, "folder").constData(), 0755) == 0);
        QVERIFY_THROWS_EXCEPTION(fs::FileSystemError, fs::deleteFile(native(dir, "folder")));
        QVERIFY(::access(native(dir, "folder").constData(), F_OK) == 0);
    }
};

QUILLMERE_CORE_TEST_MAIN(TestFileSystem)
#include "test_file_system.moc"
