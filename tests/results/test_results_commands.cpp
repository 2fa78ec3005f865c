#include "app/event_pump.h"
#include "app/failure_report.h"
#include "file_command_fixture.h"
#include "results/clipboard_copy.h"
#include "results/filters.h"
#include "results/results_model.h"
#include "results/results_view.h"
#include "results/text_export.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"
#include "support/test_main.h"
#include "window/qt_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::results;
using namespace quillmere::test;
namespace {

// Records what a command does to the pointer and the progress bar, in order ("pointer 11",
// "value 10", "text Done."); `onProgressValue` runs as a click during the export's pump would.
struct FakeResultsView : ResultsView {
    int mousePointer() const override { return pointer; }
    void setMousePointer(int value) override {
        log << QStringLiteral("pointer %1").arg(pointer = value);
    }
    void setProgressValue(int percent) override {
        log << QStringLiteral("value %1").arg(percent);
        if (onProgressValue)
            onProgressValue(percent);
    }
    void setProgressText(const QString& text) override { log << QStringLiteral("text ") + text; }
    void redrawResults() override { log << QStringLiteral("redraw"); }

    int pointer = 0;
    QStringList log;
    std::function<void(int)> onProgressValue;
};

// A row per text "path|metadata", ticked when the path starts with "+" (which is dropped).
void fill(ResultsModel& list, const QStringList& rows) {
    for (const QString& line : rows) {
        const bool ticked = line.startsWith(QLatin1Char('+'));
        const QString row = ticked ? line.mid(1) : line;
        const int bar = row.indexOf(QLatin1Char('|'));
        list.appendRow(QFile::encodeName(row.left(bar)), row.mid(bar + 1));
        list.setChecked(list.rowCount() - 1, ticked);
    }
}

QStringList dump(const ResultsModel& list) {
    QStringList lines;
    for (int r = 0; r < list.rowCount(); ++r)
        lines << QString(list.row(r).checked ? QStringLiteral("+") : QString()) +
                     list.row(r).displayPath + QLatin1Char('|') + list.row(r).label;
    return lines;
}

QStringList texts(const QList<ScriptedDialogs::Shown>& shown) {
    QStringList result;
    for (const auto& box : shown)
        result << box.text;
    return result;
}

QByteArray contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// Fails a given number of times before it takes the text.
struct StubbornClipboard : Clipboard {
    int refusals = 0;
    int clears = 0;
    int sets = 0;
    QString text = QStringLiteral("before");
    bool clear() override { return ++clears > refusals && (text.clear(), true); }
    bool setText(const QString& t) override {
        if (++sets <= refusals)
            throw std::runtime_error("held by another program");
        text = t;
        return true;
    }
};

const QString kCopied = QStringLiteral(
    "Results have been copied to the clipboard.\r\rClick a text area where you normally type and "
    "press Ctrl+V to paste the clipboard.");

} // namespace

class TestResultsCommands : public QObject {
    Q_OBJECT

private slots:
    void filters_data() {
        QTest::addColumn<bool>("containing");
        QTest::addColumn<QString>("phrase");
        QTest::addColumn<QList<int>>("kept"); // numbers of the rows in filters()
        QTest::addRow("capitals remove every mix of case") << true << "KODAK" << QList{3, 4};
        QTest::addRow("capitals keep every mix of case") << false << "KODAK" << QList{0, 1, 2};
        QTest::addRow("metadata does not count") << true << "title" << QList{0, 1, 2, 3, 4};
        QTest::addRow("spaces count") << true << " kodak " << QList{0, 1, 3, 4};
        QTest::addRow("non-ASCII lower-cased")
            << true << "\u00E4PFEL/\u00C9T\u00C9" << QList{0, 1, 2, 3};
        QTest::addRow("every row matches") << true << "/" << QList<int>{};
        QTest::addRow("none matches, not containing") << false << "zzz" << QList<int>{};
        QTest::addRow("none matches, containing") << true << "zzz" << QList{0, 1, 2, 3, 4};
    }
    void filters() {
        QFETCH(bool, containing);
        QFETCH(QString, phrase);
        QFETCH(QList<int>, kept);
        const QStringList rows{"+/photos/Kodak DC.jpg|[Camera maker] Kodak",
                               "/photos/kodak.png|[Name] kodak.png",
                               "+/music/a KODAK b.mp3|[Title] x", "/docs/report.pdf|[Title] Kodak",
                               "+/\u00C4pfel/\u00E9t\u00E9.txt|x"};
        ResultsModel list;
        fill(list, rows);
        FakeResultsView view;
        ScriptedDialogs dialogs;
        dialogs.queueInput(phrase);
        (containing ? results::removeResultsContaining
                    : results::removeResultsNotContaining)(view, dialogs, list);
        QStringList expected;
        for (int i : kept)
            expected << rows[i];
        QCOMPARE(dump(list), expected);
        QCOMPARE(view.log, (QStringList{"pointer 11", "pointer 1"}));
        QCOMPARE(texts(dialogs.shown()),
                 QStringList{containing ? "Remove entries containing: "
                                        : "Remove entries not containing: "});
    }

    // The filters lower-case without QString::toLower for most rows; what they remove must still
    // be what it gives: letters that lower-case to ASCII or to two units, surrogate pairs.
    void filtersLowerCaseAsQStringDoes() {
        const QStringList paths{QStringLiteral("/k/plain"),
                                QStringLiteral("/\u212A\u00E9/kelvin"),
                                QStringLiteral("/\u0130stanbul"),
                                QStringLiteral("/greek/\u03A3\u039F\u03A3"),
                                QString::fromUcs4(U"/deseret/\U00010400"),
                                QStringLiteral("/wide/\uFF21BC")};
        const QStringList phrases{QStringLiteral("K"),
                                  QStringLiteral("\u212A"),
                                  QStringLiteral("i\u0307s"),
                                  QStringLiteral("\u0130"),
                                  QStringLiteral("\u03C3\u03BF"),
                                  QString::fromUcs4(U"\U00010428"),
                                  QStringLiteral("\uFF41b"),
                                  QStringLiteral("\u00C9/KEL")};
        for (const QString& phrase : phrases) {
            for (const bool containing : {true, false}) {
                ResultsModel list;
                QStringList expected;
                for (const QString& path : paths) {
                    list.appendRow(QFile::encodeName(path), QStringLiteral("x"));
                    if (path.toLower().contains(phrase.toLower()) != containing)
                        expected << path + QStringLiteral("|x");
                }
                (containing ? results::RemoveRowsContaining
                            : results::RemoveRowsNotContaining)(list, phrase);
                QVERIFY2(dump(list) == expected, qPrintable(phrase));
            }
        }
    }

    void filterCancelledOrOnEmptyList() {
        ResultsModel list;
        FakeResultsView view;
        ScriptedDialogs dialogs;
        results::removeResultsContaining(view, dialogs, list); // cancel gives ""
        QVERIFY(view.log.isEmpty());
        dialogs.queueInput(QStringLiteral("a"));
        results::removeResultsNotContaining(view, dialogs, list);
        QCOMPARE(view.log, (QStringList{"pointer 11", "pointer 1"}));

        fill(list, {"/a|x", "+/b|y"});
        results::clearResults(dialogs, list);
        results::clearResults(dialogs, list);
        QCOMPARE(list.rowCount(), 0);
        QCOMPARE(dialogs.messages().size(), 0);
    }

    void exportFile_data() {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("empty list") << QStringList{} << QByteArray("Results\tMetadata\t\r\n");
        QTest::addRow("none ticked, header padded to every row")
            << QStringList{"/a/bb/ccc/d|[Name] d", "/x|[Title] long title here"}
            << QByteArray("Results    \tMetadata               \t\r\n");
        QTest::addRow("header wider than cells; last column padded")
            << QStringList{"+/a|[x] 1", "/b|b", "+/c|"}
            << QByteArray("Results\tMetadata\t\r\n"
                          "/a     \t[x] 1   \t\r\n"
                          "/c     \t        \t\r\n");
        QTest::addRow("blanks kept at start, inside and end")
            << QStringList{"+/ a b |  v w  ", "/longer/path|m"}
            << QByteArray("Results     \tMetadata\t\r\n"
                          "/ a b       \t  v w   \t\r\n");
        QTest::addRow("non-ASCII: UTF-8 bytes, widths in UTF-16 units")
            << QStringList{QString::fromUtf8("+/Zoë/été.jpg|[Title] \xF0\x9F\x93\xB7"),
                           "/abcdefghijklmn|[Title] 12"}
            << QByteArray("Results        \tMetadata  \t\r\n"
                          "/Zo\xC3\xAB/\xC3\xA9t\xC3\xA9.jpg   \t[Title] \xF0\x9F\x93\xB7\t\r\n");
    }
    void exportFile() {
        QFETCH(QStringList, rows);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("results")); // no extension added
        ResultsModel list;
        fill(list, rows);
        FakeResultsView view;
        ScriptedDialogs dialogs;
        dialogs.queueSavePath(path);
        results::saveResultsAsTextFile(view, dialogs, list);
        QCOMPARE(contentsOf(path), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"results"});
        QCOMPARE(texts(dialogs.messages()), QStringList{"Done."});
        QCOMPARE(view.log.first(), QStringLiteral("pointer 11"));
        QCOMPARE(view.log.last(), QStringLiteral("pointer 0"));
    }

    void exportProgressInOrder() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        ResultsModel list;
        QStringList rows;
        for (int i = 1; i <= 4000; ++i)
            rows << (i == 2000 || i == 2500 ? QStringLiteral("+") : QString()) +
                        QStringLiteral("/r%1|m").arg(i);
        fill(list, rows);
        FakeResultsView view;
        ScriptedDialogs dialogs;
        QVERIFY(results::SaveListviewProperlySpaced(list, path, &view, dialogs));
        // (r + 4000 / 2000) / 4000 * 100, whole percentages; the row number only at multiples
        // of 1000 that are ticked.
        QCOMPARE(
            view.log,
            (QStringList{"value 1", "text Writing file: out.txt", "value 10",
                         "text Writing file: out.txt", "value 20", "text Writing file: out.txt",
                         "value 50", "text Writing file: out.txt (2000)", "value 62", "value 100",
                         "text Done.", "value 0", "text Progress Bar"}));
        QVERIFY(dialogs.shown().isEmpty());
        QCOMPARE(contentsOf(path).count('\n'), 3);
    }

    // Chosen is a link: it is what gets replaced, never the file it points to.
    void overwriteQuestion() {
        QTemporaryDir dir;
        const QString kept = dir.filePath(QStringLiteral("kept.txt"));
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        QVERIFY(writeBytes(kept, "old"));
        QVERIFY(QFile::link(kept, path));
        ResultsModel list;
        fill(list, {"+/a|b"});
        FakeResultsView view;
        ScriptedDialogs dialogs;
        dialogs.queueSavePath(path);
        dialogs.queueAnswer(BoxAnswer::No);
        results::saveResultsAsTextFile(view, dialogs, list);
        QCOMPARE(contentsOf(path), QByteArray("old"));
        QVERIFY(view.log.isEmpty());

        dialogs.queueSavePath(path);
        dialogs.queueAnswer(BoxAnswer::Yes);
        results::saveResultsAsTextFile(view, dialogs, list);
        QCOMPARE(contentsOf(path), QByteArray("Results\tMetadata\t\r\n/a     \tb       \t\r\n"));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(contentsOf(kept), QByteArray("old"));
        const QString question = "Are you sure you wish to overwrite " + path + " ?";
        QCOMPARE(texts(dialogs.messages()), (QStringList{question, question, "Done."}));
        QCOMPARE(dialogs.messages().first().style, BoxStyle::YesNo);
    }

    // The saved file takes the chosen name's place only once it is whole: a save that fails
    // half way (a full disk) is told once, with no "Done.", and leaves the old file as it was.
    void aFailedSaveLeavesTheOldFile() {
        ScratchFileSystem full("size=64k");
        if (!full.isMounted())
            QSKIP(qPrintable(full.whyNot()));
        const QString target = full.path() + QStringLiteral("/results.txt");
        const QByteArray old(20 * 1024, 'o');
        QVERIFY(writeBytes(target, old));
        QVERIFY(writeBytes(full.path() + QStringLiteral("/filler"), QByteArray(36 * 1024, 'f')));
        QStringList rows;
        for (int i = 0; i < 2000; ++i)
            rows << QStringLiteral("+/a/rather/long/folder/name/file%1|x").arg(i);
        ResultsModel list;
        fill(list, rows);
        FakeResultsView view;
        ScriptedDialogs onFull;
        onFull.queueSavePath(target);
        onFull.queueAnswer(BoxAnswer::Yes);
        results::saveResultsAsTextFile(view, onFull, list);
        QCOMPARE(contentsOf(target), old);
        const QStringList shown = texts(onFull.messages());
        QCOMPARE(shown.size(), 2); // the question, and one failure
        QVERIFY2(shown[1].contains(QStringLiteral("No space left on device")),
                 qPrintable(shown[1]));
        QCOMPARE(QDir(full.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // nothing left
    }

    // A file that cannot be created is one failure, and no "Done." as if it had been saved.
    void uncreatableFileReportedOnce() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("missing/out.txt"));
        ResultsModel list;
        fill(list, {"+/a|b", "+/c|d", "+/e|f"});
        FakeResultsView view;
        ScriptedDialogs dialogs;
        dialogs.queueSavePath(path);
        results::saveResultsAsTextFile(view, dialogs, list);
        QCOMPARE(texts(dialogs.messages()),
                 QStringList{composeFailureMessage(QStringLiteral("No such file or directory"),
                                                   location::SaveListviewProperlySpaced, 156)});
        QCOMPARE(dialogs.messages().first().title, QStringLiteral("Application Error"));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(view.log.mid(view.log.size() - 3),
                 (QStringList{"value 0", "text Progress Bar", "pointer 0"}));
    }

    // A named pipe without a reader or a device chosen in the Save dialog is refused at once at
    // the step that creates the file, and left as it was; a longer file is wholly replaced.
    void saveOntoWhatIsNotAFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("saved");
        QTest::addRow("named pipe") << "pipe" << false;
        QTest::addRow("device") << "device" << false;
        QTest::addRow("longer regular file") << "file" << true;
    }
    void saveOntoWhatIsNotAFile() {
        QFETCH(QString, kind);
        QFETCH(bool, saved);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("chosen"));
        if (kind == QLatin1String("pipe"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == QLatin1String("device"))
            path = QStringLiteral("/dev/null");
        else
            QVERIFY(writeBytes(path, QByteArray(1000, 'x')));
        // Should the open block, this reader lets it go on, and the test fails instead of hanging.
        std::atomic<bool> rescued = false;
        std::atomic<bool> done = false;
        std::thread watchdog([&] {
            for (int i = 0; i < 100 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!done && kind == QLatin1String("pipe")) {
                rescued = true;
                ::close(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK));
            }
        });
        ResultsModel list;
        fill(list, {"+/a|b"});
        FakeResultsView view;
        ScriptedDialogs dialogs;
        dialogs.queueSavePath(path);
        dialogs.queueAnswer(BoxAnswer::Yes);
        results::saveResultsAsTextFile(view, dialogs, list);
        done = true;
        watchdog.join();
        QVERIFY(!rescued);
        const QString question = "Are you sure you wish to overwrite " + path + " ?";
        if (saved) {
            QCOMPARE(contentsOf(path),
                     QByteArray("Results\tMetadata\t\r\n/a     \tb       \t\r\n"));
            QCOMPARE(texts(dialogs.messages()), (QStringList{question, "Done."}));
            return;
        }
        QCOMPARE(texts(dialogs.messages()),
                 (QStringList{question,
                              composeFailureMessage(QStringLiteral("Not a regular file"),
                                                    location::SaveListviewProperlySpaced, 156)}));
        QCOMPARE(view.log.last(), QStringLiteral("pointer 0"));
        if (kind == QLatin1String("pipe"))
            QVERIFY(QFileInfo(path).isFile() == false && QFileInfo::exists(path));
    }

    // Rows removed by a command that ran during a pump: one report, not one per missing row.
    void rowsVanishingDuringTheExport() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        ResultsModel list;
        fill(list, {"+/a|b", "+/c|d", "+/e|f"});
        FakeResultsView view;
        view.onProgressValue = [&](int value) {
            if (value == 33) // the first row's progress
                list.clear();
        };
        ScriptedDialogs dialogs;
        QVERIFY(results::SaveListviewProperlySpaced(list, path, &view, dialogs));
        QCOMPARE(texts(dialogs.messages()),
                 QStringList{composeFailureMessage("Row 2 of the results list no longer exists",
                                                   location::SaveListviewProperlySpaced, 188)});
        QCOMPARE(contentsOf(path), QByteArray("Results\tMetadata\t\r\n/a     \tb       \t\r\n"));
    }

    // Names holding a tab, a line feed and a right-to-left override give one line per row and
    // two cells per line in the file and on the clipboard; the escaped length sets the widths;
    // a backslash in a name that needs no escape is written as it is, like every plain row.
    void hostileNamesStayOneLinePerRow() {
        const QStringList rows{"+/t\tb|[Name] t\tb", "+/n\nb|[Name] n\nb",
                               "+/\u202Eb|[Name] \u202Eb", "+/p\\b|[Name] p\\b",
                               "+/plain|[Name] plain"};
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("new\nline\u202E.txt"));
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        ResultsModel list;
        fill(list, rows);
        FakeResultsView view;
        ScriptedDialogs dialogs;
        dialogs.queueSavePath(path);
        dialogs.queueAnswer(BoxAnswer::Yes);
        results::saveResultsAsTextFile(view, dialogs, list);
        QCOMPARE(contentsOf(path), QByteArray("Results \tMetadata      \t\r\n"
                                              "/t\\tb   \t[Name] t\\tb   \t\r\n"
                                              "/n\\nb   \t[Name] n\\nb   \t\r\n"
                                              "/\\u202eb\t[Name] \\u202eb\t\r\n"
                                              "/p\\b    \t[Name] p\\b    \t\r\n"
                                              "/plain  \t[Name] plain  \t\r\n"));
        QCOMPARE(texts(dialogs.messages()).first(),
                 "Are you sure you wish to overwrite " + dir.path() + "/new\\nline\\u202e.txt ?");

        StubbornClipboard clipboard;
        results::copyResultsToClipboard(dialogs, list, clipboard);
        QCOMPARE(clipboard.text, QStringLiteral("/t\\tb   \t[Name] t\\tb\r\n"
                                                "/n\\nb   \t[Name] n\\nb\r\n"
                                                "/\\u202eb\t[Name] \\u202eb\r\n"
                                                "/p\\b    \t[Name] p\\b\r\n"
                                                "/plain  \t[Name] plain\r\n"));
    }

    // The last row removed by a click run at the width pass's first pump: that column's pass
    // ends with one report, and the widest path measured before still pads every line.
    void rowVanishingDuringTheWidthPass() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.txt"));
        ResultsModel list;
        fill(list, {"+/longest/path|c", "+/a|d", "/gone|e"});
        bool removed = false;
        setPumpObserver([&] {
            if (!std::exchange(removed, true))
                list.removeRows(2, 1);
        });
        // Past the pump's 30 ms spacing, so the width pass's first cell pumps.
        QTest::qSleep(40);
        ScriptedDialogs dialogs;
        QVERIFY(results::SaveListviewProperlySpaced(list, path, nullptr, dialogs));
        setPumpObserver({});
        QVERIFY(removed);
        QCOMPARE(texts(dialogs.messages()).size(), 2); // one per column's pass
        QCOMPARE(texts(dialogs.messages()).first(),
                 composeFailureMessage("Row 3 of the results list no longer exists",
                                       location::SaveListviewProperlySpaced, 124));
        QCOMPARE(contentsOf(path), QByteArray("Results      \tMetadata\t\r\n"
                                              "/longest/path\tc       \t\r\n"
                                              "/a           \td       \t\r\n"));
    }

    void clipboardCopy_data() {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("text");
        QTest::addRow("empty list leaves the clipboard") << QStringList{} << "before";
        QTest::addRow("none ticked") << QStringList{"/a|b", "/c|d"} << "";
        QTest::addRow("one ticked, widths of all rows")
            << QStringList{"/longest/path/here.x|[Name] x", "+/short/p.jpg|abc", "/q|[Title] long"}
            << "/short/p.jpg        \tabc\r\n";
        QTest::addRow("header does not widen")
            << QStringList{"+/a|x", "+/b|"} << "/a\tx\r\n/b\t\r\n";
        QTest::addRow("blanks: start and inside kept, end of last cell dropped")
            << QStringList{"+ /a b |  v w  ", "+/c|d"} << " /a b \t  v w\r\n/c    \td\r\n";
    }
    void clipboardCopy() {
        QFETCH(QStringList, rows);
        QFETCH(QString, text);
        QClipboard* board = QGuiApplication::clipboard();
        board->setText(QStringLiteral("before"));
        ResultsModel list;
        fill(list, rows);
        ScriptedDialogs dialogs;
        results::copyResultsToClipboard(dialogs, list, systemClipboard());
        QCOMPARE(board->text(), text);
        QCOMPARE(texts(dialogs.shown()), QStringList{kCopied});
        QCOMPARE(dialogs.shown().first().style, BoxStyle::OkOnly);
    }

    void clipboardRetries_data() {
        QTest::addColumn<int>("refusals");
        QTest::addColumn<QString>("text");
        QTest::addRow("taken at the last attempt") << 999 << "/a\tb\r\n";
        QTest::addRow("never taken") << 5000 << "before";
    }
    void clipboardRetries() {
        QFETCH(int, refusals);
        QFETCH(QString, text);
        ResultsModel list;
        fill(list, {"+/a|b"});
        StubbornClipboard clipboard;
        clipboard.refusals = refusals;
        ScriptedDialogs dialogs;
        results::copyResultsToClipboard(dialogs, list, clipboard);
        QCOMPARE(clipboard.clears, std::min(refusals + 1, 1000));
        QCOMPARE(clipboard.sets, std::min(refusals + 1, 1000));
        QCOMPARE(clipboard.text, text);
        QCOMPARE(texts(dialogs.shown()), QStringList{kCopied});
    }
};

QUILLMERE_TEST_MAIN(TestResultsCommands)
#include "test_results_commands.moc"
