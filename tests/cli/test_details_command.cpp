#include "fixtures/images.h"
#include "support/test_main.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run runCli(const QStringList& arguments, const QString& folder = QString()) {
    QProcess process;
    if (!folder.isEmpty())
        process.setWorkingDirectory(folder);
    process.start(QStringLiteral(QUILLMERE_CLI_PATH),
                  QStringList{QStringLiteral("details")} + arguments);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QStringList lines(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).split(u'\n');
}

} // namespace

class TestDetailsCommand : public QObject {
    Q_OBJECT

private slots:
    void photoAndFolderAsText() {
        QTemporaryDir dir;
        quillmere::fixtures::Tags tags;
        tags.cameraMaker = QStringLiteral("Kodak");
        tags.title = QStringLiteral("Pier");
        quillmere::fixtures::writeImage(quillmere::fixtures::Kind::Jpeg, dir.filePath("a.jpg"),
                                        tags);
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Trips")));
        // Relative paths are resolved against the working folder.
        const Run run = runCli({QStringLiteral("a.jpg"), QStringLiteral("Trips")}, dir.path());
        QCOMPARE(run.status, 0);
        QCOMPARE(run.err, QByteArray());
        const QStringList out = lines(run.out);
        const int blank = int(out.indexOf(QString()));
        QVERIFY(blank > 0);
        const QStringList photo = out.mid(0, blank);
        const QStringList folder = out.mid(blank + 1);
        QCOMPARE(photo.value(0), dir.filePath("a.jpg"));
        QVERIFY(photo.contains(QStringLiteral("  0 Name: a.jpg")));
        QVERIFY(photo.contains(QStringLiteral("  2 Item type: JPEG image")));
        QVERIFY(photo.contains(QStringLiteral("  21 Title: Pier")));
        QVERIFY(photo.contains(QStringLiteral("  31 Dimensions: 64 x 48")));
        QVERIFY(photo.contains(QStringLiteral("  32 Camera maker: Kodak")));
        QCOMPARE(folder.value(0), dir.filePath("Trips"));
        QVERIFY(folder.contains(QStringLiteral("  0 Name: Trips")));
        QVERIFY(folder.contains(QStringLiteral("  2 Item type: Folder")));
        QVERIFY(folder
                    .filter(QRegularExpression(
                        "^  3 Date modified: \\d+/\\d+/\\d\\d \\d+:\\d\\d [AP]M$"))
                    .size() == 1);
        QVERIFY(folder.filter(QStringLiteral("Size:")).isEmpty());
        // Only non-empty columns, each "  number title: value".
        for (const QString& line : photo.mid(1) + folder.mid(1)) {
            if (!line.isEmpty())
                QVERIFY2(QRegularExpression("^  \\d{1,2} [^:]+: .+$").match(line).hasMatch(),
                         qPrintable(line));
        }
    }

    void missingPathFailsWithAMessage() {
        QTemporaryDir dir;
        QFile file(dir.filePath("here.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("present\n");
        file.close();
        const Run run = runCli({dir.filePath("here.txt"), dir.filePath("gone.txt")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.contains("  0 Name: here.txt\n"));
        QVERIFY(run.out.contains(QFile::encodeName(dir.filePath("gone.txt")) +
                                 "\n  0 Name: gone.txt\n"));
        QCOMPARE(
            QString::fromUtf8(run.err),
            QStringLiteral("quillmere-cli: %1: cannot read metadata: No such file or directory\n")
                .arg(dir.filePath("gone.txt")));
        // An empty path, such as an unset variable, names nothing: not the working folder.
        const Run empty = runCli({QString()}, dir.path());
        QCOMPARE(empty.status, 1);
        QCOMPARE(empty.out, QByteArray("\n"));
        QCOMPARE(empty.err, QByteArray("quillmere-cli: : cannot read metadata: No such file or "
                                       "directory\n"));
    }

    void jsonLines() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        // A name with a line break and bytes that are not UTF-8 still gives one line per item.
        const QByteArray odd = QFile::encodeName(dir.path()) + "/odd\n\xff.txt";
        const int fd = ::open(odd.constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        // QProcess passes arguments as UTF-8, so the odd name is made by the shell.
        const auto runViaShell = [&](const QString& option) {
            QProcess shell;
            shell.start(QStringLiteral("/bin/sh"),
                        {QStringLiteral("-c"),
                         QStringLiteral("exec \"$0\" details %1 \"$1\" \"$(printf "
                                        "'%s/odd\\n\\377.txt' \"$2\")\"")
                             .arg(option),
                         QStringLiteral(QUILLMERE_CLI_PATH), dir.filePath("sub"), dir.path()});
            shell.waitForFinished(60000);
            return Run{shell.exitCode(), shell.readAllStandardOutput(),
                       shell.readAllStandardError()};
        };
        const Run viaShell = runViaShell(QStringLiteral("--json"));
        const Run plain = runViaShell(QString());
        ::unlink(odd.constData());
        // The plain lines name the entry by its own bytes, as find does; JSON adds them in base64.
        QCOMPARE(plain.status, 0);
        QVERIFY2(plain.out.contains("\n\n" + QByteArray(odd).replace("\n", "\\n") +
                                    "\n  0 Name: odd\\n\xEF\xBF\xBD.txt\n"),
                 plain.out.constData());
        QCOMPARE(viaShell.status, 0);
        QCOMPARE(viaShell.err, QByteArray());
        const QList<QByteArray> objects = viaShell.out.trimmed().split('\n');
        QCOMPARE(objects.size(), 2);
        const QJsonObject folder = QJsonDocument::fromJson(objects[0]).object();
        QCOMPARE(folder.value("path").toString(), dir.filePath("sub"));
        const QJsonObject columns = folder.value("columns").toObject();
        QCOMPARE(columns.value("2").toObject().value("title").toString(),
                 QStringLiteral("Item type"));
        QCOMPARE(columns.value("2").toObject().value("value").toString(), QStringLiteral("Folder"));
        QVERIFY(!columns.contains("1"));
        QVERIFY(!folder.contains("path_base64"));
        const QJsonObject item = QJsonDocument::fromJson(objects[1]).object();
        QCOMPARE(item.value("path_base64").toString().toLatin1(), odd.toBase64());
        QCOMPARE(item.value("columns").toObject().value("0").toObject().value("value").toString(),
                 QStringLiteral("odd\n\uFFFD.txt"));
        QCOMPARE(item.value("columns").toObject().value("1").toObject().value("value").toString(),
                 QStringLiteral("0 bytes"));
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addRow("no path") << QStringList();
        QTest::addRow("only the option") << QStringList{QStringLiteral("--json")};
        QTest::addRow("unknown option")
            << QStringList{QStringLiteral("--xml"), QStringLiteral("/")};
    }
    void usageErrors() {
        QFETCH(QStringList, arguments);
        const Run run = runCli(arguments);
        QCOMPARE(run.status, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY(!run.err.isEmpty());
    }
};

QUILLMERE_CORE_TEST_MAIN(TestDetailsCommand)
#include "test_details_command.moc"
