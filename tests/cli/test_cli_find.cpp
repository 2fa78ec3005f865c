#include "support/test_files.h"
#include "support/test_main.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <filesystem>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmere::test;

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

// Runs the program with its standard output on `outFd` (closed here afterwards) and returns its
// status and standard error.
Outcome runWithOutput(const QList<QByteArray>& arguments, int outFd) {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    QList<QByteArray> all{QByteArray(QUILLMERE_CLI)};
    all += arguments;
    std::vector<char*> argv;
    for (QByteArray& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outFd);
    ::close(errPipe[1]);
    Outcome outcome;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(errPipe[0], buffer, sizeof buffer)) > 0)
        outcome.err.append(buffer, n);
    ::close(errPipe[0]);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid)
        return {};
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
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
        // Other spellings of the same folders are the same folders, and print as those.
        const Outcome spelt =
            runCli({"zebra", ".//t/./a/", "t//a/b/.", root_ + "/./a//", root_ + "//", "./t"},
                   QFile::decodeName(root_.chopped(2)));
        QCOMPARE(spelt.err, QByteArray());
        QCOMPARE(spelt.out, root_ + "/a/zebra_a\t[Name] zebra_a\n" + root_ +
                                "/a/b/zebra_b\t[Name] zebra_b\n" + root_ +
                                "/zebra_top\t[Name] zebra_top\n");
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

    // Backslash, tab and line feed in a path or label are escaped as `details` does: one row
    // is one line, and "\\n" in a name cannot pass for a line break.
    void plainRowsAreOneLineEach() {
        QVERIFY(makeTree(root_, {"tab\tzebra", "new\nzebra", "back\\nzebra", "bell\azebra"}));
        const Outcome run = runCli({"--no-subfolders", "zebra", root_});
        QCOMPARE(run.status, 0);
        const QByteArray escapedRoot = QByteArray(root_).replace("\\", "\\\\");
        QCOMPARE(run.out, QByteArray("~/back\\\\nzebra\t[Name] back\\\\nzebra\n"
                                     "~/bell\\x07zebra\t[Name] bell\\x07zebra\n"
                                     "~/new\\nzebra\t[Name] new\\nzebra\n"
                                     "~/tab\\tzebra\t[Name] tab\\tzebra\n"
                                     "~/zebra_top\t[Name] zebra_top\n"
                                     "~/a/zebra_a\t[Name] zebra_a\n")
                              .replace("~", escapedRoot));
    }

    // A full disk or a closed pipe: one line on standard error and status 1, for both commands
    // and for the usage asked for.
    void writeFailures_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<bool>("closedPipe");
        QTest::addColumn<QList<QByteArray>>("arguments"); // none: the command's own
        QTest::addRow("find, full disk") << QByteArray("find") << false << QList<QByteArray>{};
        QTest::addRow("find, closed pipe") << QByteArray("find") << true << QList<QByteArray>{};
        QTest::addRow("details, full disk")
            << QByteArray("details") << false << QList<QByteArray>{};
        QTest::addRow("details, closed pipe")
            << QByteArray("details") << true << QList<QByteArray>{};
        QTest::addRow("usage, full disk")
            << QByteArray("--help") << false << QList<QByteArray>{"--help"};
        QTest::addRow("usage, closed pipe") << QByteArray("-h") << true << QList<QByteArray>{"-h"};
        QTest::addRow("find's usage, full disk")
            << QByteArray("find") << false << QList<QByteArray>{"find", "--help"};
    }
    void writeFailures() {
        QFETCH(QByteArray, command);
        QFETCH(bool, closedPipe);
        QFETCH(QList<QByteArray>, arguments);
        int out = -1;
        if (closedPipe) {
            int fds[2];
            QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
            ::close(fds[0]);
            out = fds[1];
        } else {
            out = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
            if (out < 0)
                QSKIP("no /dev/full here");
        }
        if (arguments.isEmpty())
            arguments = command == "find"
                            ? QList<QByteArray>{"find", "zebra", root_}
                            : QList<QByteArray>{"details", root_ + "/zebra_top", root_ + "/other"};
        const Outcome run = runWithOutput(arguments, out);
        QCOMPARE(run.status, 1);
        const QByteArray reason = closedPipe ? "Broken pipe" : "No space left on device";
        QCOMPARE(run.err,
                 "quillmere-cli " + command + ": cannot write the output: " + reason + "\n");
    }

    void failuresGoToStandardError() {
        QVERIFY(makeTree(root_, {"plain_file", "file\xff"}));
        const Outcome run =
            runCli({"zebra_a", root_ + "/missing", root_ + "/plain_file", root_ + "/a"});
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, root_ + "/a/zebra_a\t[Name] zebra_a\n");
        QCOMPARE(run.err, "quillmere-cli find: " + root_ +
                              "/missing: No such file or directory\n"
                              "quillmere-cli find: " +
                              root_ + "/plain_file: Not a directory\n");
        // A name that is not UTF-8 is told by its own bytes, not by a stand-in character.
        const Outcome bytes = runWithOutput({"find", "zebra", root_ + "/file\xff"},
                                            ::open("/dev/null", O_WRONLY | O_CLOEXEC));
        QCOMPARE(bytes.status, 1);
        QCOMPARE(bytes.err, "quillmere-cli find: " + root_ + "/file\xff: Not a directory\n");
        // An empty folder argument names nothing; it is not the working folder.
        const Outcome empty = runCli({"zebra", ""}, QFile::decodeName(root_));
        QCOMPARE(empty.status, 1);
        QCOMPARE(empty.out, QByteArray());
        QCOMPARE(empty.err, QByteArray("quillmere-cli find: : No such file or directory\n"));
    }

    // Names that would steer a terminal (an escape sequence, a C1 control, a right-to-left
    // override, a line separator) reach it escaped, in the rows, in the failure lines and in
    // JSON alike; JSON stays strict and gives the names back.
    void terminalSeesNoRawControls() {
        QVERIFY(makeTree(root_, {"\x1b]0;owned\x07zebra", "gpj.\xe2\x80\xaezebra.exe",
                                 "line\xe2\x80\xa8zebra",
                                 "c1\xc2\x9b"
                                 "2Jzebra"}));
        const Outcome run =
            runCli({"--no-subfolders", "zebra", root_, root_ + "/gone\x1b[2J\xe2\x80\xae"});
        const Outcome json = runCli({"--json", "--no-subfolders", "zebra", root_});
        QCOMPARE(run.status, 1);
        QCOMPARE(json.status, 0);
        for (const QByteArray& raw :
             {QByteArray("\x1b"), QByteArray("\x07"), QByteArray("\xe2\x80\xae"),
              QByteArray("\xe2\x80\xa8"), QByteArray("\xc2\x9b")}) {
            QVERIFY2(!run.out.contains(raw), run.out.constData());
            QVERIFY2(!run.err.contains(raw), run.err.constData());
            QVERIFY2(!json.out.contains(raw), json.out.constData());
        }
        QStringList names;
        for (const QByteArray& line : json.out.split('\n')) {
            QJsonParseError error{};
            const QJsonDocument row = QJsonDocument::fromJson(line, &error);
            QVERIFY2(line.isEmpty() || error.error == QJsonParseError::NoError, line.constData());
            names << row[QStringLiteral("path")].toString().section(u'/', -1);
        }
        QVERIFY(names.contains(QString::fromUtf8("gpj.\xe2\x80\xaezebra.exe")));
        QVERIFY(names.contains(QString::fromUtf8("c1\xc2\x9b"
                                                 "2Jzebra")));
        QCOMPARE(run.out.count('\n'), 6); // the four names and the plain tree's two rows
        QVERIFY(run.out.contains("/gpj.\\u202ezebra.exe\t[Name] gpj.\\u202ezebra.exe\n"));
        QVERIFY(run.out.contains("/\\x1b]0;owned\\x07zebra\t"));
        QVERIFY(run.out.contains("/line\\u2028zebra\t"));
        QCOMPARE(run.err, "quillmere-cli find: " + root_ +
                              "/gone\\x1b[2J\\u202e: No such file or directory\n");
    }

    void usageErrors_data() {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::addColumn<QByteArray>("problem");
        QTest::addRow("nothing") << QList<QByteArray>{} << QByteArray("no phrase given");
        QTest::addRow("no folder") << QList<QByteArray>{"zebra"} << QByteArray("no folder given");
        QTest::addRow("empty phrase") << QList<QByteArray>{"", "/"} << QByteArray("blank");
        QTest::addRow("blank phrase") << QList<QByteArray>{" \t ", "/"} << QByteArray("blank");
        QTest::addRow("unknown option") << QList<QByteArray>{"--deep", "zebra", "/"}
                                        << QByteArray("find: unknown option \"--deep\"\n");
        QTest::addRow("unknown option, escaped")
            << QList<QByteArray>{"--x\x1b[2J", "zebra", "/"}
            << QByteArray("find: unknown option \"--x\\x1b[2J\"\n");
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

QUILLMERE_CORE_TEST_MAIN(TestCliFind)
#include "test_cli_find.moc"
