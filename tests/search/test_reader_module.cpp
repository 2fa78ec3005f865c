#include "search/extraction/reader_module.h"
#include "support/test_main.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace quillmere;
using search::extraction::readersVersion;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// The remembered text with its version replaced: what a reader of the file would believe.
QByteArray forged(const QByteArray& remembered) {
    const qsizetype at = remembered.lastIndexOf("\nversion ");
    return remembered.left(at) + "\nversion " + QByteArray("forged").toHex() + '\n';
}

const QByteArray module = QByteArrayLiteral(QUILLMERE_READER_MODULE);

} // namespace

class TestReaderModule : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString remembered_;
    QByteArray version_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        remembered_ = dir_.filePath(QStringLiteral("readers-version"));
        version_ = readersVersion(module, remembered_);
        QVERIFY2(version_.startsWith("readers ") && version_.contains("; exiv2 ") &&
                     version_.contains("; mime "),
                 version_.constData());
        const QByteArray text = readAll(remembered_);
        QVERIFY(text.contains(module.toHex()));
        QVERIFY(text.contains(QByteArray("/etc/ld.so.cache").toHex()));
    }

    // Whatever the remembered file holds, it is believed only when well formed and bounded;
    // otherwise the module is asked and the file written anew. Each damaged form still carries a
    // forged version that a lax reading would return.
    void aDamagedRememberedFileIsIgnored_data() {
        QTest::addColumn<QByteArray>("damaged");
        const QByteArray good = forged(readAll(remembered_));
        const qsizetype firstFile = good.indexOf("\nfile ") + 1;
        // The loader's cache as remembered, and the same file under a long name: lines that
        // hold, so that only the bounds refuse many of them.
        const QByteArray cacheHex = QByteArray("/etc/ld.so.cache").toHex();
        const qsizetype cacheAt = good.indexOf(' ' + cacheHex + '\n');
        const qsizetype cacheStart = good.lastIndexOf('\n', cacheAt) + 1;
        const QByteArray cacheLine =
            good.mid(cacheStart, cacheAt + cacheHex.size() + 2 - cacheStart);
        const QByteArray longName = "/etc/" + QByteArray("./").repeated(1000) + "ld.so.cache";
        const QByteArray longLine =
            good.mid(cacheStart, cacheAt + 1 - cacheStart) + longName.toHex() + '\n';
        const auto inserted = [&](const QByteArray& line) {
            return good.left(firstFile) + line + good.mid(firstFile);
        };
        QByteArray binary;
        for (int i = 0; i < 4096; ++i)
            binary += char(i * 7);
        QByteArray moduleLineGone = good;
        const qsizetype at = good.indexOf(" " + module.toHex() + '\n');
        const qsizetype lineStart = good.lastIndexOf('\n', at) + 1;
        moduleLineGone.remove(lineStart, at + module.toHex().size() + 2 - lineStart);
        QTest::addRow("empty") << QByteArray();
        QTest::addRow("a FIFO, never opened to wait for a writer") << QByteArray("fifo");
        QTest::addRow("binary") << binary;
        QTest::addRow("too large") << inserted(longLine.repeated(70));
        QTest::addRow("too many lines") << inserted(cacheLine.repeated(2100));
        QTest::addRow("no last line end") << good.chopped(1);
        QTest::addRow("another header") << "x" + good;
        QTest::addRow("a path in odd hex") << inserted("file 1,2,3,4.5 abc\n");
        QTest::addRow("a nul in a path") << inserted("file 1,2,3,4.5 2f00\n");
        QTest::addRow("a field too many") << inserted("file 1,2,3,4.5 2f 2f\n");
        QTest::addRow("a line of another kind") << inserted("note 2f\n");
        QTest::addRow("the module not among the files") << moduleLineGone;
        QTest::addRow("a version not in hex")
            << good.left(good.lastIndexOf("version ")) + "version zz\n";
        QTest::addRow("no version") << good.left(good.lastIndexOf("version "));
    }
    void aDamagedRememberedFileIsIgnored() {
        QFETCH(QByteArray, damaged);
        QFile::remove(remembered_);
        if (damaged == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(remembered_).constData(), 0600), 0);
        else
            QVERIFY(writeAll(remembered_, damaged));
        QCOMPARE(readersVersion(module, remembered_), version_);
        // Written anew, and well formed: a forged version in it would now be believed.
        QVERIFY(writeAll(remembered_, forged(readAll(remembered_))));
        QVERIFY(readersVersion(module, remembered_).startsWith("forged; mime "));
    }

    // The remembered text stands while every file it came from stays the same, and no longer:
    // another module, a file changed or gone, or another search path of the loader has the
    // module asked again.
    void theVersionIsAskedAgainWhenItsFilesChange() {
        const QString copy = dir_.filePath(QStringLiteral("quillmere-readers.so"));
        QVERIFY(QFile::copy(QFile::decodeName(module), copy));
        const QByteArray copyPath = QFile::encodeName(copy);
        const QString file = dir_.filePath(QStringLiteral("copy-version"));
        const auto forge = [&file] { return writeAll(file, forged(readAll(file))); };
        const auto asked = [&](const QByteArray& path) {
            const QByteArray version = readersVersion(path, file);
            return version == version_                   ? QByteArray("asked")
                   : version.startsWith("forged; mime ") ? QByteArray("remembered")
                                                         : version;
        };
        QCOMPARE(asked(copyPath), "asked");
        QVERIFY(readAll(file).contains(copyPath.toHex()));
        QVERIFY(forge());
        QCOMPARE(asked(copyPath), "remembered");
        QCOMPARE(asked(copyPath), "remembered");
        QCOMPARE(asked(module), "asked");
        QCOMPARE(asked(copyPath), "asked");

        QVERIFY(forge());
        QFile changed(copy);
        QVERIFY(changed.open(QIODevice::ReadWrite));
        QVERIFY(changed.setFileTime(QDateTime::currentDateTimeUtc().addSecs(60),
                                    QFileDevice::FileModificationTime));
        changed.close();
        QCOMPARE(asked(copyPath), "asked");

        QVERIFY(forge());
        const QByteArray searchPath = qgetenv("LD_LIBRARY_PATH");
        qputenv("LD_LIBRARY_PATH", QFile::encodeName(dir_.path()));
        const QByteArray underOtherPath = asked(copyPath);
        if (searchPath.isNull())
            qunsetenv("LD_LIBRARY_PATH");
        else
            qputenv("LD_LIBRARY_PATH", searchPath);
        QCOMPARE(underOtherPath, "asked");

        QVERIFY(forge());
        QVERIFY(QFile::remove(copy));
        QCOMPARE(asked(copyPath), "asked");
        QVERIFY(forge());
        QCOMPARE(asked(copyPath), "asked"); // a file gone vouches for nothing, ever
    }
};

QUILLMERE_CORE_TEST_MAIN(TestReaderModule)
#include "test_reader_module.moc"
