#include "form_fixture.h"
#include "results/results_model.h"
#include "support/test_main.h"
#include "window/progress_bar.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>

// The wiring of the results buttons on the real window; the commands' rules have their own tests.
class TestResultsButtons : public QObject {
    Q_OBJECT

private slots:
    void buttonsReachTheirCommands() {
        FormFixture fixture;
        auto form = fixture.make();
        quillmere::results::ResultsModel& results = form->results();
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
};

QUILLMERE_TEST_MAIN(TestResultsButtons)
#include "test_results_buttons.moc"
