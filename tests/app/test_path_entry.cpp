#include "app/fs/path_entry.h"
#include "support/test_main.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::app::fs;
using namespace quillmere::test;

class TestPathEntry : public QObject {
    Q_OBJECT
private slots:
    void existence_data();
    void existence();
    void nameThatIsNotUtf8();
};

namespace {

void touch(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY2(fd >= 0, path.constData());
    ::close(fd);
}

} // namespace

void TestPathEntry::existence_data() {
    QTest::addColumn<QString>("relative"); // "" stands for the empty path itself
    QTest::addColumn<bool>("exists");
    QTest::addRow("existing file") << "file.txt" << true;
    QTest::addRow("existing folder") << "folder" << true;
    QTest::addRow("dangling link is an entry") << "dangling" << true;
    QTest::addRow("missing") << "missing.txt" << false;
    QTest::addRow("below a file") << "file.txt/inside" << false;
    QTest::addRow("empty path") << "" << false;
    QTest::addRow("blanks only") << "   " << false;
    QTest::addRow("embedded NUL") << QStringLiteral("file.txt") + QChar(0) + "x" << false;
}

void TestPathEntry::existence() {
    QFETCH(QString, relative);
    QFETCH(bool, exists);
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    touch(root + "/file.txt");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QCOMPARE(::symlink("nowhere", (root + "/dangling").constData()), 0);
    const QString path = relative.isEmpty() ? QString() : dir.path() + QLatin1Char('/') + relative;
    QCOMPARE(PathEntryExists(path), exists);
    QCOMPARE(PathEntryExists(QFile::encodeName(path)), exists);
}

void TestPathEntry::nameThatIsNotUtf8() {
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    const QByteArray latin1Name = root + "/caf\xe9.jpg";
    touch(latin1Name);
    QVERIFY(PathEntryExists(latin1Name));
    QVERIFY(!PathEntryExists(root + "/caf\xe8.jpg"));
    // The text form of such a name is lossy and must not reach some other entry.
    const QString decoded = QFile::decodeName(latin1Name);
    QCOMPARE(PathEntryExists(decoded), QFile::encodeName(decoded) == latin1Name);
}

QUILLMERE_CORE_TEST_MAIN(TestPathEntry)
#include "test_path_entry.moc"
