#include "form_fixture.h"
#include "results/results_model.h"
#include "support/test_main.h"

#include <QPushButton>
#include <QTreeView>

#include <cstdio>

#include <sys/stat.h>

using namespace quillmere;

namespace {

QByteArray makeFile(const QTemporaryDir& dir, const char* name) {
    const QByteArray path = QFile::encodeName(dir.path()) + '/' + name;
    if (FILE* file = std::fopen(path.constData(), "wb"))
        std::fclose(file);
    return path;
}

bool exists(const QByteArray& path) {
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0;
}

} // namespace

// The two file buttons reach their commands with the window's rows, dialogs and pointer.
class TestFileCommandButtons : public QObject {
    Q_OBJECT
private slots:
    void trashAndMoveButtonsActOnTheTickedRows() {
        FormFixture fixture;
        auto form = fixture.make();
        QTemporaryDir files;
        QTemporaryDir target;
        const QByteArray trashed = makeFile(files, "trashed.txt");
        const QByteArray moved = makeFile(files, "moved.txt");
        form->results().appendRow(trashed, QStringLiteral("[Name] trashed.txt"));
        form->results().appendRow(moved, QStringLiteral("[Name] moved.txt"));
        form->results().setChecked(0, true);

        fixture.dialogs.queueAnswer(BoxAnswer::Yes);
        form->PushButton(10)->click();
        QVERIFY(!exists(trashed));
        QCOMPARE(form->results().rowCount(), 1);

        form->results().setChecked(0, true);
        fixture.dialogs.queueFolder(target.path());
        form->PushButton(8)->click();
        QVERIFY(!exists(moved));
        QVERIFY(exists(QFile::encodeName(target.path()) + "/moved.txt"));
        QCOMPARE(form->ListView2()->model()->rowCount(), 0);
        QCOMPARE(form->MousePointer(), 0);
        QCOMPARE(fixture.dialogs.shown().size(), 2); // the question and the picker
    }
};

QUILLMERE_TEST_MAIN(TestFileCommandButtons)
#include "test_file_command_buttons.moc"
