#include "form_fixture.h"
#include "results/results_model.h"
#include "support/test_main.h"

#include <QPushButton>

using namespace quillmere;
using namespace quillmere::window;
using namespace quillmere::results;
using namespace quillmere::test;

// The two file buttons reach their commands with the window's rows, dialogs and pointer.
class TestFileCommandButtons : public QObject {
    Q_OBJECT
private slots:
    void trashAndMoveButtonsActOnTheTickedRows() {
        FormFixture fixture;
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

QUILLMERE_TEST_MAIN(TestFileCommandButtons)
#include "test_file_command_buttons.moc"
