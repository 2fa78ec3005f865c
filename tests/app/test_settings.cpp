#include "app/application_values.h"
#include "app/failure_report.h"
#include "app/settings.h"
#include "support/test_main.h"

#include <QSettings>
#include <QtTest>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::test;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void absentKeyGivesTheDefault();
    void roundTrip_data();
    void roundTrip();
    void writesAtOnceUnderVantrelQuillmere();
    void keysAreSeparate();
    void unwritableStoreIsAFailure();
    void applicationValuesStartEmptyAndAreShared();
};

void TestSettings::absentKeyGivesTheDefault() {
    QCOMPARE(GetSetting(QStringLiteral("NeverWritten"), QStringLiteral("fallback")),
             QStringLiteral("fallback"));
    QCOMPARE(GetSetting(QStringLiteral("NeverWritten"), QString()), QString());
}

void TestSettings::roundTrip_data() {
    QTest::addColumn<QString>("value");
    QTest::addRow("plain") << QStringLiteral("Kodak");
    QTest::addRow("blanks at both ends") << QStringLiteral("  Kodak EasyShare   ");
    QTest::addRow("empty") << QString();
    QTest::addRow("non-ASCII") << QStringLiteral("Grüße, 東京 😀");
    QTest::addRow("looks like a list") << QStringLiteral("a, b, c");
    QTest::addRow("looks like a variant") << QStringLiteral("@Variant(abc)");
    QTest::addRow("quotes and backslashes") << QStringLiteral("\"C:\\\\x\\\" ; # =");
    QTest::addRow("control characters") << QStringLiteral("tab\there\nnew\rline");
    QTest::addRow("long") << QString(40000, QLatin1Char('q'));
}

void TestSettings::roundTrip() {
    QFETCH(QString, value);
    SaveSetting(settingkey::Text1, QStringLiteral("something else first"));
    SaveSetting(settingkey::Text1, value);
    QCOMPARE(GetSetting(settingkey::Text1, QStringLiteral("default")), value);
}

void TestSettings::writesAtOnceUnderVantrelQuillmere() {
    SaveSetting(settingkey::LastFolder, QStringLiteral("/srv/photos"));
    const QString file =
        qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Vantrel/Quillmere.conf");
    QVERIFY2(QFile::exists(file), qPrintable(file));
    QSettings reader(file, QSettings::IniFormat);
    QCOMPARE(reader.value(QStringLiteral("LastFolder")).toString(), QStringLiteral("/srv/photos"));
}

void TestSettings::keysAreSeparate() {
    SaveSetting(settingkey::LastFolder, QStringLiteral("one"));
    SaveSetting(settingkey::LastFolderDot, QStringLiteral("two"));
    QCOMPARE(GetSetting(settingkey::LastFolder, {}), QStringLiteral("one"));
    QCOMPARE(GetSetting(settingkey::LastFolderDot, {}), QStringLiteral("two"));
}

void TestSettings::unwritableStoreIsAFailure() {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Vantrel");
    QDir().mkpath(folder);
    const QString file = folder + QStringLiteral("/Quillmere.conf");
    QFile::remove(file);
    QVERIFY(QDir().mkdir(file)); // a folder where the file should go
    bool failed = false;
    try {
        SaveSetting(settingkey::Text1, QStringLiteral("x"));
    } catch (const Failure& f) {
        failed = true;
        QVERIFY(f.description().contains(file));
    }
    QDir(file).removeRecursively();
    QVERIFY(failed);
}

void TestSettings::applicationValuesStartEmptyAndAreShared() {
    ApplicationValues& values = applicationValues();
    QVERIFY(values.LastFolder.isEmpty());
    QVERIFY(values.LastFolderDot.isEmpty());
    values.LastFolder = QStringLiteral("/x");
    QCOMPARE(applicationValues().LastFolder, QStringLiteral("/x"));
    values = {};
}

QUILLMERE_CORE_TEST_MAIN(TestSettings)
#include "test_settings.moc"
