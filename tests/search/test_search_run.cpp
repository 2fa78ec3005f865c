#include "app/application_values.h"
#include "app/failure_report.h"
#include "app/form1.h"
#include "app/mouse_pointer.h"
#include "app/progress_bar.h"
#include "app/settings.h"
#include "form_fixture.h"
#include "results/results_model.h"
#include "support/test_main.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;

namespace {

const QString kDone = QStringLiteral("Done.");

// Entries under root: a name ending in "/" is a folder, "name -> target" a symbolic link, anything
// else a small text file.
bool makeTree(const QString& root, const QStringList& entries) {
    for (const QString& entry : entries) {
        const QString path = root + QLatin1Char('/') + entry.section(QStringLiteral(" -> "), 0, 0);
        if (entry.contains(QStringLiteral(" -> "))) {
            if (!QFile::link(entry.section(QStringLiteral(" -> "), 1), path))
                return false;
        } else if (entry.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return false;
        } else {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write("text\n") != 5)
                return false;
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                QFileDevice::ReadGroup | QFileDevice::ReadOther);
        }
    }
    return true;
}

void addFolderRow(Form1& form, const QString& path) {
    form.ListView1()->addTopLevelItem(new QTreeWidgetItem(QStringList{path}));
}

// Every results row as "path<TAB>label", with the folder's path shown as "~".
QStringList dump(const Form1& form, const QString& root) {
    QStringList rows;
    const ResultsModel& results = form.results();
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

void startFinding(Form1& form) {
    QTest::mouseClick(form.PushButton(1), Qt::LeftButton);
}

// Runs `act` once, the first time the folder list's header reads `header`.
void whenHeaderReads(Form1& form, const QString& header, std::function<void()> act) {
    auto once = std::make_shared<bool>(false);
    QObject::connect(form.ListView1()->model(), &QAbstractItemModel::headerDataChanged, &form,
                     [&form, header, act, once] {
                         if (!*once && form.folderListHeader() == header) {
                             *once = true;
                             act();
                         }
                     });
}

// A click that arrives while the search lets window messages run.
void postClick(QPushButton* button) {
    QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
}

} // namespace

class TestSearchRun : public QObject {
    Q_OBJECT

    FormFixture fixture_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString root_;
    std::unique_ptr<Form1> form_;

private slots:
    void init() {
        fixture_.dialogs.clear();
        fixture_.dialogs.onShow = nullptr;
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        root_ = dir_->path() + QStringLiteral("/t");
        QVERIFY(QDir().mkpath(root_));
        SaveSetting(settingkey::Text1, QString());
        form_ = fixture_.make();
    }
    void cleanup() {
        form_.reset();
        dir_.reset();
    }

    void resultsShownFromStartUp() {
        QCOMPARE(form_->ListView2()->model(), &form_->results());
        QCOMPARE(form_->results().headerData(0, Qt::Horizontal).toString(), "Results");
        QCOMPARE(form_->results().headerData(1, Qt::Horizontal).toString(), "Metadata");
        QCOMPARE(form_->ListView2()->columnWidth(0), 333);
        QCOMPARE(form_->ListView2()->columnWidth(1), 153);
    }

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
        addFolderRow(*form_, root_);
        form_->Text1()->setText(QStringLiteral("zebra"));
        form_->Check4()->setChecked(matchCase);
        startFinding(*form_);
        QCOMPARE(dump(*form_, root_), expected);
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
        addFolderRow(*form_, root_);
        form_->Text1()->setText(QStringLiteral("zebra"));
        form_->Check5()->setChecked(deep);
        startFinding(*form_);
        QCOMPARE(dump(*form_, root_), expected);
        QCOMPARE(messageTexts(fixture_.dialogs), QStringList{kDone});
    }

    void filenameNeverMatches() {
        QVERIFY(makeTree(root_, {"Filename", "Filename.txt"}));
        addFolderRow(*form_, root_);
        form_->Text1()->setText(QStringLiteral("Filename"));
        startFinding(*form_);
        QCOMPARE(dump(*form_, root_), QStringList{"~/Filename.txt\t[Name] Filename.txt"});
    }

    // The second run finds the same items by another detail: only the item the first run missed
    // is added, and the others keep the label of their first match.
    void secondRunAddsNothing() {
        QVERIFY(makeTree(root_, {"zebra_one", "zebra_two", "other"}));
        addFolderRow(*form_, root_);
        form_->Text1()->setText(QStringLiteral("zebra"));
        startFinding(*form_);
        form_->Text1()->setText(QStringLiteral("rw-r--r--"));
        startFinding(*form_);
        QCOMPARE(dump(*form_, root_),
                 (QStringList{"~/zebra_one\t[Name] zebra_one", "~/zebra_two\t[Name] zebra_two",
                              "~/other\t[Attributes] -rw-r--r--"}));
        QCOMPARE(messageTexts(fixture_.dialogs), (QStringList{kDone, kDone}));
    }

    // The phrase is read again for each list folder: the box of the missing second folder is
    // where the user types a new one.
    void phraseChangedDuringTheRun() {
        QVERIFY(makeTree(
            root_, {"one/", "one/alpha_1", "one/beta_1", "two/", "two/alpha_2", "two/beta_2"}));
        addFolderRow(*form_, root_ + QStringLiteral("/one"));
        addFolderRow(*form_, root_ + QStringLiteral("/missing"));
        addFolderRow(*form_, root_ + QStringLiteral("/two"));
        form_->Text1()->setText(QStringLiteral("alpha"));
        fixture_.dialogs.onShow = [this](const ScriptedDialogs::Shown&) {
            form_->Text1()->setText(QStringLiteral("beta"));
        };
        startFinding(*form_);
        QCOMPARE(dump(*form_, root_),
                 (QStringList{"~/one/alpha_1\t[Name] alpha_1", "~/two/beta_2\t[Name] beta_2"}));
    }

    void folderRemovedBeforeItsTurn() {
        QVERIFY(makeTree(root_, {"gone/", "kept/", "kept/zebra"}));
        addFolderRow(*form_, root_ + QStringLiteral("/gone"));
        addFolderRow(*form_, root_ + QStringLiteral("/kept"));
        QVERIFY(QDir(root_ + QStringLiteral("/gone")).removeRecursively());
        form_->Text1()->setText(QStringLiteral("zebra"));
        startFinding(*form_);
        QCOMPARE(dump(*form_, root_), QStringList{"~/kept/zebra\t[Name] zebra"});
        QCOMPARE(
            messageTexts(fixture_.dialogs),
            (QStringList{failureText(QStringLiteral("No such file or directory"), 136), kDone}));
    }

    // A Stop click that arrives in a pump of the walk: the caption reads "Start Finding" at once,
    // the walk ends at its next check, and the run still finishes with "Done.".
    void stopFromANestedClick() {
        QVERIFY(makeTree(root_, {"one/", "one/zebra_1", "one/a/", "one/a/zebra_a", "one/b/",
                                 "one/b/zebra_b", "two/", "two/zebra_2"}));
        addFolderRow(*form_, root_ + QStringLiteral("/one"));
        addFolderRow(*form_, root_ + QStringLiteral("/two"));
        form_->Text1()->setText(QStringLiteral("zebra"));
        QPushButton* button = form_->PushButton(1);
        QStringList seenByTheNestedClick;
        connect(button, &QPushButton::clicked, form_.get(), [&] {
            seenByTheNestedClick << button->text()
                                 << (applicationValues().StopRequested ? "stop" : "go");
        });
        whenHeaderReads(*form_, QStringLiteral("Searching ") + root_ + QStringLiteral("/one/a"),
                        [button] { postClick(button); });
        startFinding(*form_);
        QCOMPARE(seenByTheNestedClick, (QStringList{"Start Finding", "stop",    // the nested Stop
                                                    "Start Finding", "stop"})); // the run's end
        QCOMPARE(dump(*form_, root_),
                 (QStringList{"~/one/zebra_1\t[Name] zebra_1", "~/one/a/zebra_a\t[Name] zebra_a"}));
        QCOMPARE(messageTexts(fixture_.dialogs), QStringList{kDone});
        QCOMPARE(form_->folderListHeader(), QStringLiteral("Folder(s)"));
        QCOMPARE(form_->MousePointer(), pointer::Default);
    }

    // Closing the window in the middle of a walk reaches the end of the process at the walk's
    // next pump, not after the run.
    void closeDuringTheWalk() {
        QVERIFY(makeTree(root_, {"a/", "a/zebra_a", "b/", "b/zebra_b"}));
        Form1* form = nullptr;
        QStringList rowsWhenClosed;
        FormServices services;
        services.dialogs = &fixture_.dialogs;
        services.programFolder = fixture_.programFolder.path();
        services.drawPercent = [] { return 50; };
        services.openUrl = [](const QUrl&) {};
        services.endProcess = [&] { rowsWhenClosed << dump(*form, root_); };
        Form1 window(services);
        form = &window;
        addFolderRow(window, root_);
        window.Text1()->setText(QStringLiteral("zebra"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        whenHeaderReads(
            window, QStringLiteral("Searching ") + root_ + QStringLiteral("/a"),
            [form] { QMetaObject::invokeMethod(form, &QWidget::close, Qt::QueuedConnection); });
        startFinding(window);
        QCOMPARE(rowsWhenClosed, QStringList{"~/a/zebra_a\t[Name] zebra_a"});
    }

    void blankPhrase() {
        addFolderRow(*form_, root_);
        form_->Text1()->setText(QStringLiteral("   "));
        form_->setMousePointer(pointer::Hand);
        startFinding(*form_);
        QCOMPARE(fixture_.dialogs.messages().size(), 1);
        const ScriptedDialogs::Shown box = fixture_.dialogs.messages().first();
        QCOMPARE(box.text, QStringLiteral("Input search for what phrase"));
        QCOMPARE(box.style, 0);
        QCOMPARE(box.title, effectiveBoxTitle({}));
        QCOMPARE(form_->PushButton(1)->text(), QStringLiteral("Start Finding"));
        QCOMPARE(form_->MousePointer(), pointer::Hand);
        QCOMPARE(form_->ListView1()->topLevelItemCount(), 1);
        QCOMPARE(form_->results().rowCount(), 0);
    }

    void emptyFolderList() {
        form_->Text1()->setText(QStringLiteral("zebra"));
        startFinding(*form_);
        QCOMPARE(fixture_.dialogs.messages().size(), 1);
        const ScriptedDialogs::Shown box = fixture_.dialogs.messages().first();
        QCOMPARE(box.text, QStringLiteral("No folders added."));
        QCOMPARE(box.style, 0);
        QCOMPARE(box.title, effectiveBoxTitle({}));
        QCOMPARE(form_->PushButton(1)->text(), QStringLiteral("Start Finding"));
        QCOMPARE(form_->MousePointer(), pointer::Default);
        QVERIFY(applicationValues().StopRequested);
    }

    // Reading the long-named sub-folder fails ("File name too long": its path passes the
    // platform's limit, which holds for root too); its siblings on either side are still searched.
    void unreadableSubFolder() {
        QString list = root_;
        while (list.size() < 3900)
            list += QLatin1Char('/') + QString(120, QLatin1Char('d'));
        QVERIFY(QDir().mkpath(list));
        QVERIFY(makeTree(list, {"a_ok/", "a_ok/zebra_a", "z_ok/", "z_ok/zebra_z", "zebra_top"}));
        const QByteArray longName(250, 'm');
        const int listFd = ::open(QFile::encodeName(list).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(listFd >= 0);
        QCOMPARE(::mkdirat(listFd, longName.constData(), 0755), 0);
        addFolderRow(*form_, list);
        form_->Text1()->setText(QStringLiteral("zebra"));
        startFinding(*form_);
        QCOMPARE(::unlinkat(listFd, longName.constData(), AT_REMOVEDIR), 0);
        ::close(listFd);
        QCOMPARE(dump(*form_, list),
                 (QStringList{"~/zebra_top\t[Name] zebra_top", "~/a_ok/zebra_a\t[Name] zebra_a",
                              "~/z_ok/zebra_z\t[Name] zebra_z"}));
        QCOMPARE(messageTexts(fixture_.dialogs),
                 (QStringList{failureText(QStringLiteral("File name too long: ") + list +
                                              QLatin1Char('/') + QString::fromLatin1(longName),
                                          138),
                              kDone}));
    }

    // Links are items, never walked into: links back up the tree end the walk like any file.
    void linkLoop() {
        QVERIFY(makeTree(root_, {"a/", "a/zebra_a", "zebra_loop -> .", "a/zebra_up -> .."}));
        addFolderRow(*form_, root_);
        form_->Text1()->setText(QStringLiteral("zebra"));
        startFinding(*form_);
        QCOMPARE(dump(*form_, root_),
                 (QStringList{"~/zebra_loop\t[Name] zebra_loop", "~/a/zebra_a\t[Name] zebra_a",
                              "~/a/zebra_up\t[Name] zebra_up"}));
        QCOMPARE(messageTexts(fixture_.dialogs), QStringList{kDone});
    }

    // What the window shows as each list folder starts, and after the run. A command that reset
    // the pointer in the pump before a folder does not keep the busy pointer away.
    void progressAndHeader() {
        QVERIFY(makeTree(root_, {"one/", "two/", "three/"}));
        addFolderRow(*form_, root_ + QStringLiteral("/one"));
        addFolderRow(*form_, root_ + QStringLiteral("/two/"));
        addFolderRow(*form_, root_ + QStringLiteral("/three"));
        form_->Text1()->setText(QStringLiteral("zebra"));
        QStringList seen;
        connect(form_->ListView1()->model(), &QAbstractItemModel::headerDataChanged, form_.get(),
                [&] {
                    seen << QStringLiteral("%1 | %2 | %3 | %4")
                                .arg(form_->ProgressBar1()->value())
                                .arg(form_->ProgressBar1()->text(), form_->folderListHeader())
                                .arg(form_->MousePointer());
                });
        Form1* form = form_.get();
        QMetaObject::invokeMethod(
            form, [form] { form->setMousePointer(pointer::Default); }, Qt::QueuedConnection);
        startFinding(*form_);
        const QString searching = QStringLiteral("Searching ") + root_;
        QCOMPARE(seen, (QStringList{"33 | Processing: one | " + searching + "/one | 11",
                                    "66 | Processing:  | " + searching + "/two | 11",
                                    "100 | Processing: three | " + searching + "/three | 11",
                                    "100 | Processing: three | Folder(s) | 11"}));
        QCOMPARE(form_->ProgressBar1()->value(), 0);
        QCOMPARE(form_->ProgressBar1()->text(), QStringLiteral("Progress Bar"));
        QCOMPARE(form_->PushButton(1)->text(), QStringLiteral("Start Finding"));
        QCOMPARE(form_->MousePointer(), pointer::Default);
    }

    // The command-line program and the window share one engine: same rows, same order, same
    // labels, hidden sub-folders searched, hidden items left out.
    void sameRowsAsTheCommandLine() {
        QVERIFY(makeTree(root_, {"zebra_top", "Zebra_cap", "b/", "b/zebra_b", "a/", "a/zebra_a",
                                 "a/deep/", "a/deep/zebra_deep", "zebra_dir/", "zebra_dir/inner",
                                 ".hidden/", ".hidden/zebra_in_hidden", ".zebra_dot", "x 10/",
                                 "x 9/", "x 10/zebra_10", "x 9/zebra_9"}));
        addFolderRow(*form_, root_);
        form_->Text1()->setText(QStringLiteral("zebra"));
        startFinding(*form_);
        QProcess cli;
        cli.start(QStringLiteral(QUILLMERE_CLI),
                  {QStringLiteral("find"), QStringLiteral("zebra"), root_});
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.exitCode(), 0);
        QStringList cliRows = QString::fromUtf8(cli.readAllStandardOutput()).split('\n');
        QCOMPARE(cliRows.takeLast(), QString());
        for (QString& row : cliRows)
            row.replace(root_, QStringLiteral("~"));
        QCOMPARE(dump(*form_, root_), cliRows);
        QCOMPARE(cliRows.size(), 8);
    }

    // The first search a new user makes: the sample folder and the phrase "Kodak".
    void samplesFromAFreshStart() {
        ScriptedDialogs dialogs;
        FormServices services;
        services.dialogs = &dialogs;
        services.programFolder = QStringLiteral(QUILLMERE_PROGRAM_FOLDER);
        services.drawPercent = [] { return 50; };
        services.openUrl = [](const QUrl&) {};
        services.endProcess = [] {};
        Form1 form(services);
        QTest::mouseClick(form.PushButton(14), Qt::LeftButton);
        QTest::mouseClick(form.PushButton(1), Qt::LeftButton);
        const QString samples = QStringLiteral(QUILLMERE_PROGRAM_FOLDER "/Samples");
        QCOMPARE(
            dump(form, samples),
            (QStringList{"~/Garden party.jpg\t[Camera maker] Eastman Kodak Company",
                         "~/Harbour at dawn.jpg\t[Camera maker] Eastman Kodak Company",
                         "~/Slide scanning notes.pdf\t[Title] Scanning slides from a Kodak "
                         "Carousel",
                         "~/Snow on the ridge.tif\t[Camera maker] Kodak",
                         "~/More Photos/Family picnic.jpg\t[Camera maker] Eastman Kodak Company",
                         "~/More Photos/Old bridge.jpg\t[Camera maker] Eastman Kodak Company"}));
        QCOMPARE(messageTexts(dialogs).last(), kDone);
    }
};

QUILLMERE_TEST_MAIN(TestSearchRun)
#include "test_search_run.moc"
