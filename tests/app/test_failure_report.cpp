#include "app/failure_report.h"
#include "app/guard.h"
#include "support/scripted_dialogs.h"
#include "support/test_main.h"

#include <QtTest>

#include <stdexcept>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::test;

class TestFailureReport : public QObject {
    Q_OBJECT
private slots:
    void composesTheMessage_data();
    void composesTheMessage();
    void everyLocationTextEndsInOneBlank();
    void describesEveryKindOfException();
    void carriesOnAfterAFailingStep();
    void reportsOncePerFailingPassOfALoop();
    void aFailingTestEntersItsBranch();
    void anUnlabelledStepReportsTheLabelThatRanLast();
    void moveCommandNamesTheRow();
    void aBoxThatCannotBeShownDoesNotEndTheHandler();
};

void TestFailureReport::composesTheMessage_data() {
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("label");
    QTest::addColumn<bool>("hasFile");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expected");
    const QString tail = QStringLiteral("\r\rPlease email screenshot of this message to "
                                        "support@vantrel.example");
    QTest::addRow("clear results")
        << QStringLiteral("Overflow") << 100 << false << QString()
        << QStringLiteral(
               "Overflow\r\nin Quillmere2021/08/31.Form1.PushButton6_Click at line 100") +
               tail;
    QTest::addRow("empty description begins with the line break")
        << QString() << 140 << false << QString()
        << QStringLiteral("\r\nin Quillmere2021/08/31.Form1.PushButton6_Click at line 140") + tail;
    QTest::addRow("line breaks in the description are kept")
        << QStringLiteral("a\rb\nc") << 102 << false << QString()
        << QStringLiteral("a\rb\nc\r\nin Quillmere2021/08/31.Form1.PushButton6_Click at line 102") +
               tail;
    QTest::addRow("move command names the file")
        << QStringLiteral("Permission denied") << 126 << true << QStringLiteral("/tmp/a b.jpg")
        << QStringLiteral("Permission denied\r\nin Quillmere2021/08/31.Form1.PushButton6_Click "
                          "at line 126") +
               tail + QStringLiteral("\r\rFile: /tmp/a b.jpg");
    QTest::addRow("move command before the first row")
        << QStringLiteral("x") << 106 << true << QString()
        << QStringLiteral("x\r\nin Quillmere2021/08/31.Form1.PushButton6_Click at line 106") +
               tail + QStringLiteral("\r\rFile: ");
}

void TestFailureReport::composesTheMessage() {
    QFETCH(QString, description);
    QFETCH(int, label);
    QFETCH(bool, hasFile);
    QFETCH(QString, file);
    QFETCH(QString, expected);
    const std::optional<QString> fileText = hasFile ? std::optional<QString>(file) : std::nullopt;
    QCOMPARE(composeFailureMessage(description, location::PushButton6Click, label, fileText),
             expected);
}

void TestFailureReport::everyLocationTextEndsInOneBlank() {
    const QStringList texts = {location::FormLoad,          location::PushButton1Click,
                               location::PushButton2Click,  location::PushButton3Click,
                               location::PushButton5Click,  location::PushButton6Click,
                               location::PushButton8Click,  location::PushButton9Click,
                               location::PushButton10Click, location::PushButton11Click,
                               location::PushButton12Click, location::PushButton14Click,
                               location::PushButton17Click, location::SaveListviewProperlySpaced};
    QCOMPARE(QSet<QString>(texts.begin(), texts.end()).size(), texts.size());
    for (const QString& text : texts) {
        QVERIFY2(text.startsWith(QStringLiteral("in Quillmere2021/08/31.")), qPrintable(text));
        QVERIFY2(text.endsWith(QLatin1Char(' ')) && !text.endsWith(QStringLiteral("  ")),
                 qPrintable(text));
    }
}

void TestFailureReport::describesEveryKindOfException() {
    QCOMPARE(describeException(std::make_exception_ptr(Failure(QStringLiteral("Grüße")))),
             QStringLiteral("Grüße"));
    QCOMPARE(describeException(std::make_exception_ptr(std::runtime_error("disk full"))),
             QStringLiteral("disk full"));
    QVERIFY(!describeException(std::make_exception_ptr(42)).isEmpty());
}

void TestFailureReport::carriesOnAfterAFailingStep() {
    ScriptedDialogs dialogs;
    QStringList ran;
    Guard g(dialogs, location::PushButton3Click);
    g.step(100, [&] { ran << "100"; });
    g.step(102, [&] {
        ran << "102";
        throw std::runtime_error("No such file or directory");
        ran << "rest of 102";
    });
    g.step(104, [&] { ran << "104"; });
    QCOMPARE(ran, QStringList({"100", "102", "104"}));
    QCOMPARE(g.failureCount(), 1);
    QCOMPARE(dialogs.shown().size(), 1);
    const auto box = dialogs.shown().first();
    QCOMPARE(box.style, BoxStyle::Exclamation);
    QCOMPARE(box.title, QStringLiteral("Application Error"));
    QCOMPARE(box.text, composeFailureMessage(QStringLiteral("No such file or directory"),
                                             location::PushButton3Click, 102));
}

void TestFailureReport::reportsOncePerFailingPassOfALoop() {
    ScriptedDialogs dialogs;
    Guard g(dialogs, location::PushButton1Click);
    int passes = 0;
    for (int row = 1; row <= 5; ++row) {
        g.step(120, [&] { ++passes; });
        g.step(122, [&] {
            if (row % 2)
                throw Failure(QStringLiteral("row %1").arg(row));
        });
    }
    QCOMPARE(passes, 5);
    QStringList texts;
    for (const auto& box : dialogs.shown())
        texts << box.text.section(QStringLiteral("\r\n"), 0, 0);
    QCOMPARE(texts, QStringList({"row 1", "row 3", "row 5"}));
    for (const auto& box : dialogs.shown())
        QVERIFY(box.text.contains(QStringLiteral("PushButton1_Click at line 122\r\r")));
}

void TestFailureReport::aFailingTestEntersItsBranch() {
    ScriptedDialogs dialogs;
    Guard g(dialogs, location::FormLoad);
    QVERIFY(!g.test(106, [] { return false; }));
    QVERIFY(g.test(106, [] { return true; }));
    QCOMPARE(dialogs.shown().size(), 0);
    QVERIFY(g.test(106, []() -> bool { throw std::runtime_error("cannot tell"); }));
    QCOMPARE(dialogs.shown().size(), 1);
    QVERIFY(dialogs.shown().first().text.contains(QStringLiteral("at line 106")));
}

// As "Start Finding" ends: after the search the last labelled step is 158, after "No folders
// added." it is 164; an unlabelled step that fails names that one, whether it passed or failed.
void TestFailureReport::anUnlabelledStepReportsTheLabelThatRanLast() {
    ScriptedDialogs dialogs;
    QStringList lines;
    for (const bool folders : {true, false}) {
        Guard g(dialogs, location::PushButton1Click);
        if (g.test(118, [&] { return !folders; })) {
            g.step(162, [] {});
            g.step(164, [] { throw Failure(QStringLiteral("caption")); });
        } else {
            g.step(120, [] {});
            g.step(158, [] {});
        }
        g.unlabelledStep([] { throw Failure(QStringLiteral("flag")); });
        g.step(168, [] {});
    }
    for (const auto& box : dialogs.shown())
        lines << box.text;
    const auto failure = [](const char* description, int label) {
        return composeFailureMessage(QString::fromLatin1(description), location::PushButton1Click,
                                     label);
    };
    QCOMPARE(lines,
             (QStringList{failure("flag", 158), failure("caption", 164), failure("flag", 164)}));
}

void TestFailureReport::moveCommandNamesTheRow() {
    ScriptedDialogs dialogs;
    Guard g(dialogs, location::PushButton8Click);
    g.setFileText(QString());
    g.step(106, [] { throw Failure(QStringLiteral("first")); });
    g.setFileText(QStringLiteral("/data/photo.jpg"));
    g.step(126, [] { throw Failure(QStringLiteral("second")); });
    QCOMPARE(dialogs.shown().size(), 2);
    QVERIFY(dialogs.shown().at(0).text.endsWith(QStringLiteral("\r\rFile: ")));
    QVERIFY(dialogs.shown().at(1).text.endsWith(QStringLiteral("\r\rFile: /data/photo.jpg")));
}

void TestFailureReport::aBoxThatCannotBeShownDoesNotEndTheHandler() {
    ScriptedDialogs dialogs;
    dialogs.onShow = [](const ScriptedDialogs::Shown&) { throw std::runtime_error("no display"); };
    Guard g(dialogs, location::PushButton6Click);
    bool nextRan = false;
    g.step(100, [] { throw Failure(QStringLiteral("x")); });
    g.step(102, [&] { nextRan = true; });
    QVERIFY(nextRan);
    QCOMPARE(g.failureCount(), 1);
}

QUILLMERE_CORE_TEST_MAIN(TestFailureReport)
#include "test_failure_report.moc"
