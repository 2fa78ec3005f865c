#include "app/failure_report.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "form_fixture.h"
#include "results/results_model.h"
#include "search/detail_sources.h"
#include "support/test_files.h"
#include "support/test_main.h"
#include "window/form1.h"
#include "window/progress_bar.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::results;
using namespace quillmere::test;

// The window hands each event to its handler and shows what the handler asks for. The handlers'
// own rules are tested through fake views beside them; these tests check only the wiring.
namespace {

QStringList folderRows(const Form1& form) {
    QStringList texts;
    for (int i = 0; i < form.ListView1()->topLevelItemCount(); ++i)
        texts << form.ListView1()->topLevelItem(i)->text(0);
    return texts;
}

// Every results row as "path<TAB>label", with `root` shown as "~".
QStringList dump(const Form1& form, const QString& root) {
    QStringList rows;
    const ResultsModel& results = form.results();
    for (int i = 0; i < results.rowCount(); ++i) {
        QString path = results.row(i).displayPath;
        rows << path.replace(root, QStringLiteral("~")) + QLatin1Char('\t') + results.row(i).label;
    }
    return rows;
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

// Sources with the reader helper of the build, as the installed program finds it beside itself.
std::shared_ptr<search::DetailSources> builtHelper() {
    search::DetailSources::Setup setup;
    setup.reading.program = QByteArrayLiteral(QUILLMERE_PROGRAM_FOLDER "/quillmere-extract");
    return std::make_shared<search::DetailSources>(setup);
}

// A window set to find "zebra" in root/one and root/two and their sub-folders one level down.
std::unique_ptr<Form1> findZebraInOneAndTwo(FormFixture& fixture, const QString& root) {
    auto form = fixture.make();
    for (const QString& folder : {QStringLiteral("/one"), QStringLiteral("/two")})
        form->ListView1()->addTopLevelItem(new QTreeWidgetItem({root + folder}));
    form->Text1()->setText(QStringLiteral("zebra"));
    form->Check4()->setChecked(false);
    return form;
}

void pressDelete(Form1& form, int row) {
    form.ListView1()->setCurrentItem(form.ListView1()->topLevelItem(row));
    form.ListView1()->setFocus();
    QTest::keyClick(form.ListView1(), Qt::Key_Delete);
}

} // namespace

class TestWindowWiring : public QObject {
    Q_OBJECT

private slots:
    void init() { SaveSetting(settingkey::Text1, QString()); }

    // Search: the phrase box, the options, the list and the results reach the run; the progress
    // bar, header and caption show it; a click on "Stop" during the walk stops it.
    void startAndStopThroughTheButton() {
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/one/a")));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/two")));
        QVERIFY(writeBytes(root + QStringLiteral("/one/Zebra_1"), "text\n"));
        QVERIFY(writeBytes(root + QStringLiteral("/one/a/zebra_a"), "text\n"));
        QVERIFY(writeBytes(root + QStringLiteral("/two/zebra_2"), "text\n"));
        FormFixture fixture;
        fixture.detailSources = builtHelper();
        auto form = findZebraInOneAndTwo(fixture, root);
        QPushButton* button = form->pushButton(1);
        QStringList seen;
        whenHeaderReads(*form, QStringLiteral("Searching ") + root + QStringLiteral("/one/a"), [&] {
            seen << button->text() << form->ProgressBar1()->text()
                 << QString::number(form->ProgressBar1()->value())
                 << QString::number(form->mousePointer());
            QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
        });
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(seen, (QStringList{"Stop", "Processing: one", "50", "11"}));
        QCOMPARE(dump(*form, root),
                 (QStringList{"~/one/Zebra_1\t[Name] Zebra_1", "~/one/a/zebra_a\t[Name] zebra_a"}));
        QCOMPARE(fixture.dialogs.messages().size(), 1);
        QCOMPARE(fixture.dialogs.messages().first().text, QStringLiteral("Done."));
        QCOMPARE(button->text(), QStringLiteral("Start Finding"));
        QCOMPARE(form->folderListHeader(), QStringLiteral("Folder(s)"));
        QCOMPARE(form->ProgressBar1()->text(), QStringLiteral("Progress Bar"));
        QCOMPARE(form->mousePointer(), pointer::Default);
        QVERIFY(!form->searchSession().searchRunning());
    }

    // A Stop click ends the run it was clicked in, wherever in the walk it came, and never the
    // next one. After the last folder's walk no pump runs before "Done."; a click still queued
    // then is met by the modal box's own loop, where the caption still reads "Stop". The
    // scripted box has no loop, so the test spins one as the real box does.
    void aStopClickEndsOnlyItsOwnRun_data() {
        QTest::addColumn<QString>("stopAt");
        QTest::addColumn<QStringList>("firstRows");
        const QStringList one{"~/one/Zebra_1\t[Name] Zebra_1", "~/one/a/zebra_a\t[Name] zebra_a"};
        QTest::addRow("in a sub-folder") << "/one/a" << one;
        QTest::addRow("in the last folder")
            << "/two" << one + QStringList{"~/two/zebra_2\t[Name] zebra_2"};
    }
    void aStopClickEndsOnlyItsOwnRun() {
        QFETCH(QString, stopAt);
        QFETCH(QStringList, firstRows);
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(makeTree(
            root, {"one/", "one/Zebra_1", "one/a/", "one/a/zebra_a", "two/", "two/zebra_2"}));
        FormFixture fixture;
        auto form = findZebraInOneAndTwo(fixture, root);
        QPushButton* button = form->pushButton(1);
        fixture.dialogs.onShow = [](const ScriptedDialogs::Shown&) {
            QCoreApplication::processEvents();
        };
        int clicksWhileRunning = 0;
        QObject::connect(button, &QPushButton::pressed, form.get(), [&] {
            clicksWhileRunning += form->searchSession().searchRunning() ? 1 : 0;
        });
        whenHeaderReads(*form, QStringLiteral("Searching ") + root + stopAt, [&] {
            QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
        });
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(dump(*form, root), firstRows);
        QCOMPARE(clicksWhileRunning, 1);
        QVERIFY(writeBytes(root + QStringLiteral("/two/zebra_new"), "text\n"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(clicksWhileRunning, 1);
        QCOMPARE(
            dump(*form, root),
            (QStringList{"~/one/Zebra_1\t[Name] Zebra_1", "~/one/a/zebra_a\t[Name] zebra_a",
                         "~/two/zebra_2\t[Name] zebra_2", "~/two/zebra_new\t[Name] zebra_new"}));
        QCOMPARE(fixture.dialogs.messages().size(), 2);
        QCOMPARE(button->text(), QStringLiteral("Start Finding"));
    }

    // Closing the window in the middle of a walk reaches the end of the process at the walk's
    // next pump, not after the run.
    void closeDuringTheWalk() {
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/a")));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/b")));
        QVERIFY(writeBytes(root + QStringLiteral("/a/zebra_a"), "text\n"));
        QVERIFY(writeBytes(root + QStringLiteral("/b/zebra_b"), "text\n"));
        FormFixture fixture;
        fixture.detailSources = builtHelper();
        Form1* form = nullptr;
        QStringList rowsWhenClosed;
        FormServices services;
        services.dialogs = &fixture.dialogs;
        services.programFolder = fixture.programFolder.path();
        services.drawPercent = [] { return 50; };
        services.openUrl = [](const QUrl&) {};
        services.endProcess = [&] { rowsWhenClosed << dump(*form, root); };
        services.detailSources = fixture.detailSources;
        Form1 window(services);
        form = &window;
        window.ListView1()->addTopLevelItem(new QTreeWidgetItem({root}));
        window.Text1()->setText(QStringLiteral("zebra"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        whenHeaderReads(window, QStringLiteral("Searching ") + root + QStringLiteral("/a"), [form] {
            QMetaObject::invokeMethod(form, &QWidget::close, Qt::QueuedConnection);
        });
        QTest::mouseClick(window.pushButton(1), Qt::LeftButton);
        QCOMPARE(rowsWhenClosed, QStringList{"~/a/zebra_a\t[Name] zebra_a"});
    }

    // Each window has its own search: a run in one neither stops nor locks the other's list.
    void twoWindowsKeepTheirOwnSearch() {
        QTemporaryDir dir;
        FormFixture first;
        first.detailSources = builtHelper();
        FormFixture second;
        second.detailSources = builtHelper();
        auto searching = first.make();
        auto other = second.make();
        searching->ListView1()->addTopLevelItem(
            new QTreeWidgetItem({dir.path() + QStringLiteral("/missing")}));
        searching->Text1()->setText(QStringLiteral("zebra"));
        other->ListView1()->addTopLevelItem(new QTreeWidgetItem({QStringLiteral("/kept")}));
        other->ListView1()->addTopLevelItem(new QTreeWidgetItem({QStringLiteral("/removed")}));
        other->show();
        QVERIFY(QTest::qWaitForWindowExposed(other.get()));
        QStringList seen;
        first.dialogs.onShow = [&](const ScriptedDialogs::Shown& box) {
            if (box.style != BoxStyle::Exclamation)
                return;
            pressDelete(*other, 1);
            seen << folderRows(*other) << other->pushButton(1)->text();
            seen << (other->searchSession().searchRunning() ? "running" : "idle");
        };
        QTest::mouseClick(searching->pushButton(1), Qt::LeftButton);
        QCOMPARE(seen, (QStringList{"/kept", "Start Finding", "idle"}));
        QVERIFY(searching->searchSession().StopRequested);
        QVERIFY(!other->searchSession().StopRequested);
    }

    // Folder list: the button asks for a folder, the Delete key and a double-click remove the
    // selected row, other keys reach the list as usual.
    void folderListEvents() {
        FormFixture fixture;
        fixture.detailSources = builtHelper();
        auto form = fixture.make();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        fixture.dialogs.queueFolder(QStringLiteral("/srv//a"));
        fixture.dialogs.queueFolder(QStringLiteral("/srv/b"));
        fixture.dialogs.queueFolder(QStringLiteral("/srv/c"));
        for (int i = 0; i < 3; ++i)
            QTest::mouseClick(form->pushButton(3), Qt::LeftButton);
        QCOMPARE(folderRows(*form), (QStringList{"/srv/a", "/srv/b", "/srv/c"}));
        pressDelete(*form, 1);
        QCOMPARE(folderRows(*form), (QStringList{"/srv/a", "/srv/c"}));
        QTreeWidget* list = form->ListView1();
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(list->currentItem(), list->topLevelItem(0));
        const QPoint place = list->visualItemRect(list->topLevelItem(1)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, place);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, place);
        QCOMPARE(folderRows(*form), QStringList{"/srv/a"});
    }

    // The first search a new user makes: the sample folder and the phrase "Kodak".
    void samplesFromAFreshStart() {
        FormFixture fixture;
        fixture.detailSources = builtHelper();
        FormServices services;
        services.dialogs = &fixture.dialogs;
        services.programFolder = QStringLiteral(QUILLMERE_PROGRAM_FOLDER);
        services.drawPercent = [] { return 50; };
        services.openUrl = [](const QUrl&) {};
        services.endProcess = [] {};
        services.detailSources = builtHelper();
        Form1 form(services);
        QTest::mouseClick(form.pushButton(14), Qt::LeftButton);
        QCOMPARE(GetSetting(settingkey::Text1, QString()), QStringLiteral("Kodak"));
        QTest::mouseClick(form.pushButton(1), Qt::LeftButton);
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
        QCOMPARE(fixture.dialogs.messages().last().text, QStringLiteral("Done."));
    }

    // Without a working reader helper no embedded detail is read, and after each search that
    // left files unread the user is told once, in a box of its own after the run has ended. With
    // the helper back the files are found.
    void aSearchWithoutItsHelperSaysSoOnce() {
        QTemporaryDir dir;
        const QString samples = QStringLiteral(QUILLMERE_PROGRAM_FOLDER "/Samples/");
        for (const QString& name :
             {QStringLiteral("Garden party.jpg"), QStringLiteral("Harbour at dawn.jpg")})
            QVERIFY(QFile::copy(samples + name, dir.filePath(name)));
        QVERIFY(writeBytes(dir.filePath(QStringLiteral("Kodak.txt")), ""));
        FormFixture fixture;
        const QString helper = fixture.pathInProgramFolder(QStringLiteral("quillmere-extract"));
        search::DetailSources::Setup missing;
        missing.reading.program = QFile::encodeName(helper);
        fixture.detailSources = std::make_shared<search::DetailSources>(missing);
        auto form = fixture.make();
        form->ListView1()->addTopLevelItem(new QTreeWidgetItem({dir.path()}));
        form->Text1()->setText(QStringLiteral("Kodak"));
        QStringList whenTold;
        fixture.dialogs.onShow = [&](const ScriptedDialogs::Shown& box) {
            if (box.style == (BoxStyle::OkOnly | BoxStyle::Exclamation))
                whenTold << QString::number(form->mousePointer()) << form->pushButton(1)->text()
                         << (form->searchSession().searchRunning() ? "running" : "ended");
        };
        QPushButton* button = form->pushButton(1);
        QTest::mouseClick(button, Qt::LeftButton);
        const QString told = QStringLiteral(
            "The embedded details of 2 files were not read: the reader helper could not start: "
            "quillmere-extract is not installed beside this program.\r\n\r\nThey were searched "
            "by name, size, dates and type only; the next search tries the reader again.");
        QList<ScriptedDialogs::Shown> boxes = fixture.dialogs.messages();
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0].text, QStringLiteral("Done."));
        QCOMPARE(boxes[1].text, told);
        QCOMPARE(whenTold, (QStringList{"0", "Start Finding", "ended"}));
        QCOMPARE(dump(*form, dir.path()), QStringList{"~/Kodak.txt\t[Name] Kodak.txt"});

        QTest::mouseClick(button, Qt::LeftButton);
        boxes = fixture.dialogs.messages();
        QCOMPARE(boxes.size(), 4);
        QCOMPARE(boxes[3].text, told);

        // The program started again with its helper in place.
        QVERIFY(QFile::link(QStringLiteral(QUILLMERE_PROGRAM_FOLDER "/quillmere-extract"), helper));
        search::DetailSources::Setup installed;
        installed.reading.program = QFile::encodeName(helper);
        fixture.detailSources = std::make_shared<search::DetailSources>(installed);
        form = fixture.make();
        form->ListView1()->addTopLevelItem(new QTreeWidgetItem({dir.path()}));
        form->Text1()->setText(QStringLiteral("Kodak"));
        QTest::mouseClick(form->pushButton(1), Qt::LeftButton);
        QCOMPARE(fixture.dialogs.messages().size(), 5);
        QCOMPARE(fixture.dialogs.messages().last().text, QStringLiteral("Done."));
        QCOMPARE(form->results().rowCount(), 3);
    }

    // The results buttons reach their commands; the commands' rules have their own tests.
    void buttonsReachTheirCommands() {
        FormFixture fixture;
        fixture.detailSources = builtHelper();
        auto form = fixture.make();
        ResultsModel& results = form->results();
        results.appendRow("/photos/kodak.jpg", QStringLiteral("[Camera maker] Kodak"));
        results.appendRow("/photos/other.jpg", QStringLiteral("[Name] other.jpg"));
        results.appendRow("/music/song.mp3", QStringLiteral("[Title] Song"));
        results.setChecked(0, true);

        fixture.dialogs.queueInput(QStringLiteral("MP3"));
        form->pushButton(17)->click();
        QCOMPARE(results.rowCount(), 2);
        QCOMPARE(form->mousePointer(), 1);
        fixture.dialogs.queueInput(QStringLiteral("kodak"));
        form->pushButton(11)->click();
        QCOMPARE(results.rowCount(), 1);

        form->pushButton(5)->click();
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("/photos/kodak.jpg\t[Camera maker] Kodak\r\n"));

        QTemporaryDir dir;
        fixture.dialogs.queueSavePath(dir.filePath(QStringLiteral("saved.txt")));
        form->pushButton(2)->click();
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("saved.txt"))));
        QCOMPARE(form->ProgressBar1()->text(), QStringLiteral("Progress Bar"));
        QCOMPARE(form->mousePointer(), 0);

        form->pushButton(6)->click();
        QCOMPARE(results.rowCount(), 0);
        QCOMPARE(fixture.dialogs.messages().size(), 2); // the clipboard note and "Done."
    }

    // The two file buttons act on the window's ticked rows with its dialogs and pointer.
    void trashAndMoveButtonsActOnTheTickedRows() {
        FormFixture fixture;
        fixture.detailSources = builtHelper();
        auto form = fixture.make();
        QTemporaryDir files;
        QTemporaryDir target;
        for (const char* name : {"trashed.txt", "moved.txt"}) {
            QFile file(files.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            form->results().appendRow(QFile::encodeName(file.fileName()), QStringLiteral("[x]"));
        }
        form->results().setChecked(0, true);
        fixture.dialogs.queueAnswer(app::BoxAnswer::Yes);
        form->pushButton(10)->click();
        QVERIFY(!QFile::exists(files.filePath(QStringLiteral("trashed.txt"))));

        form->results().setChecked(0, true);
        fixture.dialogs.queueFolder(target.path());
        form->pushButton(8)->click();
        QVERIFY(QFile::exists(target.filePath(QStringLiteral("moved.txt"))));
        QCOMPARE(form->results().rowCount(), 0);
        QCOMPARE(form->mousePointer(), 0);
        QCOMPARE(fixture.dialogs.shown().size(), 2); // the question and the picker
    }
};

QUILLMERE_TEST_MAIN(TestWindowWiring)
#include "test_window_wiring.moc"
