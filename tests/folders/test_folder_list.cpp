#include "app/application_values.h"
#include "app/form1.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "form_fixture.h"
#include "support/test_main.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace quillmere;

namespace {

QStringList rows(const Form1& form) {
    QStringList texts;
    for (int i = 0; i < form.ListView1()->topLevelItemCount(); ++i)
        texts << form.ListView1()->topLevelItem(i)->text(0);
    return texts;
}

void addFolder(Form1& form) {
    QTest::mouseClick(form.PushButton(3), Qt::LeftButton);
}

void setRows(Form1& form, const QStringList& texts) {
    form.ListView1()->clear();
    for (const QString& text : texts)
        form.ListView1()->addTopLevelItem(new QTreeWidgetItem(QStringList{text}));
}

void select(Form1& form, int row) {
    form.ListView1()->setCurrentItem(form.ListView1()->topLevelItem(row));
}

void pressDelete(Form1& form, Qt::Key key = Qt::Key_Delete) {
    form.ListView1()->setFocus();
    QTest::keyClick(form.ListView1(), key);
}

// As the platform delivers it: the first click selects the row, then comes the double-click.
void doubleClick(Form1& form, int row) {
    QTreeWidget* list = form.ListView1();
    const QPoint place = list->visualItemRect(list->topLevelItem(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, place);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, place);
}

} // namespace

class TestFolderList : public QObject {
    Q_OBJECT

    FormFixture fixture_;
    std::unique_ptr<Form1> form_;

private slots:
    void init() {
        fixture_.dialogs.clear();
        fixture_.dialogs.onShow = nullptr;
        SaveSetting(settingkey::LastFolderDot, QString());
        form_ = fixture_.make();
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }
    void cleanup() { form_.reset(); }

    void cancelChangesNothing() {
        setRows(*form_, {"/kept"});
        form_->setMousePointer(pointer::Hand);
        addFolder(*form_);
        QCOMPARE(rows(*form_), QStringList{"/kept"});
        QCOMPARE(form_->MousePointer(), pointer::Hand);
        QCOMPARE(fixture_.dialogs.shown().size(), 1);
        QCOMPARE(fixture_.dialogs.shown().first().title, QStringLiteral("Please select folder:"));
    }

    void sameFolderTwiceGivesTwoRows() {
        fixture_.dialogs.queueFolder(QStringLiteral("/srv/photos"));
        fixture_.dialogs.queueFolder(QStringLiteral("/srv/photos"));
        form_->setMousePointer(pointer::Hand);
        addFolder(*form_);
        addFolder(*form_);
        QCOMPARE(rows(*form_), (QStringList{"/srv/photos", "/srv/photos"}));
        QCOMPARE(form_->MousePointer(), pointer::Default);
    }

    void chosenPathIsCleaned_data() {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("row");
        QTest::addRow("root") << "/"
                              << "/";
        QTest::addRow("pair inside") << "/srv//photos"
                                     << "/srv/photos";
        QTest::addRow("three inside, one pass") << "/srv///photos"
                                                << "/srv//photos";
        QTest::addRow("three leading") << "///srv/photos"
                                       << "/srv/photos";
    }
    void chosenPathIsCleaned() {
        QFETCH(QString, chosen);
        QFETCH(QString, row);
        fixture_.dialogs.queueFolder(chosen);
        addFolder(*form_);
        QCOMPARE(rows(*form_), QStringList{row});
    }

    void pickerOpensAtLastFolderDot_data() {
        QTest::addColumn<QString>("stored");
        QTest::addRow("absent") << QString();
        QTest::addRow("a folder") << QStringLiteral("/srv/photos");
    }
    void pickerOpensAtLastFolderDot() {
        QFETCH(QString, stored);
        SaveSetting(settingkey::LastFolderDot, stored);
        applicationValues().LastFolderDot = QStringLiteral("stale");
        addFolder(*form_);
        QCOMPARE(fixture_.dialogs.shown().size(), 1);
        QCOMPARE(fixture_.dialogs.shown().first().text, stored);
        QCOMPARE(applicationValues().LastFolderDot, stored);
        QCOMPARE(GetSetting(settingkey::LastFolderDot, QStringLiteral("none")), stored);
    }

    void deleteKeyRemovesTheSelectedRow() {
        setRows(*form_, {"/a", "/b", "/c"});
        select(*form_, 1);
        pressDelete(*form_);
        QCOMPARE(rows(*form_), (QStringList{"/a", "/c"}));
    }

    void doubleClickRemovesTheRow() {
        setRows(*form_, {"/a", "/b", "/c"});
        doubleClick(*form_, 2);
        QCOMPARE(rows(*form_), (QStringList{"/a", "/b"}));
    }

    void otherKeysRemoveNothing() {
        setRows(*form_, {"/a", "/b"});
        select(*form_, 0);
        pressDelete(*form_, Qt::Key_Backspace);
        pressDelete(*form_, Qt::Key_X);
        QCOMPARE(rows(*form_), (QStringList{"/a", "/b"}));
    }

    void nothingSelected() {
        setRows(*form_, {"/a", "/b"});
        form_->ListView1()->clearSelection();
        pressDelete(*form_);
        QCOMPARE(rows(*form_), (QStringList{"/a", "/b"}));
    }

    void emptyList() {
        pressDelete(*form_);
        QTest::mouseDClick(form_->ListView1()->viewport(), Qt::LeftButton);
        QCOMPARE(rows(*form_), QStringList{});
    }

    void refusedWhileBusy() {
        setRows(*form_, {"/a", "/b"});
        select(*form_, 0);
        form_->setMousePointer(pointer::Busy);
        pressDelete(*form_);
        doubleClick(*form_, 1);
        QCOMPARE(rows(*form_), (QStringList{"/a", "/b"}));
    }

    // Hovering "Stop" shows the hand in the middle of a search; the list still refuses.
    void refusedDuringASearchWithoutTheBusyPointer() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        setRows(*form_, {dir.path() + QStringLiteral("/missing"), dir.path()});
        form_->Text1()->setText(QStringLiteral("zebra"));
        fixture_.dialogs.onShow = [this](const ScriptedDialogs::Shown& box) {
            if (box.style != boxstyle::Exclamation)
                return;
            form_->setMousePointer(pointer::Hand);
            select(*form_, 1);
            pressDelete(*form_);
            doubleClick(*form_, 0);
        };
        QTest::mouseClick(form_->PushButton(1), Qt::LeftButton);
        QCOMPARE(rows(*form_).size(), 2);
        pressDelete(*form_);
        QCOMPARE(rows(*form_).size(), 1);
    }
};

QUILLMERE_TEST_MAIN(TestFolderList)
#include "test_folder_list.moc"
