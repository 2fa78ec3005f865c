#include "app/application_values.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "fake_folder_views.h"
#include "folders/folder_list.h"
#include "support/scripted_dialogs.h"
#include "support/test_main.h"

#include <QtTest>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::test;
using namespace quillmere::folders;

class TestFolderList : public QObject {
    Q_OBJECT

    ScriptedDialogs dialogs_;
    FakeFolderListView view_;

    void addFolder() { addFolderToSearch(view_, dialogs_); }

private slots:
    void init() {
        dialogs_.clear();
        view_ = FakeFolderListView{};
        SaveSetting(settingkey::LastFolderDot, QString());
    }

    void cancelChangesNothing() {
        view_.rows = {"/kept"};
        view_.pointer = pointer::Hand;
        addFolder();
        QCOMPARE(view_.rows, QStringList{"/kept"});
        QCOMPARE(view_.pointer, pointer::Hand);
        QCOMPARE(dialogs_.shown().size(), 1);
        QCOMPARE(dialogs_.shown().first().title, QStringLiteral("Please select folder:"));
    }

    void sameFolderTwiceGivesTwoRows() {
        dialogs_.queueFolder(QStringLiteral("/srv/photos"));
        dialogs_.queueFolder(QStringLiteral("/srv/photos"));
        view_.pointer = pointer::Hand;
        addFolder();
        addFolder();
        QCOMPARE(view_.rows, (QStringList{"/srv/photos", "/srv/photos"}));
        QCOMPARE(view_.pointer, pointer::Default);
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
        dialogs_.queueFolder(chosen);
        addFolder();
        QCOMPARE(view_.rows, QStringList{row});
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
        addFolder();
        QCOMPARE(dialogs_.shown().size(), 1);
        QCOMPARE(dialogs_.shown().first().text, stored);
        QCOMPARE(applicationValues().LastFolderDot, stored);
        QCOMPARE(GetSetting(settingkey::LastFolderDot, QStringLiteral("none")), stored);
    }

    // Each case: the rows, the selected row, the pointer, whether a search runs, and the rows
    // left after Delete and after a double-click.
    void removal_data() {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("pointerValue");
        QTest::addColumn<bool>("searching");
        QTest::addColumn<QStringList>("left");
        const QStringList abc = {"/a", "/b", "/c"};
        QTest::addRow("selected row") << abc << 1 << 0 << false << QStringList{"/a", "/c"};
        QTest::addRow("last row") << abc << 2 << 0 << false << QStringList{"/a", "/b"};
        QTest::addRow("nothing selected") << abc << -1 << 0 << false << abc;
        QTest::addRow("empty list") << QStringList{} << -1 << 0 << false << QStringList{};
        QTest::addRow("busy pointer") << abc << 0 << pointer::Busy << false << abc;
        // Hovering "Stop" shows the hand in the middle of a search; the list still refuses.
        QTest::addRow("search without busy pointer") << abc << 0 << pointer::Hand << true << abc;
    }
    void removal() {
        QFETCH(QStringList, rows);
        QFETCH(int, current);
        QFETCH(int, pointerValue);
        QFETCH(bool, searching);
        QFETCH(QStringList, left);
        for (const bool byKey : {true, false}) {
            view_.rows = rows;
            view_.current = current;
            view_.pointer = pointerValue;
            view_.searching = searching;
            if (byKey)
                QVERIFY(folderListKeyDown(view_, Qt::Key_Delete));
            else
                removeSelectedFolderRow(view_);
            QCOMPARE(view_.rows, left);
            QCOMPARE(view_.pointer, pointerValue);
        }
    }

    void otherKeysRemoveNothing() {
        view_.rows = {"/a", "/b"};
        view_.current = 0;
        for (const int key : {int(Qt::Key_Backspace), int(Qt::Key_X), int(Qt::Key_Period)})
            QVERIFY(!folderListKeyDown(view_, key));
        QCOMPARE(view_.rows, (QStringList{"/a", "/b"}));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestFolderList)
#include "test_folder_list.moc"
