#include "details/mime_kinds.h"
#include "details/value_formats.h"
#include "search/detail_columns.h"
#include "search/detail_sources.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QDateTime>
#include <QLocale>
#include <QMimeDatabase>
#include <QScopeGuard>

#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using quillmere::search::DetailColumns;
using namespace quillmere::test;
namespace column = quillmere::details::column;

namespace {

QByteArray native(const QTemporaryDir& dir, const QByteArray& name) {
    return QFile::encodeName(dir.path()) + '/' + name;
}

} // namespace

class TestDetailColumns : public QObject {
    Q_OBJECT

    quillmere::search::DetailSources sources_;

private slots:
    void titlesAreTheFortyOneColumns() {
        const QStringList expected = {"Name",
                                      "Size",
                                      "Item type",
                                      "Date modified",
                                      "Date created",
                                      "Date accessed",
                                      "Attributes",
                                      "Group",
                                      "Link target",
                                      "Perceived type",
                                      "Owner",
                                      "Kind",
                                      "Date taken",
                                      "Contributing artists",
                                      "Album",
                                      "Year",
                                      "Genre",
                                      "Conductors",
                                      "Tags",
                                      "Rating",
                                      "Authors",
                                      "Title",
                                      "Subject",
                                      "Categories",
                                      "Comments",
                                      "Copyright",
                                      "#",
                                      "Length",
                                      "Bit rate",
                                      "Composers",
                                      "Camera model",
                                      "Dimensions",
                                      "Camera maker",
                                      "Company",
                                      "File description",
                                      "Program name",
                                      "Pages",
                                      "Lens model",
                                      "F-stop",
                                      "Exposure time",
                                      "ISO speed"};
        QStringList titles;
        for (int c = -1; c <= column::Count; ++c)
            titles.append(DetailColumns::title(c));
        QCOMPARE(titles, QStringList{QString()} + expected + QStringList{QString()});
    }

    void entryColumns_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("kind"); // what to make
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("itemType");
        QTest::addColumn<QString>("attributes");
        QTest::addColumn<QString>("linkTarget");
        QTest::addColumn<QString>("perceived");
        QTest::addColumn<QString>("kindColumn");

        QTest::addRow("text file") << QByteArray("notes.txt") << "file"
                                   << "3.4 KB"
                                   << "plain text document"
                                   << "-rw-r--r--" << QString() << "Text"
                                   << "Document";
        QTest::addRow("folder") << QByteArray("Holiday") << "folder" << QString() << "Folder"
                                << "drwxr-xr-x" << QString() << "Folder"
                                << "Folder";
        QTest::addRow("symlink") << QByteArray("shortcut.txt") << "symlink"
                                 << "3.4 KB"
                                 << "plain text document"
                                 << "lrwxrwxrwx"
                                 << "target.txt"
                                 << "Text"
                                 << "Link";
        QTest::addRow("dangling symlink")
            << QByteArray("gone") << "dangling" << QString() << "symbolic link"
            << "lrwxrwxrwx"
            << "nowhere"
            << "System"
            << "Link";
        QTest::addRow("fifo") << QByteArray("pipe.jpg") << "fifo" << QString() << "pipe"
                              << "prw-r--r--" << QString() << "System" << QString();
        QTest::addRow("newline in name") << QByteArray("two\nlines.txt") << "file"
                                         << "3.4 KB"
                                         << "plain text document"
                                         << "-rw-r--r--" << QString() << "Text"
                                         << "Document";
        QTest::addRow("invalid UTF-8 name") << QByteArray("caf\xe9.txt") << "file"
                                            << "3.4 KB"
                                            << "plain text document"
                                            << "-rw-r--r--" << QString() << "Text"
                                            << "Document";
        QTest::addRow("no extension, text inside") << QByteArray("notes") << "file"
                                                   << "3.4 KB"
                                                   << "plain text document"
                                                   << "-rw-r--r--" << QString() << "Text"
                                                   << "Document";
    }

    void entryColumns() {
        QFETCH(QByteArray, name);
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray path = native(dir, name);
        // QTemporaryDir cannot remove a name that is not valid UTF-8.
        const auto removeEntry = qScopeGuard([&path] {
            ::unlink(path.constData());
            ::rmdir(path.constData());
        });
        ::umask(022);
        const QByteArray text = QByteArray("some words\n").repeated(320).left(3482);
        if (kind == "file") {
            QVERIFY(writeBytes(path, text));
        } else if (kind == "folder") {
            QCOMPARE(::mkdir(path.constData(), 0755), 0);
        } else if (kind == "symlink") {
            QVERIFY(writeBytes(native(dir, "target.txt"), text));
            QCOMPARE(::symlink("target.txt", path.constData()), 0);
        } else if (kind == "dangling") {
            QCOMPARE(::symlink("nowhere", path.constData()), 0);
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(path.constData(), 0644), 0);
        }
        struct stat st {};
        QCOMPARE(::lstat(path.constData(), &st), 0);

        DetailColumns details(path, sources_);
        QVERIFY(details.exists());
        QCOMPARE(details.value(column::Name), QFile::decodeName(name));
        QTEST(details.value(column::Size), "size");
        QTEST(details.value(column::ItemType), "itemType");
        QTEST(details.value(column::Attributes), "attributes");
        QTEST(details.value(column::LinkTarget), "linkTarget");
        QTEST(details.value(column::PerceivedType), "perceived");
        QTEST(details.value(column::Kind), "kindColumn");
        const QDateTime modified = QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 +
                                                                  st.st_mtim.tv_nsec / 1000000);
        QCOMPARE(details.value(column::DateModified),
                 QLocale::system().toString(modified, QLocale::ShortFormat));
        QVERIFY(!details.value(column::DateAccessed).isEmpty());
        QVERIFY(!details.value(column::Owner).isEmpty());
        QVERIFY(!details.value(column::Group).isEmpty());
        if (::getuid() == 0)
            QCOMPARE(details.value(column::Owner), QStringLiteral("root"));
        // A FIFO is never opened, so reading everything must return at once with no details.
        for (int c = column::FirstEmbedded; c < column::Count; ++c)
            QCOMPARE(details.value(c), QString());
        QVERIFY(details.problems().isEmpty() || kind == "dangling");
    }

    void unknownOwnerShowsTheNumber() {
        if (::getuid() != 0)
            QSKIP("changing a file's owner needs root");
        QTemporaryDir dir;
        const QByteArray path = native(dir, "orphan.txt");
        QVERIFY(writeBytes(path, "x"));
        QCOMPARE(::chown(path.constData(), 54321, 54322), 0);
        DetailColumns details(path, sources_);
        QCOMPARE(details.value(column::Owner), QStringLiteral("54321"));
        QCOMPARE(details.value(column::Group), QStringLiteral("54322"));
    }

    void vanishedEntryKeepsOnlyItsName() {
        QTemporaryDir dir;
        const QByteArray path = native(dir, "brief.jpg");
        QVERIFY(writeBytes(path, "soon gone"));
        DetailColumns details(path, sources_);
        QCOMPARE(details.value(column::Name), QStringLiteral("brief.jpg"));
        QCOMPARE(::unlink(path.constData()), 0);
        QVERIFY(!details.exists());
        for (int c = 1; c < column::Count; ++c)
            QCOMPARE(details.value(c), QString());
        QCOMPARE(details.problems(),
                 QStringList{QStringLiteral("cannot read metadata: No such file or directory")});
    }

    void nameAloneTouchesNothing() {
        // No such folder: the name comes from the path alone and no problem is recorded.
        DetailColumns details("/nonexistent-quillmere/deeper/photo.jpg", sources_);
        QCOMPARE(details.value(column::Name), QStringLiteral("photo.jpg"));
        QVERIFY(details.problems().isEmpty());
        QVERIFY(!details.exists());
    }

    void unreadableFileSaysWhy() {
        if (::getuid() == 0)
            QSKIP("root reads every file");
        QTemporaryDir dir;
        const QByteArray path = native(dir, "secret");
        QVERIFY(writeBytes(path, "hidden"));
        QCOMPARE(::chmod(path.constData(), 0), 0);
        DetailColumns details(path, sources_);
        QCOMPARE(details.value(column::ItemType), QString());
        QCOMPARE(details.problems(),
                 QStringList{QStringLiteral("cannot read contents: Permission denied")});
    }

    void sizesAsAFileManagerShowsThem_data() {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::addRow("zero") << qint64(0) << "0 bytes";
        QTest::addRow("bytes") << qint64(512) << "512 bytes";
        QTest::addRow("kilobytes") << qint64(3482) << "3.4 KB";
        QTest::addRow("megabytes") << qint64(5 * 1024 * 1024 + 300 * 1024) << "5.3 MB";
        QTest::addRow("gigabytes") << qint64(3) * 1024 * 1024 * 1024 << "3.0 GB";
        // Rounding to tenths must not leave a size at 1,024.0 of one unit.
        QTest::addRow("largest shown in kilobytes") << qint64(1048524) << "1,023.9 KB";
        QTest::addRow("a byte short of a megabyte") << qint64(1048575) << "1.0 MB";
        QTest::addRow("rounds up to a megabyte") << qint64(1048525) << "1.0 MB";
        QTest::addRow("a byte short of a gigabyte") << qint64(1073741823) << "1.0 GB";
        QTest::addRow("a byte short of a kilobyte") << qint64(1023) << "1,023 bytes";
        QTest::addRow("largest size") << std::numeric_limits<qint64>::max() << "8.0 EB";
    }
    void sizesAsAFileManagerShowsThem() {
        QFETCH(qint64, bytes);
        QTEST(quillmere::details::fileSizeText(bytes), "text");
    }

    void permissionStrings_data() {
        QTest::addColumn<uint>("mode");
        QTest::addColumn<QString>("text");
        QTest::addRow("setuid program") << uint(S_IFREG | S_ISUID | 0755) << "-rwsr-xr-x";
        QTest::addRow("setgid without exec") << uint(S_IFREG | S_ISGID | 0640) << "-rw-r-S---";
        QTest::addRow("sticky folder") << uint(S_IFDIR | S_ISVTX | 0777) << "drwxrwxrwt";
        QTest::addRow("sticky without exec") << uint(S_IFDIR | S_ISVTX | 0770) << "drwxrwx--T";
        QTest::addRow("socket") << uint(S_IFSOCK | 0600) << "srw-------";
        QTest::addRow("block device") << uint(S_IFBLK | 0660) << "brw-rw----";
        QTest::addRow("character device") << uint(S_IFCHR | 0666) << "crw-rw-rw-";
    }
    void permissionStrings() {
        QFETCH(uint, mode);
        QTEST(quillmere::details::permissionText(mode_t(mode)), "text");
    }

    void typeByNameAgreesWithTheDatabase_data() {
        QTest::addColumn<QString>("name");
        for (const char* name : {"photo.jpg",
                                 "PHOTO.JPG",
                                 "other photo.jpg",
                                 "archive.tar.gz",
                                 "plain.gz",
                                 "paper.pdf.gz",
                                 "x.C",
                                 "x.c",
                                 "Makefile",
                                 "makefile",
                                 "README",
                                 "README.md",
                                 "notes",
                                 "backup.txt~",
                                 "page.1",
                                 "lib.so.6",
                                 "a.b.c.d.txt",
                                 ".bashrc",
                                 "trailing.",
                                 "sconscript.py",
                                 "CMakeLists.txt",
                                 "list.txt",
                                 "song.mp3",
                                 "song.MP3",
                                 "image.tar.xz",
                                 "x.tar.zst",
                                 "unknownending.zzqq"})
            QTest::addRow("%s", name) << QString::fromLatin1(name);
    }
    void typeByNameAgreesWithTheDatabase() {
        QFETCH(QString, name);
        const QList<QMimeType> expected = QMimeDatabase().mimeTypesForFileName(name);
        const QString expectedName = expected.isEmpty() ? QString() : expected.first().name();
        // Asked twice: the second answer comes from what the first one learnt.
        QCOMPARE(quillmere::details::mimeTypeForFileName(name).name(), expectedName);
        QCOMPARE(quillmere::details::mimeTypeForFileName(name).name(), expectedName);
    }

    void namesSharingAnEndingShareNothingElse() {
        // Learnt from "b.tar.gz", the ending must not decide "c.gz" or "Makefile.gz".
        QMimeDatabase db;
        for (const char* name : {"b.tar.gz", "c.gz", "d.pdf.gz", "e.C", "f.c", "g.tar.gz"}) {
            const QString text = QString::fromLatin1(name);
            QCOMPARE(quillmere::details::mimeTypeForFileName(text).name(),
                     db.mimeTypesForFileName(text).value(0).name());
        }
    }

    void datesInLocalTimeAsTheLocaleShowsThem_data() {
        QTest::addColumn<qint64>("seconds");
        QTest::addRow("epoch") << qint64(0);
        QTest::addRow("afternoon") << qint64(1714573230);
        QTest::addRow("a second later") << qint64(1714573231);
        QTest::addRow("a minute later") << qint64(1714573290);
        QTest::addRow("an hour later") << qint64(1714573230 + 3600);
        QTest::addRow("a day later") << qint64(1714573230 + 86400);
        QTest::addRow("before the epoch") << qint64(-86400 * 400 - 3600 * 5);
        QTest::addRow("far ahead") << qint64(4102444799);
        QTest::addRow("year one") << qint64(-62135596800);
        QTest::addRow("the year before year one") << qint64(-62135596801);
        QTest::addRow("first day before year one") << qint64(-62167219200);
        QTest::addRow("ten thousand years ago") << qint64(-377705116800);
        QTest::addRow("a million years ahead") << qint64(31556952000000);
    }
    void datesInLocalTimeAsTheLocaleShowsThem() {
        QFETCH(qint64, seconds);
        const QString expected = QLocale::system().toString(
            QDateTime::fromMSecsSinceEpoch(seconds * 1000 + 250), QLocale::ShortFormat);
        QCOMPARE(quillmere::details::shortDateTime(seconds, 250'000'000), expected);
        // In a zone with daylight saving time, too.
        const QByteArray zone = qgetenv("TZ");
        const bool hadZone = qEnvironmentVariableIsSet("TZ");
        qputenv("TZ", "America/New_York");
        tzset();
        const auto restore = qScopeGuard([&] {
            if (hadZone)
                qputenv("TZ", zone);
            else
                qunsetenv("TZ");
            tzset();
        });
        QCOMPARE(quillmere::details::shortDateTime(seconds, 0),
                 QLocale::system().toString(QDateTime::fromMSecsSinceEpoch(seconds * 1000),
                                            QLocale::ShortFormat));
    }

    void timesNoCalendarCanShowAreLeftEmpty() {
        // tmpfs keeps any 64-bit time: these once came out as 1969, 1970 and a wrong year.
        for (const qint64 seconds :
             {std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min(),
              qint64(100'000'000'000'000'000), -qint64(100'000'000'000'000'000)})
            QCOMPARE(quillmere::details::shortDateTime(seconds, 999'999'999), QString());
    }

    void wallClockTimesAsQtShowsThem_data() {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::addRow("summer") << QDate(2024, 7, 1) << QTime(15, 4, 5);
        QTest::addRow("skipped hour") << QDate(2024, 3, 10) << QTime(2, 30);
        QTest::addRow("repeated hour") << QDate(2024, 11, 3) << QTime(1, 30);
        QTest::addRow("midnight") << QDate(1999, 12, 31) << QTime(0, 0);
        QTest::addRow("invalid date") << QDate(2024, 2, 30) << QTime(1, 0);
    }
    void wallClockTimesAsQtShowsThem() {
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        const QByteArray zone = qgetenv("TZ");
        const bool hadZone = qEnvironmentVariableIsSet("TZ");
        const auto restore = qScopeGuard([&] {
            if (hadZone)
                qputenv("TZ", zone);
            else
                qunsetenv("TZ");
            tzset();
        });
        for (const char* where : {"UTC", "America/New_York", "Australia/Lord_Howe"}) {
            qputenv("TZ", where);
            tzset();
            QCOMPARE(quillmere::details::shortDateTime(date, time),
                     quillmere::details::shortDateTime(QDateTime(date, time)));
            if (date.isValid())
                QCOMPARE(quillmere::details::shortDateTime(date, time),
                         QLocale::system().toString(QDateTime(date, time), QLocale::ShortFormat));
        }
    }

    void deviceNodeIsNeverRead() {
        // Reading /dev/zero would never end; a device is described, not opened.
        DetailColumns details("/dev/zero", sources_);
        QCOMPARE(details.value(column::ItemType), QStringLiteral("character device"));
        QCOMPARE(details.value(column::Size), QString());
        QCOMPARE(details.value(column::Title), QString());
        QVERIFY(details.problems().isEmpty());
    }
};

QUILLMERE_CORE_TEST_MAIN(TestDetailColumns)
#include "test_detail_columns.moc"
