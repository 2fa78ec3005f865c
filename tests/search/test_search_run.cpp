#include "app/dialogs.h"
#include "app/failure_report.h"
#include "app/mouse_pointer.h"
#include "fake_search_view.h"
#include "results/results_model.h"
#include "search/detail_sources.h"
#include "search/search_run.h"
#include "search/search_session.h"
#include "search/store/detail_store.h"
#include "support/model_search_observer.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::test;
using namespace quillmere::results;
using namespace quillmere::search;

namespace {

const QString kDone = QStringLiteral("Done.");

// Every results row as "path<TAB>label", with the folder's path shown as "~".
QStringList dump(const ResultsModel& results, const QString& root) {
    QStringList rows;
    for (int i = 0; i < results.rowCount(); ++i) {
        QString path = results.row(i).displayPath;
        if (path.startsWith(root))
            path = QLatin1Char('~') + path.mid(root.size());
        rows << path + QLatin1Char('\t') + results.row(i).label;
    }
    return rows;
}

QStringList messageTexts(const ScriptedDialogs& dialogs) {
    QStringList texts;
    for (const ScriptedDialogs::Shown& box : dialogs.messages())
        texts << box.text;
    return texts;
}

QString failureText(const QString& description, int label) {
    return composeFailureMessage(description, location::PushButton1Click, label);
}

} // namespace

class TestSearchRun : public QObject {
    Q_OBJECT

    ScriptedDialogs dialogs_;
    std::unique_ptr<FakeSearchView> view_;
    std::unique_ptr<search::SearchSession> session_;
    std::unique_ptr<ResultsModel> results_;
    std::unique_ptr<window::ResultsListRows> rowsSink_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString root_;

    void startFinding() { search::startFinding(*view_, dialogs_, *session_, *rowsSink_); }
    QStringList rows() const { return dump(*results_, root_); }

private slots:
    void init() {
        dialogs_.clear();
        dialogs_.onShow = nullptr;
        view_ = std::make_unique<FakeSearchView>();
        session_ = std::make_unique<search::SearchSession>();
        results_ = std::make_unique<ResultsModel>();
        rowsSink_ = std::make_unique<window::ResultsListRows>(*results_);
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        root_ = dir_->path() + QStringLiteral("/t");
        QVERIFY(QDir().mkpath(root_));
    }
    void cleanup() { dir_.reset(); }

    void matchCase_data() {
        QTest::addColumn<bool>("matchCase");
        QTest::addColumn<QStringList>("expected");
        QTest::addRow("ticked") << true << QStringList{"~/zebra_low\t[Name] zebra_low"};
        QTest::addRow("unticked") << false
                                  << QStringList{"~/Zebra_cap\t[Name] Zebra_cap",
                                                 "~/zebra_low\t[Name] zebra_low"};
    }
    void matchCase() {
        QFETCH(bool, matchCase);
        QFETCH(QStringList, expected);
        QVERIFY(makeTree(root_, {"Zebra_cap", "zebra_low", "other"}));
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("zebra");
        view_->matchCaseTicked = matchCase;
        startFinding();
        QCOMPARE(rows(), expected);
    }

    // Items one level down are found either way; two levels down only with the option, and after
    // the items of the folder above them.
    void searchInSubfolders_data() {
        QTest::addColumn<bool>("deep");
        QTest::addColumn<QStringList>("expected");
        const QStringList shallow = {"~/zebra_top\t[Name] zebra_top", "~/a/zebra_a\t[Name] zebra_a",
                                     "~/b/zebra_b\t[Name] zebra_b"};
        QTest::addRow("unticked") << false << shallow;
        QTest::addRow("ticked") << true
                                << QStringList{"~/zebra_top\t[Name] zebra_top",
                                               "~/a/zebra_a\t[Name] zebra_a",
                                               "~/a/deeper/zebra_deep\t[Name] zebra_deep",
                                               "~/b/zebra_b\t[Name] zebra_b"};
    }
    void searchInSubfolders() {
        QFETCH(bool, deep);
        QFETCH(QStringList, expected);
        QVERIFY(makeTree(root_, {"a/", "a/deeper/", "b/", "zebra_top", "a/zebra_a",
                                 "a/deeper/zebra_deep", "b/zebra_b", "b/plain"}));
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("zebra");
        view_->deepTicked = deep;
        startFinding();
        QCOMPARE(rows(), expected);
        QCOMPARE(messageTexts(dialogs_), QStringList{kDone});
    }

    // The close ends the process at once, so the store must hold every entry of the search by
    // the time "Done." is shown.
    void theStoreIsWrittenBeforeDone() {
        for (int i = 0; i < 40; ++i)
            QVERIFY(writeBytes(root_ + QStringLiteral("/file%1.txt").arg(i), "plain text"));
        QTemporaryDir storeFolder;
        store::StoreOptions options;
        options.folder = storeFolder.path();
        options.settleTime = std::chrono::nanoseconds(0);
        search::DetailSources::Setup sources;
        sources.store = std::make_shared<store::DetailStore>(options);
        session_->detailSources = std::make_shared<search::DetailSources>(sources);
        qint64 entriesAtDone = -1;
        dialogs_.onShow = [&](const ScriptedDialogs::Shown& box) {
            if (box.text == kDone)
                entriesAtDone = store::DetailStore(options).figures().entries;
        };
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("no such phrase");
        startFinding();
        QCOMPARE(messageTexts(dialogs_), QStringList{kDone});
        QCOMPARE(entriesAtDone, qint64(40));
    }

    void filenameNeverMatches() {
        QVERIFY(makeTree(root_, {"Filename", "Filename.txt"}));
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("Filename");
        startFinding();
        QCOMPARE(rows(), QStringList{"~/Filename.txt\t[Name] Filename.txt"});
    }

    // The second run finds the same items by another detail: only the item the first run missed
    // is added, and the others keep the label of their first match.
    void secondRunAddsNothing() {
        QVERIFY(makeTree(root_, {"zebra_one", "zebra_two", "other"}));
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("zebra");
        startFinding();
        view_->phraseText = QStringLiteral("rw-r--r--");
        startFinding();
        QCOMPARE(rows(),
                 (QStringList{"~/zebra_one\t[Name] zebra_one", "~/zebra_two\t[Name] zebra_two",
                              "~/other\t[Attributes] -rw-r--r--"}));
        QCOMPARE(messageTexts(dialogs_), (QStringList{kDone, kDone}));
    }

    // The phrase is read again for each list folder: the box of the missing second folder is
    // where the user types a new one. A box left empty or with blanks only meanwhile never lists
    // every item: that folder keeps the phrase the run last used.
    void phraseChangedDuringTheRun_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("expected");
        QTest::addRow("a new phrase")
            << "beta"
            << QStringList{"~/one/alpha_1\t[Name] alpha_1", "~/two/beta_2\t[Name] beta_2"};
        QTest::addRow("cleared") << ""
                                 << QStringList{"~/one/alpha_1\t[Name] alpha_1",
                                                "~/two/alpha_2\t[Name] alpha_2"};
        QTest::addRow("blanks only")
            << "   "
            << QStringList{"~/one/alpha_1\t[Name] alpha_1", "~/two/alpha_2\t[Name] alpha_2"};
    }
    void phraseChangedDuringTheRun() {
        QFETCH(QString, typed);
        QFETCH(QStringList, expected);
        QVERIFY(makeTree(root_, {"one/", "one/alpha_1", "one/beta_1", "one/a  b", "two/",
                                 "two/alpha_2", "two/beta_2", "two/c   d"}));
        view_->rows = {root_ + QStringLiteral("/one"), root_ + QStringLiteral("/missing"),
                       root_ + QStringLiteral("/two")};
        view_->phraseText = QStringLiteral("alpha");
        dialogs_.onShow = [this, typed](const ScriptedDialogs::Shown&) {
            view_->phraseText = typed;
        };
        startFinding();
        QCOMPARE(rows(), expected);
        QCOMPARE(messageTexts(dialogs_).last(), kDone);
    }

    void folderRemovedBeforeItsTurn() {
        QVERIFY(makeTree(root_, {"gone/", "kept/", "kept/zebra"}));
        view_->rows = {root_ + QStringLiteral("/gone"), root_ + QStringLiteral("/kept")};
        QVERIFY(QDir(root_ + QStringLiteral("/gone")).removeRecursively());
        view_->phraseText = QStringLiteral("zebra");
        startFinding();
        QCOMPARE(rows(), QStringList{"~/kept/zebra\t[Name] zebra"});
        QCOMPARE(
            messageTexts(dialogs_),
            (QStringList{failureText(QStringLiteral("No such file or directory"), 136), kDone}));
    }

    // A Stop click that arrives in a pump of the walk is a second run of the handler: the caption
    // reads "Start Finding" at once, the walk ends at its next check, and the run still finishes
    // with "Done.".
    void stopFromANestedClick() {
        QVERIFY(makeTree(root_, {"one/", "one/zebra_1", "one/a/", "one/a/zebra_a", "one/b/",
                                 "one/b/zebra_b", "two/", "two/zebra_2"}));
        view_->rows = {root_ + QStringLiteral("/one"), root_ + QStringLiteral("/two")};
        view_->phraseText = QStringLiteral("zebra");
        QStringList seenAfterTheNestedClick;
        const QString stopAt = QStringLiteral("Searching ") + root_ + QStringLiteral("/one/a");
        view_->onHeaderChanged = [&] {
            if (view_->header != stopAt)
                return;
            QMetaObject::invokeMethod(
                this,
                [&] {
                    seenAfterTheNestedClick << view_->caption
                                            << (session_->StopRequested ? "stop" : "go");
                    startFinding();
                    seenAfterTheNestedClick << view_->caption
                                            << (session_->StopRequested ? "stop" : "go");
                },
                Qt::QueuedConnection);
        };
        startFinding();
        QCOMPARE(seenAfterTheNestedClick, (QStringList{"Stop", "go", "Start Finding", "stop"}));
        QCOMPARE(rows(),
                 (QStringList{"~/one/zebra_1\t[Name] zebra_1", "~/one/a/zebra_a\t[Name] zebra_a"}));
        QCOMPARE(messageTexts(dialogs_), QStringList{kDone});
        QCOMPARE(view_->header, QStringLiteral("Folder(s)"));
        QCOMPARE(view_->pointer, pointer::Default);
        QCOMPARE(view_->caption, QStringLiteral("Start Finding"));
        QVERIFY(session_->StopRequested);
        QVERIFY(!session_->searchRunning());
    }

    void blankPhrase() {
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("   ");
        view_->pointer = pointer::Hand;
        startFinding();
        QCOMPARE(dialogs_.messages().size(), 1);
        const ScriptedDialogs::Shown box = dialogs_.messages().first();
        QCOMPARE(box.text, QStringLiteral("Input search for what phrase"));
        QCOMPARE(box.style, BoxStyle::OkOnly);
        QCOMPARE(box.title, effectiveBoxTitle({}));
        QCOMPARE(view_->caption, QStringLiteral("Start Finding"));
        QCOMPARE(view_->pointer, pointer::Hand);
        QCOMPARE(results_->rowCount(), 0);
        QVERIFY(!session_->StopRequested);
    }

    void emptyFolderList() {
        view_->phraseText = QStringLiteral("zebra");
        startFinding();
        QCOMPARE(dialogs_.messages().size(), 1);
        const ScriptedDialogs::Shown box = dialogs_.messages().first();
        QCOMPARE(box.text, QStringLiteral("No folders added."));
        QCOMPARE(box.style, BoxStyle::OkOnly);
        QCOMPARE(box.title, effectiveBoxTitle({}));
        QCOMPARE(view_->caption, QStringLiteral("Start Finding"));
        QCOMPARE(view_->pointer, pointer::Default);
        QVERIFY(session_->StopRequested);
    }

    // Reading the long-named sub-folder fails ("File name too long": its path passes the
    // platform's limit, which holds for root too); its siblings on either side are still searched.
    // The box names it escaped, so a line break or a reversing mark in it cannot garble the
    // message.
    void unreadableSubFolder() {
        QString list = root_;
        while (list.size() < 3900)
            list += QLatin1Char('/') + QString(120, QLatin1Char('d'));
        QVERIFY(QDir().mkpath(list));
        QVERIFY(makeTree(list, {"a_ok/", "a_ok/zebra_a", "z_ok/", "z_ok/zebra_z", "zebra_top"}));
        const QByteArray longName = QByteArray(120, 'm') + "\n\xe2\x80\xae" + QByteArray(120, 'm');
        const int listFd = ::open(QFile::encodeName(list).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(listFd >= 0);
        QCOMPARE(::mkdirat(listFd, longName.constData(), 0755), 0);
        view_->rows = {list};
        view_->phraseText = QStringLiteral("zebra");
        startFinding();
        QCOMPARE(::unlinkat(listFd, longName.constData(), AT_REMOVEDIR), 0);
        ::close(listFd);
        QCOMPARE(dump(*results_, list),
                 (QStringList{"~/zebra_top\t[Name] zebra_top", "~/a_ok/zebra_a\t[Name] zebra_a",
                              "~/z_ok/zebra_z\t[Name] zebra_z"}));
        QCOMPARE(messageTexts(dialogs_),
                 (QStringList{failureText(QStringLiteral("File name too long: ") + list +
                                              QLatin1Char('/') + QString(120, u'm') +
                                              QStringLiteral("\\n\\u202e") + QString(120, u'm'),
                                          138),
                              kDone}));
    }

    // Links are items, never walked into: links back up the tree end the walk like any file.
    void linkLoop() {
        QVERIFY(makeTree(root_, {"a/", "a/zebra_a", "zebra_loop -> .", "a/zebra_up -> .."}));
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("zebra");
        startFinding();
        QCOMPARE(rows(),
                 (QStringList{"~/zebra_loop\t[Name] zebra_loop", "~/a/zebra_a\t[Name] zebra_a",
                              "~/a/zebra_up\t[Name] zebra_up"}));
        QCOMPARE(messageTexts(dialogs_), QStringList{kDone});
    }

    // What the window shows as each list folder starts, and after the run. A command that reset
    // the pointer in the pump before a folder does not keep the busy pointer away. A sub-folder's
    // name is shown escaped.
    void progressAndHeader() {
        QVERIFY(makeTree(root_, {"one/", "two/",
                                 "two/a\n\xe2\x80\xae"
                                 "b/",
                                 "three/"}));
        view_->rows = {root_ + QStringLiteral("/one"), root_ + QStringLiteral("/two/"),
                       root_ + QStringLiteral("/three")};
        view_->phraseText = QStringLiteral("zebra");
        QStringList seen;
        view_->onHeaderChanged = [&] {
            seen << QStringLiteral("%1 | %2 | %3 | %4 | %5")
                        .arg(view_->progress)
                        .arg(view_->progressLabel, view_->header, view_->caption)
                        .arg(view_->pointer);
        };
        QMetaObject::invokeMethod(
            this, [this] { view_->pointer = pointer::Default; }, Qt::QueuedConnection);
        startFinding();
        const QString searching = QStringLiteral("Searching ") + root_;
        QCOMPARE(seen,
                 (QStringList{"33 | Processing: one | " + searching + "/one | Stop | 11",
                              "66 | Processing:  | " + searching + "/two | Stop | 11",
                              "66 | Processing:  | " + searching + "/two/a\\n\\u202eb | Stop | 11",
                              "100 | Processing: three | " + searching + "/three | Stop | 11",
                              "100 | Processing: three | Folder(s) | Stop | 11"}));
        QCOMPARE(view_->progress, 0);
        QCOMPARE(view_->progressLabel, QStringLiteral("Progress Bar"));
        QCOMPARE(view_->caption, QStringLiteral("Start Finding"));
        QCOMPARE(view_->pointer, pointer::Default);
    }

    // A row gone before its turn is one failure box naming the row; the step after it still has
    // the previous folder's path, whose items are listed already.
    void rowRemovedDuringTheRun() {
        QVERIFY(makeTree(root_, {"one/", "one/zebra_1", "two/", "two/zebra_2"}));
        view_->rows = {root_ + QStringLiteral("/one"), root_ + QStringLiteral("/two")};
        view_->phraseText = QStringLiteral("zebra");
        view_->onHeaderChanged = [this] {
            if (view_->header.endsWith(QStringLiteral("/one")))
                view_->rows.removeLast();
        };
        startFinding();
        QCOMPARE(rows(), QStringList{"~/one/zebra_1\t[Name] zebra_1"});
        QCOMPARE(
            messageTexts(dialogs_),
            (QStringList{failureText(QStringLiteral("The folder list has no row 2"), 128), kDone}));
    }

    // The command-line program and the window share one engine: same rows, same order, same
    // labels, hidden sub-folders searched, hidden items left out.
    void sameRowsAsTheCommandLine() {
        QVERIFY(makeTree(root_, {"zebra_top", "Zebra_cap", "b/", "b/zebra_b", "a/", "a/zebra_a",
                                 "a/deep/", "a/deep/zebra_deep", "zebra_dir/", "zebra_dir/inner",
                                 ".hidden/", ".hidden/zebra_in_hidden", ".zebra_dot", "x 10/",
                                 "x 9/", "x 10/zebra_10", "x 9/zebra_9"}));
        view_->rows = {root_};
        view_->phraseText = QStringLiteral("zebra");
        startFinding();
        QProcess cli;
        cli.start(QStringLiteral(QUILLMERE_CLI),
                  {QStringLiteral("find"), QStringLiteral("zebra"), root_});
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.exitCode(), 0);
        QStringList cliRows = QString::fromUtf8(cli.readAllStandardOutput()).split('\n');
        QCOMPARE(cliRows.takeLast(), QString());
        for (QString& row : cliRows)
            row.replace(root_, QStringLiteral("~"));
        QCOMPARE(rows(), cliRows);
        QCOMPARE(cliRows.size(), 8);
    }
};

QUILLMERE_CORE_TEST_MAIN(TestSearchRun)
#include "test_search_run.moc"
