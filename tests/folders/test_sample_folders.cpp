#include "app/form1.h"
#include "app/settings.h"
#include "form_fixture.h"
#include "support/test_main.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace quillmere;

namespace {

const QString kQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?");

QStringList rows(const Form1& form) {
    QStringList texts;
    for (int i = 0; i < form.ListView1()->topLevelItemCount(); ++i)
        texts << form.ListView1()->topLevelItem(i)->text(0);
    return texts;
}

} // namespace

class TestSampleFolders : public QObject {
    Q_OBJECT

    FormFixture fixture_;
    std::unique_ptr<Form1> form_;
    QString samples_;

private slots:
    void init() {
        fixture_.dialogs.clear();
        fixture_.opened.clear();
        form_ = fixture_.make();
        samples_ = fixture_.programFolder.path() + QStringLiteral("/Samples/");
    }
    void cleanup() { form_.reset(); }

    void noOpensNothingAndSetsThePhrase() {
        form_->ListView1()->addTopLevelItem(new QTreeWidgetItem(QStringList{"/first"}));
        fixture_.dialogs.queueAnswer(BoxAnswer::No);
        QTest::mouseClick(form_->PushButton(14), Qt::LeftButton);
        QCOMPARE(rows(*form_), (QStringList{"/first", samples_}));
        QCOMPARE(fixture_.dialogs.messages().size(), 1);
        const ScriptedDialogs::Shown box = fixture_.dialogs.messages().first();
        QCOMPARE(box.text, kQuestion);
        QCOMPARE(box.style, 4);
        QCOMPARE(box.title, effectiveBoxTitle({}));
        QCOMPARE(fixture_.opened, QList<QUrl>{});
        QCOMPARE(form_->Text1()->text(), QStringLiteral("Kodak"));
        QCOMPARE(GetSetting(settingkey::Text1, QString()), QStringLiteral("Kodak"));
    }

    void yesOpensTheFolder() {
        fixture_.dialogs.queueAnswer(BoxAnswer::Yes);
        QTest::mouseClick(form_->PushButton(14), Qt::LeftButton);
        QCOMPARE(fixture_.opened, QList<QUrl>{QUrl::fromLocalFile(samples_)});
        QCOMPARE(form_->Text1()->text(), QStringLiteral("Kodak"));
    }

    // Not cleaned and not checked: the row keeps its trailing separator, twice if pressed twice.
    void pressedTwice() {
        QTest::mouseClick(form_->PushButton(14), Qt::LeftButton);
        QTest::mouseClick(form_->PushButton(14), Qt::LeftButton);
        QCOMPARE(rows(*form_), (QStringList{samples_, samples_}));
        QVERIFY(samples_.endsWith(QStringLiteral("/Samples/")));
    }
};

QUILLMERE_TEST_MAIN(TestSampleFolders)
#include "test_sample_folders.moc"
