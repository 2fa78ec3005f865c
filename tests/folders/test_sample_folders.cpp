#include "app/dialogs.h"
#include "app/failure_report.h"
#include "fake_folder_views.h"
#include "folders/sample_folders.h"
#include "support/scripted_dialogs.h"
#include "support/test_main.h"

#include <QtTest>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::test;
using namespace quillmere::folders;

namespace {

const QString kQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?");
const QString kProgramFolder = QStringLiteral("/opt/quillmere");
const QString kSamples = QStringLiteral("/opt/quillmere/Samples/");

// A view whose every call fails, as a window being torn down might.
struct FailingView : FakeSampleFoldersView {
    void appendFolderRow(const QString&) override { throw Failure(QStringLiteral("no list")); }
    void setPhrase(const QString&) override { throw Failure(QStringLiteral("no box")); }
    void openUrl(const QUrl&) override { throw Failure(QStringLiteral("no browser")); }
};

} // namespace

class TestSampleFolders : public QObject {
    Q_OBJECT

    ScriptedDialogs dialogs_;

private slots:
    void init() { dialogs_.clear(); }

    void noOpensNothingAndSetsThePhrase() {
        FakeSampleFoldersView view;
        view.rows = {"/first"};
        dialogs_.queueAnswer(BoxAnswer::No);
        loadSampleFolders(view, dialogs_, kProgramFolder);
        QCOMPARE(view.rows, (QStringList{"/first", kSamples}));
        QCOMPARE(dialogs_.messages().size(), 1);
        const ScriptedDialogs::Shown box = dialogs_.messages().first();
        QCOMPARE(box.text, kQuestion);
        QCOMPARE(box.style, BoxStyle::YesNo);
        QCOMPARE(box.title, effectiveBoxTitle({}));
        QCOMPARE(view.opened, QList<QUrl>{});
        QCOMPARE(view.phrase, QStringLiteral("Kodak"));
    }

    void yesOpensTheFolder() {
        FakeSampleFoldersView view;
        dialogs_.queueAnswer(BoxAnswer::Yes);
        loadSampleFolders(view, dialogs_, kProgramFolder);
        QCOMPARE(view.opened, QList<QUrl>{QUrl::fromLocalFile(kSamples)});
        QCOMPARE(view.phrase, QStringLiteral("Kodak"));
    }

    // Not cleaned and not checked: the row keeps its trailing separator, twice if pressed twice.
    void pressedTwice() {
        FakeSampleFoldersView view;
        loadSampleFolders(view, dialogs_, kProgramFolder);
        loadSampleFolders(view, dialogs_, kProgramFolder);
        QCOMPARE(view.rows, (QStringList{kSamples, kSamples}));
    }

    // Every failing step is a box of its own, and the question is still asked.
    void failingStepsCarryOn() {
        FailingView view;
        dialogs_.queueAnswer(BoxAnswer::Ok); // the first failure's box
        dialogs_.queueAnswer(BoxAnswer::Yes);
        loadSampleFolders(view, dialogs_, kProgramFolder);
        QStringList texts;
        for (const ScriptedDialogs::Shown& box : dialogs_.messages())
            texts << box.text;
        const auto failure = [](const char* what, int label) {
            return composeFailureMessage(QString::fromLatin1(what), location::PushButton14Click,
                                         label);
        };
        QCOMPARE(texts, (QStringList{failure("no list", 100), kQuestion, failure("no browser", 104),
                                     failure("no box", 106)}));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestSampleFolders)
#include "test_sample_folders.moc"
