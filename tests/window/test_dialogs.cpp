#include "app/app_title.h"
#include "support/scripted_dialogs.h"
#include "support/test_main.h"
#include "window/app_icon.h"
#include "window/qt_dialogs.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <QtTest>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::test;

namespace {

// Runs `inspect` on the modal dialog once it is open; `inspect` answers it. Whatever modal
// dialog is still open afterwards (a check failed before the answer, or another kind of dialog
// came up) is cancelled, so a failing check fails the test instead of waiting for the timeout.
template <typename Dialog, typename Inspect> void whenOpen(Inspect inspect) {
    QTimer::singleShot(0, [inspect] {
        const auto cancelLeftOpen = qScopeGuard([] {
            if (auto* left = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                left->reject();
        });
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        inspect(dialog);
    });
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void applicationTitleRule_data();
    void applicationTitleRule();
    void boxWithoutTitleShowsTheApplicationTitle();
    void scriptedDialogsAnswerAndRecord();
    void lineBreaksForDisplay_data();
    void lineBreaksForDisplay();
    void realMessageBox_data();
    void realMessageBox();
    void realInputBoxCancelGivesEmptyText();
    void realSaveDialogAsksNothingOfItsOwn();
    void aFailedCheckClosesTheBox();
    void titlesCarryNoApplicationName();
    void realChoiceBoxOffersItsLabelsAndDefault();
};

void TestDialogs::applicationTitleRule_data() {
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("title");
    QTest::addRow("no blank keeps the whole name") << "Quillmere"
                                                   << "Quillmere";
    QTest::addRow("short name loses its last word") << "Quillmere Metadata Finder"
                                                    << "Quillmere Metadata";
    QTest::addRow("two words") << "Quillmere 2021"
                               << "Quillmere";
    QTest::addRow("trailing blank cuts only the blank") << "Quillmere "
                                                        << "Quillmere";
    QTest::addRow("leading blank leaves nothing") << " Quillmere"
                                                  << "";
    QTest::addRow("exactly 40 after the first cut") << "aaaaaaaaa bbbbbbbbb ccccccccc ddddddddd eee"
                                                    << "aaaaaaaaa bbbbbbbbb ccccccccc ddddddddd";
    QTest::addRow("long name loses words until 40 or fewer")
        << "Quillmere finds files by their metadata on every disk of yours"
        << "Quillmere finds files by their metadata";
    QTest::addRow("long word without further blank stays long")
        << "Quillmerefindsfilesbytheirmetadataoneverydisk now"
        << "Quillmerefindsfilesbytheirmetadataoneverydisk";
    QTest::addRow("non-ASCII counts characters")
        << QStringLiteral("Größenwahn überall ändert öfter äußerst übel x")
        << QStringLiteral("Größenwahn überall ändert öfter äußerst");
    QTest::addRow("empty") << ""
                           << "";
}

void TestDialogs::applicationTitleRule() {
    QFETCH(QString, displayName);
    QFETCH(QString, title);
    QCOMPARE(applicationTitleFor(displayName), title);
}

void TestDialogs::boxWithoutTitleShowsTheApplicationTitle() {
    setApplicationTitle(QStringLiteral("Quill Test"));
    QCOMPARE(effectiveBoxTitle(QString()), QStringLiteral("Quill Test"));
    QCOMPARE(effectiveBoxTitle(QStringLiteral("Own")), QStringLiteral("Own"));
    setApplicationTitle(applicationTitleFor(kProductDisplayName));
    QCOMPARE(effectiveBoxTitle(QString()), QStringLiteral("Quillmere"));
}

void TestDialogs::scriptedDialogsAnswerAndRecord() {
    ScriptedDialogs dialogs;
    dialogs.queueAnswer(BoxAnswer::Yes);
    QCOMPARE(dialogs.messageBox(QStringLiteral("Overwrite?"), BoxStyle::YesNo), BoxAnswer::Yes);
    QCOMPARE(dialogs.messageBox(QStringLiteral("Again?"), BoxStyle::YesNo), BoxAnswer::No);
    QCOMPARE(dialogs.messageBox(QStringLiteral("Done."), BoxStyle::OkOnly), BoxAnswer::Ok);
    dialogs.queueInput(QStringLiteral("jpg"));
    QCOMPARE(dialogs.inputBox(QStringLiteral("Remove entries containing: ")),
             QStringLiteral("jpg"));
    QCOMPARE(dialogs.inputBox(QStringLiteral("Remove entries containing: ")), QString());
    dialogs.queueFolder(QStringLiteral("/srv"));
    QCOMPARE(dialogs.chooseFolder(QStringLiteral("Please select folder:"), QStringLiteral("/home")),
             QStringLiteral("/srv"));
    QCOMPARE(dialogs.showSave(), QString());

    const auto& shown = dialogs.shown();
    QCOMPARE(shown.size(), 7);
    QCOMPARE(dialogs.messages().size(), 3);
    QCOMPARE(shown.at(0).style, BoxStyle::YesNo);
    QCOMPARE(shown.at(0).title, applicationTitle());
    QCOMPARE(shown.at(2).text, QStringLiteral("Done."));
    QCOMPARE(shown.at(3).kind, ScriptedDialogs::Kind::Input);
    QCOMPARE(shown.at(5).text, QStringLiteral("/home"));
    QCOMPARE(shown.at(6).title, QStringLiteral("Save"));
    QCOMPARE(shown.at(6).text, QStringLiteral("Text Files (*.txt);;All Files (*)"));
}

void TestDialogs::lineBreaksForDisplay_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::addRow("crlf") << "a\r\nb"
                          << "a\nb";
    QTest::addRow("lone cr") << "a\rb"
                             << "a\nb";
    QTest::addRow("double cr is an empty line") << "a\r\rb"
                                                << "a\n\nb";
    QTest::addRow("failure report") << "d\r\nin X at line 100\r\rPlease"
                                    << "d\nin X at line 100\n\nPlease";
    QTest::addRow("lf kept") << "a\nb"
                             << "a\nb";
    QTest::addRow("cr at end") << "a\r"
                               << "a\n";
}

void TestDialogs::lineBreaksForDisplay() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(textForDisplay(text), shown);
}

void TestDialogs::realMessageBox_data() {
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("press");
    QTest::addColumn<int>("answer");
    const int ok = QMessageBox::Ok;
    const int yesNo = QMessageBox::Yes | QMessageBox::No;
    QTest::addRow("style 0") << 0 << "" << int(QMessageBox::NoIcon) << ok << ok
                             << int(BoxAnswer::Ok);
    QTest::addRow("style 48") << 48 << "Application Error" << int(QMessageBox::Warning) << ok << ok
                              << int(BoxAnswer::Ok);
    QTest::addRow("style 4 yes") << 4 << "" << int(QMessageBox::NoIcon) << yesNo
                                 << int(QMessageBox::Yes) << int(BoxAnswer::Yes);
    QTest::addRow("style 4 no") << 4 << "" << int(QMessageBox::NoIcon) << yesNo
                                << int(QMessageBox::No) << int(BoxAnswer::No);
}

void TestDialogs::realMessageBox() {
    QFETCH(int, style);
    QFETCH(QString, title);
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, press);
    QFETCH(int, answer);
    setApplicationTitle(QStringLiteral("Quillmere"));
    QtDialogs dialogs(nullptr);
    whenOpen<QMessageBox>([=](QMessageBox* box) {
        QCOMPARE(box->windowTitle(), title.isEmpty() ? QStringLiteral("Quillmere") : title);
        QCOMPARE(int(box->icon()), icon);
        QCOMPARE(int(box->standardButtons()), buttons);
        QCOMPARE(box->text(), QStringLiteral("line one\n<b>two</b>\n\nthree"));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        box->button(QMessageBox::StandardButton(press))->click();
    });
    QCOMPARE(int(dialogs.messageBox(QStringLiteral("line one\r\n<b>two</b>\r\rthree"),
                                    BoxStyle(style), title)),
             answer);
}

void TestDialogs::realInputBoxCancelGivesEmptyText() {
    QtDialogs dialogs(nullptr);
    whenOpen<QInputDialog>([](QInputDialog* input) {
        QCOMPARE(input->windowTitle(), applicationTitle());
        QCOMPARE(input->labelText(), QStringLiteral("Remove entries containing: "));
        input->setTextValue(QStringLiteral("typed"));
        input->reject();
    });
    QCOMPARE(dialogs.inputBox(QStringLiteral("Remove entries containing: ")), QString());
    whenOpen<QInputDialog>([](QInputDialog* input) {
        input->setTextValue(QStringLiteral(" typed "));
        input->accept();
    });
    QCOMPARE(dialogs.inputBox(QStringLiteral("Remove entries containing: ")),
             QStringLiteral(" typed "));
}

void TestDialogs::realSaveDialogAsksNothingOfItsOwn() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("results"));
    QFile existing(path);
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.close();
    QtDialogs dialogs(nullptr);
    whenOpen<QFileDialog>([path](QFileDialog* dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Save"));
        QCOMPARE(dialog->nameFilters(), QStringList({"Text Files (*.txt)", "All Files (*)"}));
        QVERIFY(dialog->testOption(QFileDialog::DontConfirmOverwrite));
        QVERIFY(dialog->testOption(QFileDialog::DontUseNativeDialog));
        QCOMPARE(dialog->defaultSuffix(), QString());
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept();
    });
    QCOMPARE(dialogs.showSave(), path);
}

void TestDialogs::aFailedCheckClosesTheBox() {
    QtDialogs dialogs(nullptr);
    whenOpen<QMessageBox>([](QMessageBox* box) {
        QEXPECT_FAIL("", "a check that fails before the box is answered", Continue);
        QCOMPARE(box->text(), QStringLiteral("something else"));
        QEXPECT_FAIL("", "a check that ends the inspection early", Abort);
        QVERIFY(false);
    });
    // Returns, as the box was closed for the failed check.
    dialogs.messageBox(QStringLiteral("Is anyone there?"), BoxStyle::YesNo);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

// Qt appends the application's display name to every other window title ("Application Error —
// Quillmere"); the program sets none, so a box shows exactly its own title.
void TestDialogs::titlesCarryNoApplicationName() {
    nameApplication();
    QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("quillmere"));
}

void TestDialogs::realChoiceBoxOffersItsLabelsAndDefault() {
    QtDialogs dialogs(nullptr);
    ChoiceRequest request;
    request.text = QStringLiteral("taken\r\rname");
    request.buttons = {QStringLiteral("Replace"), QStringLiteral("Keep Both"),
                       QStringLiteral("Skip")};
    request.defaultButton = request.escapeButton = 2;
    whenOpen<QMessageBox>([](QMessageBox* box) {
        QCOMPARE(box->text(), QStringLiteral("taken\n\nname"));
        QCOMPARE(box->buttons().size(), 3);
        QCOMPARE(box->defaultButton()->text(), QStringLiteral("Skip"));
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == QStringLiteral("Keep Both"))
                button->click();
        }
    });
    QCOMPARE(dialogs.choose(request), 1);
    whenOpen<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
    QCOMPARE(dialogs.choose(request), 2);
}

QUILLMERE_TEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
