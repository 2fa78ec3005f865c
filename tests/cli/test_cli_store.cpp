#include "fixtures/sample_files.h"
#include "support/test_main.h"

#include <QProcess>

#include <exiv2/exiv2.hpp>

namespace fx = quillmere::fixtures;

namespace {

struct Outcome {
    int status = -1;
    QByteArray out;
    QByteArray err;
    qint64 pid = 0;
};

QProcessEnvironment environment(const QString& zone, const QString& locale) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TZ"), zone);
    env.insert(QStringLiteral("LC_ALL"), locale);
    env.insert(QStringLiteral("LANG"), locale);
    return env;
}

void start(QProcess& process, const QStringList& arguments, const QProcessEnvironment& env) {
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(QUILLMERE_CLI), QStringList{QStringLiteral("find")} + arguments);
}

Outcome finish(QProcess& process) {
    const qint64 pid = process.processId();
    if (!process.waitForFinished(120000))
        return {-2, {}, process.errorString().toUtf8(), pid};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError(), pid};
}

Outcome find(const QStringList& arguments,
             const QProcessEnvironment& env = environment(QStringLiteral("UTC"),
                                                          QStringLiteral("en_US.UTF-8"))) {
    QProcess process;
    start(process, arguments, env);
    return finish(process);
}

QByteArray sorted(const QByteArray& lines) {
    QList<QByteArray> list = lines.split('\n');
    std::sort(list.begin(), list.end());
    return list.join('\n');
}

} // namespace

class TestCliStore : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString tree_;
    QString storeFile_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        tree_ = dir_.filePath(QStringLiteral("tree"));
        storeFile_ = qEnvironmentVariable("XDG_CACHE_HOME") +
                     QStringLiteral("/Vantrel/Quillmere/details.sqlite");
        fx::Tags photo;
        photo.cameraMaker = QStringLiteral("Kodak");
        photo.taken = QDateTime(QDate(1987, 3, 4), QTime(5, 43, 21), Qt::UTC);
        for (int folder = 0; folder < 6; ++folder) {
            const QString sub = tree_ + QStringLiteral("/f%1").arg(folder);
            QDir().mkpath(sub);
            for (int i = 0; i < 8; ++i) {
                photo.title = QStringLiteral("Picture %1-%2").arg(folder).arg(i);
                const QString path =
                    sub + QStringLiteral("/p%1.%2").arg(i).arg(i % 2 ? "jpg" : "png");
                fx::write(i % 2 ? fx::Kind::Jpeg : fx::Kind::Png, path, photo);
                if (i % 2 == 0) {
                    // Only the PNG text is left, whose time has an offset: it shows in local time.
                    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
                    image->readMetadata();
                    image->clearExifData();
                    image->clearXmpData();
                    image->writeMetadata();
                }
            }
        }
    }

    void noCacheTouchesNoStore() {
        const Outcome plain = find({QStringLiteral("--no-cache"), QStringLiteral("--cache-stats"),
                                    QStringLiteral("Kodak"), tree_});
        QCOMPARE(plain.status, 0);
        QCOMPARE(plain.out.count('\n'), 24);
        QCOMPARE(plain.err, QByteArray("detail store: not used (--no-cache)\n"));
        QVERIFY(!QFileInfo::exists(QFileInfo(storeFile_).path()));
    }

    // Columns written in the display format look as a fresh read under every locale and zone.
    void valuesAreTheSameUnderEveryLocaleAndZone() {
        const QStringList arguments{QStringLiteral("87"), tree_};
        const QList<QProcessEnvironment> environments{
            environment(QStringLiteral("UTC"), QStringLiteral("en_US.UTF-8")),
            environment(QStringLiteral("Asia/Tokyo"), QStringLiteral("en_US.UTF-8")),
            environment(QStringLiteral("UTC"), QStringLiteral("de_DE.UTF-8")),
            environment(QStringLiteral("America/New_York"), QStringLiteral("de_DE.UTF-8")),
        };
        QSet<QByteArray> distinct;
        for (int round = 0; round < 2; ++round) {
            for (const QProcessEnvironment& env : environments) {
                const Outcome fresh =
                    find(QStringList{QStringLiteral("--no-cache")} + arguments, env);
                QVERIFY2(fresh.status == 0, fresh.err.constData());
                const Outcome stored = find(arguments, env);
                QVERIFY2(stored.status == 0, stored.err.constData());
                QCOMPARE(stored.out, fresh.out);
                QVERIFY(fresh.out.contains("Date taken"));
                distinct.insert(fresh.out);
            }
        }
        QCOMPARE(distinct.size(), environments.size()); // each really writes dates its own way
    }

    void cacheStatsTellTheHitRate() {
        QFile::remove(storeFile_);
        const QStringList arguments{QStringLiteral("--cache-stats"), QStringLiteral("Kodak"),
                                    tree_};
        const Outcome first = find(arguments);
        QCOMPARE(first.status, 0);
        QVERIFY2(first.err.startsWith("detail store: 48 entries, "), first.err.constData());
        QVERIFY2(first.err.endsWith(", hit rate 0.0% (0 of 48 files)\n"), first.err.constData());
        const Outcome second = find(arguments);
        QCOMPARE(second.out, first.out);
        QVERIFY2(second.err.endsWith(", hit rate 100.0% (48 of 48 files)\n"),
                 second.err.constData());
    }

    // Only reading in this process loads the readers' libraries. A search through helpers asks
    // the reader module for its version once, and remembers it; a later search that finds every
    // file in the store then loads none of them, and gives the same rows as one reading here.
    void onlyReadingHereLoadsTheReaders() {
        QFile::remove(storeFile_);
        QFile::remove(QFileInfo(storeFile_).path() + QStringLiteral("/readers-version"));
        QProcessEnvironment env = environment(QStringLiteral("UTC"), QStringLiteral("en_US.UTF-8"));
        env.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
        // The loader's lines of the program itself, not of a helper it started.
        const auto loadsReaders = [](const Outcome& run) {
            const QByteArray own = QByteArray::number(run.pid) + ":";
            for (const QByteArray& line : run.err.split('\n')) {
                if (line.trimmed().startsWith(own) &&
                    (line.contains("quillmere-readers.so") || line.contains("libexiv2")))
                    return true;
            }
            return false;
        };
        const QStringList arguments{QStringLiteral("--cache-stats"), QStringLiteral("Kodak"),
                                    tree_};
        const Outcome cold = find(arguments, env);
        QCOMPARE(cold.status, 0);
        QVERIFY(loadsReaders(cold));
        const Outcome warm = find(arguments, env);
        QCOMPARE(warm.status, 0);
        QVERIFY2(warm.err.contains(", hit rate 100.0% (48 of 48 files)\n"), warm.err.constData());
        QVERIFY(!loadsReaders(warm));
        const Outcome here = find({QStringLiteral("--in-process"), QStringLiteral("--no-cache"),
                                   QStringLiteral("Kodak"), tree_},
                                  env);
        QVERIFY(loadsReaders(here));
        QCOMPARE(warm.out.count('\n'), 24);
        QCOMPARE(here.out, warm.out);
        QCOMPARE(cold.out, warm.out);
    }

    void twoProcessesAtOnceBothFinish() {
        QFile::remove(storeFile_);
        const Outcome expected =
            find({QStringLiteral("--no-cache"), QStringLiteral("Kodak"), tree_});
        for (int round = 0; round < 2; ++round) {
            QProcess one, two;
            const auto env = environment(QStringLiteral("UTC"), QStringLiteral("en_US.UTF-8"));
            start(one, {QStringLiteral("Kodak"), tree_}, env);
            start(two, {QStringLiteral("Kodak"), tree_ + QStringLiteral("/f3"), tree_}, env);
            const Outcome a = finish(one);
            const Outcome b = finish(two);
            QCOMPARE(a.status, 0);
            QCOMPARE(b.status, 0);
            QCOMPARE(a.out.count('\n'), 24);
            QCOMPARE(a.out, expected.out);
            QCOMPARE(sorted(b.out), sorted(expected.out));
            QCOMPARE(a.err, QByteArray());
            QCOMPARE(b.err, QByteArray());
        }
    }
};

QUILLMERE_CORE_TEST_MAIN(TestCliStore)
#include "test_cli_store.moc"
