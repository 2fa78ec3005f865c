#include "app/event_pump.h"
#include "app/failure_report.h"
#include "app/mouse_pointer.h"
#include "app/settings.h"
#include "form_fixture.h"
#include "support/test_files.h"
#include "support/test_main.h"
#include "window/form1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::test;

namespace {

QStringList failureLines(const ScriptedDialogs& dialogs) {
    QStringList lines;
    for (const auto& box : dialogs.messages()) {
        if (box.title == kFailureTitle)
            lines << box.text.section(QStringLiteral("\r\n"), 1).section(QLatin1Char('\r'), 0, 0);
    }
    return lines;
}

const QString kSkin = QStringLiteral("x/o.cjs");
const QString kCursor = QStringLiteral("HAND-M.CUR");

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void init() {
        QFile::remove(qEnvironmentVariable("XDG_CONFIG_HOME") + "/Vantrel/Quillmere.conf");
    }

    void withoutSkinKeepsTheDesignLook();
    void skinRecoloursAndAppliesTheStyleSheet();
    void skinThatIsNotARegularFileIsAbsent();
    void unreadableSkinIsReportedAtStep100();
    void handCursor_data();
    void handCursor();
    void homePageOpensOnlyOnSeven_data();
    void homePageOpensOnlyOnSeven();
    void helpButtonsShowTheContactPage_data();
    void helpButtonsShowTheContactPage();
    void phraseIsStoredAtEveryChangeAndRestored_data();
    void phraseIsStoredAtEveryChangeAndRestored();
    void closingEndsTheProcessWithoutWriting();
    void closeReachesARunningCommandAtItsNextPump();
};

void TestStartup::withoutSkinKeepsTheDesignLook() {
    FormFixture fixture;
    auto form = fixture.make();
    QCOMPARE(form->palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(form->styleSheet().isEmpty());
    QVERIFY(!form->findChild<QGroupBox*>(QStringLiteral("Frame1"))->autoFillBackground());
    QVERIFY(fixture.dialogs.shown().isEmpty());
}

void TestStartup::skinRecoloursAndAppliesTheStyleSheet() {
    FormFixture fixture;
    const QByteArray sheet = "QPushButton { color: #123456; }";
    QVERIFY(QDir().mkpath(fixture.pathInProgramFolder(QStringLiteral("x"))));
    QVERIFY(writeBytes(fixture.pathInProgramFolder(kSkin), sheet));
    auto form = fixture.make();
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    QVERIFY(buttonFace != QColor(Qt::white));
    QCOMPARE(form->palette().color(QPalette::Window), buttonFace);
    for (const char* name : {"Frame1", "Frame2", "Check4", "Check5"}) {
        auto* control = form->findChild<QWidget*>(QString::fromLatin1(name));
        QVERIFY2(control->autoFillBackground(), name);
        QCOMPARE(control->palette().color(QPalette::Window), buttonFace);
    }
    QVERIFY(!form->ListView1()->autoFillBackground() ||
            form->ListView1()->palette().color(QPalette::Window) != buttonFace);
    QCOMPARE(form->styleSheet(), QString::fromUtf8(sheet));
    QVERIFY(fixture.dialogs.shown().isEmpty());
}

void TestStartup::skinThatIsNotARegularFileIsAbsent() {
    for (const char* kind : {"folder", "fifo", "device"}) {
        FormFixture fixture;
        const QString path = fixture.pathInProgramFolder(kSkin);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        if (qstrcmp(kind, "folder") == 0)
            QVERIFY(QDir().mkpath(path));
        else if (qstrcmp(kind, "fifo") == 0)
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        else
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
        auto form = fixture.make();
        QCOMPARE(form->palette().color(QPalette::Window), QColor(Qt::white));
        QVERIFY2(fixture.dialogs.shown().isEmpty(), kind);
    }
}

void TestStartup::unreadableSkinIsReportedAtStep100() {
    FormFixture fixture;
    const QString path = fixture.pathInProgramFolder(kSkin);
    QVERIFY(QDir().mkpath(fixture.pathInProgramFolder(QStringLiteral("x"))));
    if (::geteuid() == 0) {
        // Permissions do not stop root; an oversized skin is refused the same way.
        QVERIFY(writeBytes(path, QByteArray((1 << 20) + 1, ' ')));
    } else {
        QVERIFY(writeBytes(path, "QWidget {}"));
        QFile::setPermissions(path, QFileDevice::Permissions());
    }
    auto form = fixture.make();
    QCOMPARE(failureLines(fixture.dialogs),
             QStringList({"in Quillmere2021/08/31.Form1.Form_Load at line 100"}));
    // Start-up went on: caption, columns and phrase are all there.
    QCOMPARE(form->windowTitle(), QStringLiteral("Quillmere"));
    QCOMPARE(form->folderListHeader(), QStringLiteral("Folder(s)"));
    QCOMPARE(form->ListView2()->model()->columnCount(), 2);
}

void TestStartup::handCursor_data() {
    QTest::addColumn<QString>("content"); // "shipped", "corrupt", "folder" or "none"
    QTest::addColumn<bool>("picture");
    QTest::addColumn<QStringList>("failures");
    QTest::addRow("none") << "none" << false << QStringList();
    QTest::addRow("shipped cursor") << "shipped" << true << QStringList();
    QTest::addRow("corrupt") << "corrupt" << false
                             << QStringList({"in Quillmere2021/08/31.Form1.Form_Load at line 108"});
    QTest::addRow("folder of that name")
        << "folder" << false << QStringList({"in Quillmere2021/08/31.Form1.Form_Load at line 108"});
    // Once a start-up that never ended: opening a FIFO waits for a writer.
    QTest::addRow("FIFO of that name")
        << "fifo" << false << QStringList({"in Quillmere2021/08/31.Form1.Form_Load at line 108"});
    QTest::addRow("link to a device")
        << "device" << false << QStringList({"in Quillmere2021/08/31.Form1.Form_Load at line 108"});
}

void TestStartup::handCursor() {
    QFETCH(QString, content);
    QFETCH(bool, picture);
    QFETCH(QStringList, failures);
    FormFixture fixture;
    const QString path = fixture.pathInProgramFolder(kCursor);
    if (content == QLatin1String("shipped"))
        QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_HAND_CURSOR_FILE), path));
    else if (content == QLatin1String("corrupt"))
        QVERIFY(writeBytes(path, QByteArray("\0\0\2\0\1\0garbage", 12)));
    else if (content == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path));
    else if (content == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    else if (content == QLatin1String("device"))
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    auto form = fixture.make();
    QCOMPARE(form->hasHandPicture(), picture);
    QCOMPARE(failureLines(fixture.dialogs), failures);
    QCOMPARE(form->ListView2()->model()->columnCount(), 2);

    form->setMousePointer(pointer::Hand);
    QCOMPARE(form->mousePointer(), pointer::Hand);
    QCOMPARE(form->cursor().shape(), picture ? Qt::BitmapCursor : Qt::ArrowCursor);
    if (picture)
        QCOMPARE(form->cursor().hotSpot(), QPoint(6, 1));
}

void TestStartup::homePageOpensOnlyOnSeven_data() {
    QTest::addColumn<int>("draw");
    QTest::addColumn<int>("opened");
    for (int draw : {1, 6, 7, 8, 70, 100})
        QTest::addRow("draw %d", draw) << draw << (draw == 7 ? 1 : 0);
}

void TestStartup::homePageOpensOnlyOnSeven() {
    QFETCH(int, draw);
    QFETCH(int, opened);
    FormFixture fixture;
    fixture.draw = draw;
    auto form = fixture.make();
    QCOMPARE(fixture.opened.size(), opened);
    if (opened)
        QCOMPARE(fixture.opened.first(), QUrl(QStringLiteral("https://vantrel.example/")));
    QVERIFY(fixture.dialogs.shown().isEmpty());
}

void TestStartup::helpButtonsShowTheContactPage_data() {
    QTest::addColumn<int>("button");
    QTest::addRow("beside the folder list") << 12;
    QTest::addRow("beside the results") << 9;
}

void TestStartup::helpButtonsShowTheContactPage() {
    QFETCH(int, button);
    FormFixture fixture;
    auto form = fixture.make();
    form->Text1()->setText(QStringLiteral("kept"));
    for (int press = 0; press < 3; ++press)
        QTest::mouseClick(form->pushButton(button), Qt::LeftButton);
    const auto boxes = fixture.dialogs.shown();
    QCOMPARE(boxes.size(), 3);
    for (const auto& box : boxes) {
        QCOMPARE(box.kind, ScriptedDialogs::Kind::Message);
        QCOMPARE(box.style, BoxStyle::OkOnly);
        QCOMPARE(box.title, QStringLiteral("Quillmere"));
        QCOMPARE(box.text, QStringLiteral("Questions? Please contact Team Vantrel at "
                                          "https://vantrel.example/contact"));
    }
    QVERIFY(fixture.opened.isEmpty());
    QCOMPARE(GetSetting(settingkey::Text1, {}), QStringLiteral("kept"));
    QCOMPARE(form->mousePointer(), 0);
}

void TestStartup::phraseIsStoredAtEveryChangeAndRestored_data() {
    QTest::addColumn<QString>("phrase");
    QTest::addRow("blanks at both ends") << "  Kodak  ";
    QTest::addRow("non-ASCII") << QStringLiteral("Ñandú 東京");
    QTest::addRow("empty") << "";
}

void TestStartup::phraseIsStoredAtEveryChangeAndRestored() {
    QFETCH(QString, phrase);
    {
        FormFixture fixture;
        auto form = fixture.make();
        QTest::keyClicks(form->Text1(), QStringLiteral("abc"));
        QCOMPARE(GetSetting(settingkey::Text1, {}), QStringLiteral("abc"));
        QTest::keyClick(form->Text1(), Qt::Key_Backspace);
        QCOMPARE(GetSetting(settingkey::Text1, {}), QStringLiteral("ab"));
        form->Text1()->setText(phrase);
        QCOMPARE(GetSetting(settingkey::Text1, QStringLiteral("absent")), phrase);
    }
    FormFixture next;
    auto form = next.make();
    QCOMPARE(form->Text1()->text(), phrase);
    QVERIFY(form->Check4()->isChecked());
    QVERIFY(form->Check5()->isChecked());
}

void TestStartup::closingEndsTheProcessWithoutWriting() {
    FormFixture fixture;
    auto form = fixture.make();
    form->show();
    form->Text1()->setText(QStringLiteral("typed"));
    const QString file = qEnvironmentVariable("XDG_CONFIG_HOME") + "/Vantrel/Quillmere.conf";
    const QDateTime written = QFileInfo(file).lastModified();
    QCOMPARE(fixture.endRequests, 0);
    QVERIFY(form->close());
    QCOMPARE(fixture.endRequests, 1);
    QCOMPARE(QFileInfo(file).lastModified(), written);
    QVERIFY(fixture.dialogs.shown().isEmpty());
}

void TestStartup::closeReachesARunningCommandAtItsNextPump() {
    FormFixture fixture;
    auto form = fixture.make();
    form->show();
    QMetaObject::invokeMethod(form.get(), &QWidget::close, Qt::QueuedConnection);
    int passesBeforeClose = -1;
    for (int pass = 0; pass < 3; ++pass) {
        if (fixture.endRequests == 0)
            passesBeforeClose = pass;
        // The first throttled pump of the process always runs.
        pass == 0 ? letWindowMessagesRun() : letWindowMessagesRunNow();
    }
    QCOMPARE(passesBeforeClose, 0);
    QCOMPARE(fixture.endRequests, 1);
}

QUILLMERE_TEST_MAIN(TestStartup)
#include "test_startup.moc"
