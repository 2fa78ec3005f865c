#include "app/app_title.h"
#include "form_fixture.h"
#include "support/test_main.h"
#include "window/form1.h"
#include "window/progress_bar.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::test;

class TestForm1Layout : public QObject {
    Q_OBJECT
private slots:
    void windowFrame();
    void controlGeometry_data();
    void controlGeometry();
    void captionsAndFonts_data();
    void captionsAndFonts();
    void tabOrder();
    void listsStartEmptyWithTheirColumns();
    void folderListHeaderIsTheStatusLine();
    void startsWithNothingStored();
    void buttonsWithoutCommandDoNothing();
    void progressBarShowsItsTextVerbatim_data();
    void progressBarShowsItsTextVerbatim();
};

void TestForm1Layout::windowFrame() {
    FormFixture fixture;
    auto form = fixture.make();
    QCOMPARE(form->objectName(), QStringLiteral("Form1"));
    QCOMPARE(form->size(), QSize(1064, 340));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(form->windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(form->windowTitle(), QStringLiteral("Quillmere"));
    QVERIFY(!form->windowIcon().isNull());
    QCOMPARE(form->palette().color(QPalette::Window), QColor(Qt::white));
    QCOMPARE(form->font().family(), QStringLiteral("Arial"));
    QCOMPARE(form->font().pointSize(), 9);
    QVERIFY(form->font().bold());
    QCOMPARE(applicationTitle(), QStringLiteral("Quillmere"));
}

void TestForm1Layout::controlGeometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    const auto row = [](const char* name, const char* parent, int x, int y, int w, int h) {
        QTest::addRow("%s", name) << QString::fromLatin1(name) << QString::fromLatin1(parent)
                                  << QRect(x, y, w, h);
    };
    row("ListView1", "Form1", 8, 8, 520, 113);
    row("ListView2", "Form1", 536, 8, 520, 153);
    row("PushButton3", "Form1", 8, 128, 520, 27);
    row("PushButton12", "Form1", 8, 162, 256, 27);
    row("PushButton14", "Form1", 272, 162, 256, 27);
    row("Frame1", "Form1", 8, 194, 520, 53);
    row("Text1", "Frame1", 16, 20, 488, 22);
    row("Frame2", "Form1", 8, 252, 520, 45);
    row("Check4", "Frame2", 16, 20, 89, 17);
    row("Check5", "Frame2", 128, 20, 169, 17);
    row("PushButton1", "Form1", 8, 305, 520, 27);
    row("PushButton2", "Form1", 536, 168, 256, 27);
    row("PushButton5", "Form1", 800, 168, 256, 27);
    row("PushButton6", "Form1", 536, 202, 256, 27);
    row("PushButton9", "Form1", 800, 202, 256, 27);
    row("PushButton17", "Form1", 536, 236, 256, 27);
    row("PushButton11", "Form1", 800, 236, 256, 27);
    row("PushButton10", "Form1", 536, 270, 256, 27);
    row("PushButton8", "Form1", 800, 270, 256, 27);
    row("ProgressBar1", "Form1", 536, 305, 520, 27);
}

void TestForm1Layout::controlGeometry() {
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    FormFixture fixture;
    auto form = fixture.make();
    auto* control = form->findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    QCOMPARE(control->geometry(), geometry);
    const QRect onWindow(control->mapTo(form.get(), QPoint(0, 0)), control->size());
    QVERIFY2(form->rect().contains(onWindow), qPrintable(name));
}

void TestForm1Layout::captionsAndFonts_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<qreal>("points");
    const auto row = [](const char* name, const char* caption, qreal points) {
        QTest::addRow("%s", name) << QString::fromLatin1(name) << QString::fromLatin1(caption)
                                  << points;
    };
    row("PushButton3", "Add Folder to Search", 11.25);
    row("PushButton12", "Help", 11.25);
    row("PushButton14", "Load Sample/Example Folders", 11.25);
    row("PushButton1", "Start Finding", 11.25);
    row("PushButton2", "Save Results As Text File", 11.25);
    row("PushButton5", "Copy Results To Clipboard", 11.25);
    row("PushButton6", "Clear Results", 11.25);
    row("PushButton9", "Help", 11.25);
    row("PushButton17", "Remove Results Containing", 11.25);
    row("PushButton11", "Remove Results Not Containing", 11.25);
    row("PushButton10", "Send Checked To Recycle Bin", 11.25);
    row("PushButton8", "Move Checked To Folder", 11.25);
    row("Frame1", "Search For This Phrase", 9);
    row("Frame2", "Match Options", 9);
    row("Check4", "Match Case", 9);
    row("Check5", "Search In Subfolders Also", 9);
    row("ListView1", "", 9);
    row("ListView2", "", 9);
    row("Text1", "", 9);
}

void TestForm1Layout::captionsAndFonts() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(qreal, points);
    FormFixture fixture;
    auto form = fixture.make();
    auto* control = form->findChild<QWidget*>(name);
    QVERIFY(control);
    if (auto* button = qobject_cast<QAbstractButton*>(control))
        QCOMPARE(button->text(), caption);
    if (auto* frame = qobject_cast<QGroupBox*>(control))
        QCOMPARE(frame->title(), caption);
    QCOMPARE(control->font().family(), QStringLiteral("Arial"));
    QCOMPARE(control->font().pointSizeF(), points);
    QVERIFY(control->font().bold());
}

void TestForm1Layout::tabOrder() {
    FormFixture fixture;
    auto form = fixture.make();
    QStringList order;
    QWidget* widget = form->ListView1();
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->isEnabled())
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != form->ListView1() && order.size() < 100);
    QCOMPARE(order, QStringList({"ListView1", "ListView2", "PushButton3", "PushButton1",
                                 "PushButton2", "PushButton6", "PushButton17", "PushButton11",
                                 "PushButton5", "Text1", "Check5", "Check4", "PushButton10",
                                 "PushButton8", "PushButton9", "PushButton12", "PushButton14"}));
}

void TestForm1Layout::listsStartEmptyWithTheirColumns() {
    FormFixture fixture;
    auto form = fixture.make();
    QTreeWidget* folders = form->ListView1();
    QCOMPARE(folders->columnCount(), 1);
    QCOMPARE(folders->topLevelItemCount(), 0);
    QVERIFY(!folders->isHeaderHidden());
    QCOMPARE(form->folderListHeader(), QStringLiteral("Folder(s)"));
    QCOMPARE(folders->columnWidth(0), 467);
    ReportTable* results = form->ListView2();
    QAbstractItemModel* model = results->model();
    QVERIFY(model);
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(model->columnCount(), 2);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Results"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Metadata"));
    QVERIFY(!results->horizontalHeader()->isHidden());
    QCOMPARE(results->columnWidth(0), 333);
    QCOMPARE(results->columnWidth(1), 153);
    QVERIFY(!results->isColumnHidden(0));
    QVERIFY(!results->isColumnHidden(1));
    const QString tip = QStringLiteral("Double-click item to remove it. Move | line to right and "
                                       "out of window to reveal full names.");
    QCOMPARE(folders->toolTip(), tip);
    QCOMPARE(results->toolTip(), tip);
}

void TestForm1Layout::folderListHeaderIsTheStatusLine() {
    FormFixture fixture;
    auto form = fixture.make();
    form->setFolderListHeader(QStringLiteral("Searching /home/ann/Pictures"));
    QCOMPARE(form->ListView1()->headerItem()->text(0),
             QStringLiteral("Searching /home/ann/Pictures"));
    QCOMPARE(form->ListView1()->columnCount(), 1);
    form->setFolderListHeader(QStringLiteral("Folder(s)"));
    QCOMPARE(form->folderListHeader(), QStringLiteral("Folder(s)"));
}

void TestForm1Layout::startsWithNothingStored() {
    FormFixture fixture;
    auto form = fixture.make();
    QCOMPARE(form->Text1()->text(), QString());
    QVERIFY(form->Check4()->isChecked());
    QVERIFY(form->Check5()->isChecked());
    QCOMPARE(form->ProgressBar1()->value(), 0);
    QCOMPARE(form->ProgressBar1()->text(), QStringLiteral("Progress Bar"));
    QCOMPARE(form->pushButton(1)->text(), QStringLiteral("Start Finding"));
    QCOMPARE(form->mousePointer(), 0);
    QVERIFY(!form->hasHandPicture());
    QVERIFY(fixture.dialogs.shown().isEmpty());
    QCOMPARE(form->pushButton(4), nullptr);
}

void TestForm1Layout::buttonsWithoutCommandDoNothing() {
    FormFixture fixture;
    auto form = fixture.make();
    // Every button but the Trash has its own test; with no row ticked the Trash asks nothing.
    for (int number : {10})
        form->pushButton(number)->click();
    QVERIFY(fixture.dialogs.shown().isEmpty());
    QCOMPARE(form->ListView1()->topLevelItemCount(), 0);
    QCOMPARE(form->mousePointer(), 0);
}

void TestForm1Layout::progressBarShowsItsTextVerbatim_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::addRow("percent sign") << "50%mix" << 50;
    QTest::addRow("format placeholders") << "%p %v %m" << 10;
    QTest::addRow("empty") << "" << 100;
    QTest::addRow("processing") << "Processing: Pictures" << 33;
}

void TestForm1Layout::progressBarShowsItsTextVerbatim() {
    QFETCH(QString, text);
    QFETCH(int, value);
    ProgressBar bar;
    QCOMPARE(bar.minimum(), 0);
    QCOMPARE(bar.maximum(), 100);
    bar.setValue(value);
    bar.setText(text);
    QCOMPARE(bar.text(), text);
    bar.reset();
    QCOMPARE(bar.text(), text);
}

QUILLMERE_TEST_MAIN(TestForm1Layout)
#include "test_form1_layout.moc"
