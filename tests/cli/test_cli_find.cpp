#include "support/test_main.h"

#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Outcome {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Outcome runCli(const QList<QByteArray>& arguments, const QString& workingFolder = {}) {
    QProcess process;
    QStringList texts{QStringLiteral("find")};
    // QProcess hands each argument over as the local 8-bit encoding of the text; decodeName
    // keeps bytes that are not UTF-8 so they arrive unchanged.
    for (const QByteArray& a : arguments)
        texts << QFile::decodeName(a);
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(QStringLiteral(QUILLMERE_CLI), texts);
    if (!process.waitForFinished(120000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

bool makeTree(const QByteArray& root, const QList<QByteArray>& entries) {
    for (const QByteArray& entry : entries) {
        const QByteArray path = root + '/' + entry;
        if (entry.endsWith('/')) {
            if (::mkdir(path.constData(), 0755) != 0)
                return false;
            continue;
        }
        FILE* f = std::fopen(path.constData(), "w");
        if (!f)
            return false;
        std::fputs("text\n", f);
        std::fclose(f);
    }
    return true;
}

} // namespace

class TestCliFind : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QByteArray root_;

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        root_ = QFile::encodeName(dir_->path()) + "/t";
        QVERIFY(makeTree(root_.chopped(2), {"t/", "t/zebra_top", "t/Zebra_case", "t/a/",
                                            "t/a/zebra_a", "t/a/b/", "t/a/b/zebra_b", "t/other"}));
    }
    void cleanup() {
        std::error_code ignored;
        std::filesystem::remove_all(std::string(root_.constData()), ignored);
    }

    void listsRowsInWalkOrder_data() {
        QTest::addColumn<QList<QByteArray>>("options");
        QTest::addColumn<QByteArray>("expected"); // "~" stands for the folder
        QTest::addRow("defaults") << QList<QByteArray>{}
                                  << QByteArray("~/zebra_top\t[Name] zebra_top\n"
                                                "~/a/zebra_a\t[Name] zebra_a\n"
                                                "~/a/b/zebra_b\t[Name] zebra_b\n");
        QTest::addRow("one level") << QList<QByteArray>{"--no-subfolders"}
                                   << QByteArray("~/zebra_top\t[Name] zebra_top\n"
                                                 "~/a/zebra_a\t[Name] zebra_a\n");
        QTest::addRow("case ignored") << QList<QByteArray>{"--ignore-case"}
                                      << QByteArray("~/Zebra_case\t[Name] Zebra_case\n"
                                                    "~/zebra_top\t[Name] zebra_top\n"
                                                    "~/a/zebra_a\t[Name] zebra_a\n"
                                                    "~/a/b/zebra_b\t[Name] zebra_b\n");
        QTest::addRow("json") << QList<QByteArray>{"--json", "--no-subfolders"}
                              << QByteArray(
                                     "{\"path\":\"~/zebra_top\",\"label\":\"[Name] zebra_top\"}\n"
                                     "{\"path\":\"~/a/zebra_a\",\"label\":\"[Name] zebra_a\"}\n");
    }
    void listsRowsInWalkOrder() {
        QFETCH(QList<QByteArray>, options);
        QFETCH(QByteArray, expected);
        const Outcome run = runCli(options + QList<QByteArray>{"zebra", root_});
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QByteArray(expected).replace("~", root_));
    }

    void relativeFoldersAndRepeats() {
        // The same folder twice lists each item once; a relative folder prints full paths.
        const Outcome run = runCli({"--no-subfolders", "zebra_a", "t/a", root_ + "/a"},
                                   QFile::decodeName(root_.chopped(2)));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, root_ + "/a/zebra_a\t[Name] zebra_a\n");
    }

    void oddNames() {
        const QByteArray invalid = root_ + "/zebra\xff.bin";
        const QByteArray newline = root_ + "/a/b/zeb\nra";
        QVERIFY(makeTree(root_.chopped(2), {"t/zebra\xff.bin", "t/a/b/zeb\nra"}));
        const Outcome plain = runCli({"--no-subfolders", "zebra\xff", root_});
        QCOMPARE(plain.status, 0);
        // The path comes as its own bytes; the label is text, with the usual stand-in for the
        // byte that is not UTF-8 (the phrase, given as the same byte, matched that text).
        QCOMPARE(plain.out, invalid + "\t[Name] zebra\xEF\xBF\xBD.bin\n");
        const Outcome bytes = runCli({"--json", "b\nr", root_});
        QCOMPARE(bytes.status, 0);
        QCOMPARE(bytes.out, "{\"path\":\"" + QByteArray(newline).replace("\n", "\\n") +
                                "\",\"label\":\"[Name] zeb\\nra\"}\n");
        const Outcome json = runCli({"--json", ".bin", root_});
        QCOMPARE(json.status, 0);
        QVERIFY2(json.out.contains("\"path_base64\":\"" + invalid.toBase64() + "\""),
                 json.out.constData());
    }

    void failuresGoToStandardError() {
        QVERIFY(makeTree(root_, {"plain_file"}));
        const Outcome run =
            runCli({"zebra_a", root_ + "/missing", root_ + "/plain_file", root_ + "/a"});
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, root_ + "/a/zebra_a\t[Name] zebra_a\n");
        QCOMPARE(run.err, "quillmere-cli find: " + root_ +
                              "/missing: No such file or directory\n"
                              "quillmere-cli find: " +
                              root_ + "/plain_file: Not a directory\n");
    }

    void usageErrors_data() {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::addColumn<QByteArray>("problem");
        QTest::addRow("nothing") << QList<QByteArray>{} << QByteArray("no phrase given");
        QTest::addRow("no folder") << QList<QByteArray>{"zebra"} << QByteArray("no folder given");
        QTest::addRow("empty phrase") << QList<QByteArray>{"", "/"} << QByteArray("blank");
        QTest::addRow("blank phrase") << QList<QByteArray>{" \t ", "/"} << QByteArray("blank");
        QTest::addRow("unknown option")
            << QList<QByteArray>{"--deep", "zebra", "/"} << QByteArray("unknown option");
    }
    void usageErrors() {
        QFETCH(QList<QByteArray>, arguments);
        QFETCH(QByteArray, problem);
        const Outcome run = runCli(arguments);
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(run.err.contains(problem) && run.err.contains("Usage:"), run.err.constData());
    }
};

QUILLMERE_TEST_MAIN(TestCliFind)
#include "test_cli_find.moc"
