#include "app/application_values.h"
#include "app/failure_report.h"
#include "app/settings.h"
#include "support/test_main.h"

#include <QSettings>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::test;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void absentKeyGivesTheDefault();
    void roundTrip_data();
    void roundTrip();
    void writesAtOnceUnderVantrelQuillmere();
    void keysAreSeparate();
    void unwritableStoreIsAFailure();
    void storeThatIsNoFile_data();
    void storeThatIsNoFile();
    void lockThatIsNoFile_data();
    void lockThatIsNoFile();
    void storeLargerThanAnyWritten();
    void applicationValuesStartEmptyAndAreShared();
};

void TestSettings::initTestCase() {
    // QSettings reads the system-wide files too; these are the tests' own.
    qputenv("XDG_CONFIG_DIRS", qgetenv("XDG_CONFIG_HOME") + "/system");
}

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

// A FIFO where a store file should be, or a link to one, is neither read (it would block for
// good) nor written through: reads give the default, writes fail naming it. A link to a file is
// followed and stays a link. (No link to a device here: a failing run as root would replace it.)
void TestSettings::storeThatIsNoFile_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addRow("FIFO as the store") << QStringLiteral("Vantrel/Quillmere.conf") << "fifo";
    QTest::addRow("FIFO as the organisation's store") << QStringLiteral("Vantrel.conf") << "fifo";
    QTest::addRow("FIFO as the system-wide store")
        << QStringLiteral("system/Vantrel/Quillmere.conf") << "fifo";
    QTest::addRow("FIFO as the organisation's system-wide store")
        << QStringLiteral("system/Vantrel.conf") << "fifo";
    QTest::addRow("link to a FIFO") << QStringLiteral("Vantrel/Quillmere.conf") << "link to fifo";
    QTest::addRow("link to a file") << QStringLiteral("Vantrel/Quillmere.conf") << "link to file";
}

void TestSettings::storeThatIsNoFile() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString file = config + u'/' + name;
    const QString elsewhere = config + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(config + QStringLiteral("/Vantrel")));
    QVERIFY(QDir().mkpath(QFileInfo(file).path()));
    QFile::remove(config + QStringLiteral("/Vantrel/Quillmere.conf"));
    QFile::remove(file);
    QFile::remove(elsewhere);
    const auto fifoAt = [](const QString& path) {
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    };
    if (kind == QLatin1String("fifo")) {
        QVERIFY(fifoAt(file));
    } else if (kind == QLatin1String("link to fifo")) {
        QVERIFY(fifoAt(elsewhere));
        QVERIFY(QFile::link(elsewhere, file));
    } else {
        QFile target(elsewhere);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write("[General]\nText1=kept\nOther=also kept\n");
        target.close();
        QVERIFY(QFile::link(elsewhere, file));
    }
    const bool usable = kind == QLatin1String("link to file");
    QCOMPARE(GetSetting(settingkey::Text1, QStringLiteral("default")),
             usable ? QStringLiteral("kept") : QStringLiteral("default"));
    QString failure;
    try {
        SaveSetting(settingkey::Text1, QStringLiteral("new"));
    } catch (const Failure& f) {
        failure = f.description();
    }
    const QFileInfo info(file);
    if (usable) {
        QCOMPARE(failure, QString());
        QVERIFY(info.isSymLink());
        QSettings reader(elsewhere, QSettings::IniFormat);
        QCOMPARE(reader.value(QStringLiteral("Text1")).toString(), QStringLiteral("new"));
        QCOMPARE(reader.value(QStringLiteral("Other")).toString(), QStringLiteral("also kept"));
    } else {
        QCOMPARE(failure,
                 QStringLiteral("The settings could not be written: %1 is not a file").arg(file));
        QVERIFY(!info.isFile());
    }
    QFile::remove(file);
    QFile::remove(elsewhere);
}

// A save takes QSettings' lock, waiting as long as it takes, and reads a lock it finds: a FIFO
// there, or a folder or a dangling link that never goes stale, held every save (each keystroke in
// the phrase box) for good, and so did a FIFO guarding the removal of a stale lock. Such a lock
// fails the save at once, naming it, and is left as it was; reading takes no lock.
void TestSettings::lockThatIsNoFile_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addRow("FIFO as the lock") << QStringLiteral("Quillmere.conf.lock") << "fifo";
    QTest::addRow("folder as the lock") << QStringLiteral("Quillmere.conf.lock") << "folder";
    QTest::addRow("dangling link as the lock") << QStringLiteral("Quillmere.conf.lock") << "link";
    QTest::addRow("FIFO guarding a stale lock")
        << QStringLiteral("Quillmere.conf.lock.rmlock") << "fifo";
}

void TestSettings::lockThatIsNoFile() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Vantrel");
    const QString store = folder + QStringLiteral("/Quillmere.conf");
    const QString lock = store + QStringLiteral(".lock");
    const QString entry = folder + u'/' + name;
    const QByteArray path = QFile::encodeName(entry);
    QVERIFY(QDir().mkpath(folder));
    QFile::remove(store);
    QFile file(store);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nText1=kept\n");
    file.close();
    if (entry != lock) {
        // Left by a process that is gone: the lock is stale, and its removal is guarded.
        QFile stale(lock);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("2147483646\nquillmere\n\n");
        stale.close();
    }
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(entry));
    else
        QVERIFY(QFile::link(folder + QStringLiteral("/nowhere"), entry));
    struct stat before {};
    QCOMPARE(::lstat(path.constData(), &before), 0);

    // Should the save wait, this lets it go on, and the test fails instead of hanging: a reader
    // waiting for a writer is let in by one, and a lock that is gone can be taken.
    std::atomic<bool> done = false;
    std::atomic<bool> rescued = false;
    std::thread watchdog([&] {
        for (int i = 0; i < 100 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (done)
            return;
        rescued = true;
        ::close(::open(path.constData(), O_WRONLY | O_NONBLOCK));
        ::remove(path.constData());
    });
    QString failure;
    try {
        SaveSetting(settingkey::Text1, QStringLiteral("new"));
    } catch (const Failure& f) {
        failure = f.description();
    }
    done = true;
    watchdog.join();
    QVERIFY2(!rescued, "the save waited for the lock");
    QCOMPARE(failure,
             QStringLiteral("The settings could not be written: %1 is not a file").arg(entry));
    QCOMPARE(GetSetting(settingkey::Text1, QStringLiteral("default")), QStringLiteral("kept"));
    struct stat after {};
    QCOMPARE(::lstat(path.constData(), &after), 0);
    QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    QVERIFY(::remove(path.constData()) == 0);
    QFile::remove(lock);
    QFile::remove(store);
}

// QSettings reads its files whole at every use, at start-up and at each keystroke in the phrase
// box: a file of gigabytes held the window for a minute a key. One larger than the program ever
// writes is not read, and a save fails naming it and leaves it as it was.
void TestSettings::storeLargerThanAnyWritten() {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Vantrel");
    const QString store = folder + QStringLiteral("/Quillmere.conf");
    QVERIFY(QDir().mkpath(folder));
    QFile file(store);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[General]\nText1=kept\n; " + QByteArray(1 << 20, 'x') + '\n');
    file.close();
    const qint64 size = QFileInfo(store).size();
    QCOMPARE(GetSetting(settingkey::Text1, QStringLiteral("default")), QStringLiteral("default"));
    QString failure;
    try {
        SaveSetting(settingkey::Text1, QStringLiteral("new"));
    } catch (const Failure& f) {
        failure = f.description();
    }
    QCOMPARE(failure,
             QStringLiteral("The settings could not be written: %1 is too large").arg(store));
    QCOMPARE(QFileInfo(store).size(), size);
    QVERIFY(QFile::remove(store));
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
