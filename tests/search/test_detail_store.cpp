#include "details/helper_protocol.h"
#include "fixtures/sample_files.h"
#include "search/detail_columns.h"
#include "search/embedded_cache.h"
#include "search/search_folder.h"
#include "search/store/detail_store.h"
#include "search/store/stored_details.h"
#include "support/readers_here.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QScopeGuard>
#include <QThread>

#include <sqlite3.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::search::store;
using namespace quillmere::test;
using store::DetailStore;
using store::StoreOptions;
namespace fx = quillmere::fixtures;

namespace {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

// What a user can see of a tree: every detail of every file but the access time, which reading
// changes, and what could not be read.
QStringList everyDetail(const QByteArray& root, DetailSources& sources) {
    QStringList lines;
    QDirIterator it(QFile::decodeName(root), QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    QStringList paths;
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    for (const QString& path : paths) {
        DetailColumns details(native(path), sources);
        for (int column = 0; column < column::Count; ++column) {
            if (column != column::DateAccessed)
                lines
                    << QStringLiteral("%1 %2 %3").arg(path).arg(column).arg(details.value(column));
        }
        lines << path + QStringLiteral(" problems: ") + details.problems().join(u'|');
    }
    return lines;
}

class RowRecorder : public search::SearchObserver {
public:
    void showStatus(const QString&) override {}
    void pumpMessages() override {}
    bool stopRequested() override { return false; }
    bool isAlreadyListed(const QByteArray& path) override { return listed.contains(path); }
    void addRows(std::vector<FoundRow> rows) override {
        for (const FoundRow& row : rows) {
            listed.insert(row.nativePath);
            lines << row.displayPath + u'\t' + row.label;
        }
        if (afterRows)
            std::exchange(afterRows, nullptr)();
    }
    void reportFailure(const QByteArray& folder, const QString& text) override {
        lines << QStringLiteral("failure ") + QFile::decodeName(folder) + u' ' + text;
    }

    QSet<QByteArray> listed;
    QStringList lines;
    std::function<void()> afterRows; // called once, after the first rows arrive
};

// One run of a program: a store of its own, an empty in-process cache, a search and a look at
// every detail. Counts the files whose embedded details were read from the file.
struct Run {
    QStringList rows;
    QStringList details;
    quint64 reads = 0;
    quint64 remembered = 0;
    store::StoreFigures figures;
};

Run runOnce(const QByteArray& root, const StoreOptions* options,
            std::function<void()> afterFirstRows = nullptr) {
    // Closed once its destructor has returned, whichever thread let go of it last: the weak
    // pointer expires before that, while the store may still be writing.
    const auto closed = std::make_shared<std::atomic<bool>>(!options);
    std::shared_ptr<DetailStore> detailStore =
        options ? std::shared_ptr<DetailStore>(new DetailStore(*options),
                                               [closed](DetailStore* store) {
                                                   delete store;
                                                   *closed = true;
                                               })
                : nullptr;
    DetailSources::Setup setup = test::readingHere();
    setup.store = detailStore;
    auto sources = std::make_shared<DetailSources>(std::move(setup));
    Run run;
    RowRecorder recorder;
    recorder.afterRows = std::move(afterFirstRows);
    search::SearchOptions searchOptions;
    searchOptions.workers = 2;
    searchOptions.sources = sources;
    search::searchFolders(
        {root},
        [] {
            return search::Query{QStringLiteral("Kodak"), search::CaseMode::Ignored};
        },
        true, recorder, searchOptions);
    run.rows = recorder.lines;
    run.details = everyDetail(root, *sources);
    if (detailStore)
        run.figures = detailStore->figures();
    const EmbeddedCache::Figures figures = sources->cache().figures();
    run.reads = figures.reads;
    run.remembered = figures.remembered;
    // The program ends: its store is closed once the engine's workers let go of it too.
    searchOptions.sources.reset();
    sources.reset();
    detailStore.reset();
    QDeadlineTimer deadline(10000);
    while (!*closed && !deadline.hasExpired())
        QThread::msleep(1);
    return run;
}

void setModified(const QString& path, const struct timespec& when) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, when};
    QCOMPARE(::utimensat(AT_FDCWD, native(path).constData(), times, 0), 0);
}

struct timespec modifiedOf(const QString& path) {
    struct stat info {};
    ::stat(native(path).constData(), &info);
    return info.st_mtim;
}

qint64 countRows(const QString& storeFile, const QByteArray& where) {
    sqlite3* db = nullptr;
    qint64 count = -1;
    if (sqlite3_open_v2(native(storeFile).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const QByteArray sql =
            "SELECT count(*) FROM entries" + (where.isEmpty() ? "" : " WHERE " + where);
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

} // namespace

class TestDetailStore : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString tree_;
    int storeCount_ = 0;

    // A store folder nobody used before; files are remembered however recently they changed.
    StoreOptions freshOptions() {
        StoreOptions options;
        options.folder = dir_.filePath(QStringLiteral("store%1").arg(++storeCount_));
        options.settleTime = std::chrono::nanoseconds(0);
        return options;
    }

    // A copy of the sample tree that a test may change.
    QString copyOfTree() {
        const QString copy = dir_.filePath(QStringLiteral("tree%1").arg(++storeCount_));
        QDirIterator it(tree_, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString from = it.next();
            const QString to = copy + from.mid(tree_.size());
            QDir().mkpath(QFileInfo(to).path());
            QFile::copy(from, to);
        }
        return copy;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        tree_ = dir_.filePath(QStringLiteral("tree"));
        QDir().mkpath(tree_ + QStringLiteral("/sub/deeper"));
        fx::Tags photo;
        photo.cameraMaker = QStringLiteral("Kodak");
        photo.cameraModel = QStringLiteral("DC 290");
        photo.title = QStringLiteral("Harbour");
        photo.taken = QDateTime(QDate(1987, 3, 4), QTime(5, 43, 21), Qt::UTC);
        fx::write(fx::Kind::Jpeg, tree_ + QStringLiteral("/photo.jpg"), photo);
        fx::write(fx::Kind::Png, tree_ + QStringLiteral("/sub/picture.png"), photo);
        fx::Tags song;
        song.artist = QStringLiteral("Kodak Quartet");
        song.title = QStringLiteral("First");
        song.year = 1999;
        fx::write(fx::Kind::Mp3, tree_ + QStringLiteral("/sub/song.mp3"), song);
        fx::write(fx::Kind::Mp3, tree_ + QStringLiteral("/sub/deeper/other.mp3"), song);
        fx::Tags document;
        document.author = QStringLiteral("Ann Kodak");
        document.pages = 2;
        fx::write(fx::Kind::Pdf, tree_ + QStringLiteral("/sub/deeper/paper.pdf"), document);
        fx::write(fx::Kind::Docx, tree_ + QStringLiteral("/letter.docx"), document);
        // A photo under a song's name: its type comes from the content.
        QFile::copy(tree_ + QStringLiteral("/photo.jpg"), tree_ + QStringLiteral("/misnamed.mp3"));
        // Unreadable: the problem is remembered and worded as a fresh read words it.
        QVERIFY(writeBytes(tree_ + QStringLiteral("/broken.jpg"),
                           QByteArray("\xff\xd8\xff\xe1junk", 8)));
        QVERIFY(writeBytes(tree_ + QStringLiteral("/notes.txt"), "Kodak moments\n"));
        QVERIFY(writeBytes(tree_ + QStringLiteral("/empty.pdf"), {}));
    }

    void storedDetailsSurviveTheirByteForm() {
        store::StoredDetails details;
        details.values = {{column::DateTaken, QStringLiteral("3/4/87 5:43 AM")},
                          {column::Title, QStringLiteral("Ünïcode; two")},
                          {40, QStringLiteral("ISO-100")}};
        details.contentType = QStringLiteral("image/jpeg");
        details.fault = FaultKind::Rejected;
        details.faultText = QStringLiteral("audio/mpeg");
        store::StoredDetails back;
        QVERIFY(store::decode(store::encode(details), back));
        QCOMPARE(back, details);
        details.fault = FaultKind::ReaderFailed;
        details.faultText = QStringLiteral("the reader crashed (SIGSEGV)");
        QVERIFY(store::decode(store::encode(details), back));
        QCOMPARE(back, details);
        QVERIFY(back.dependsOnDisplayFormat());
        details.values.removeFirst();
        QVERIFY(!details.dependsOnDisplayFormat());

        store::StoredDetails one;
        one.values = {{column::Title, QStringLiteral("Harbour")}};
        const QByteArray bytes = store::encode(one);
        for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
            store::StoredDetails partial;
            QVERIFY2(!store::decode(bytes.left(cut), partial), "a cut record must not decode");
        }
        store::StoredDetails damaged;
        QVERIFY(!store::decode(QByteArray("\x07\xff\xff\xff\x7f", 5), damaged));
        QVERIFY(!store::decode(QByteArray("\x0b\x01\x00\x00\x00x", 6), damaged)); // column 11
        QVERIFY(!store::decode(QByteArray("\x0d\x01\x00\x00\x00x\x0c\x01\x00\x00\x00y", 12),
                               damaged)); // out of order
        // A fault of no known kind, without its words, or twice; the old record of a type alone.
        QVERIFY(!store::decode(QByteArray("\x03\x02\x00\x00\x00\x09x", 7), damaged));
        QVERIFY(!store::decode(QByteArray("\x03\x02\x00\x00\x00\x00x", 7), damaged));
        QVERIFY(!store::decode(QByteArray("\x03\x01\x00\x00\x00\x02", 6), damaged));
        QVERIFY(!store::decode(QByteArray("\x03\x02\x00\x00\x00\x02x\x03\x02\x00\x00\x00\x01y", 14),
                               damaged));
        QVERIFY(!store::decode(QByteArray("\x02\x01\x00\x00\x00x", 6), damaged));

        // Values past the bounds of an answer were not stored by this program: a value one code
        // unit too long, or values each within bounds but too many together.
        store::StoredDetails large;
        large.values = {{column::Title, QString(MaxValueUnits, u'\u00e9')}};
        QVERIFY(store::decode(store::encode(large), back));
        large.values[0].second += u'x';
        QVERIFY(!store::decode(store::encode(large), damaged));
        large.values.clear();
        for (int c = column::FirstEmbedded; c < column::Count; ++c)
            large.values.append({c, QString(MaxValueUnits, u'x')});
        QVERIFY(!store::decode(store::encode(large), damaged));
        // Values as large as an answer may hold, with a type and a fault beside them, are kept.
        large.values.resize(MaxAnswerUnits / MaxValueUnits);
        large.contentType = QStringLiteral("image/jpeg");
        large.fault = FaultKind::Rejected;
        large.faultText = QStringLiteral("audio/mpeg");
        QVERIFY(store::decode(store::encode(large), back));
        QCOMPARE(back, large);
    }

    void secondRunReadsNoUnchangedFile() {
        const Run withoutStore = runOnce(native(tree_), nullptr);
        QVERIFY(withoutStore.rows.size() >= 5);
        const StoreOptions options = freshOptions();
        const Run first = runOnce(native(tree_), &options);
        QCOMPARE(first.rows, withoutStore.rows);
        QCOMPARE(first.details, withoutStore.details);
        QCOMPARE(first.remembered, quint64(0));
        QVERIFY(first.reads >= 9);
        QCOMPARE(first.figures.entries, qint64(first.reads));

        const Run second = runOnce(native(tree_), &options);
        QCOMPARE(second.rows, withoutStore.rows);
        QCOMPARE(second.details, withoutStore.details);
        QCOMPARE(second.reads, quint64(0));
        QCOMPARE(second.remembered, first.reads);
        QCOMPARE(second.figures.hits, first.reads);
        QCOMPARE(second.figures.misses, quint64(0));
    }

    void theStoreIsPrivateAndWhereTheCacheBelongs() {
        const QString folder = DetailStore::defaultFolder();
        QCOMPARE(folder,
                 qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/Vantrel/Quillmere"));
        {
            DetailStore detailStore;
            QCOMPARE(detailStore.filePath(), folder + QStringLiteral("/details.sqlite"));
            QVERIFY(detailStore.figures().setAside.isEmpty());
        }
        struct stat info {};
        QCOMPARE(::stat(native(folder).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0700));
        QCOMPARE(::stat(native(folder + QStringLiteral("/details.sqlite")).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
    }

    void changedFilesGetAFreshAnswer() {
        const QString tree = copyOfTree();
        const StoreOptions options = freshOptions();
        const Run first = runOnce(native(tree), &options);

        // Rewritten with new tags.
        fx::Tags photo;
        photo.cameraMaker = QStringLiteral("Kodak");
        photo.title = QStringLiteral("Rewritten");
        fx::write(fx::Kind::Jpeg, tree + QStringLiteral("/photo.jpg"), photo);
        // Touched without change.
        setModified(tree + QStringLiteral("/sub/song.mp3"), {0, UTIME_NOW});
        // Replaced by another file of the same size and time, under another inode.
        const QString paper = tree + QStringLiteral("/sub/deeper/paper.pdf");
        QByteArray bytes = readBytes(paper);
        const qsizetype at = bytes.indexOf("Ann Kodak");
        QVERIFY(at > 0);
        bytes.replace(at, 9, "Bob Kodak");
        const struct timespec time = modifiedOf(paper);
        QVERIFY(writeBytes(paper + QStringLiteral(".new"), bytes));
        setModified(paper + QStringLiteral(".new"), time);
        QVERIFY(::rename(native(paper + QStringLiteral(".new")).constData(),
                         native(paper).constData()) == 0);
        // Deleted.
        QVERIFY(QFile::remove(tree + QStringLiteral("/sub/deeper/other.mp3")));

        const Run fresh = runOnce(native(tree), nullptr);
        const Run second = runOnce(native(tree), &options);
        QCOMPARE(second.rows, fresh.rows);
        QCOMPARE(second.details, fresh.details);
        QVERIFY(second.details.join(u'\n').contains(QStringLiteral("Bob Kodak")));
        QVERIFY(second.details.join(u'\n').contains(QStringLiteral("Rewritten")));
        QCOMPARE(second.reads, quint64(3));
        QCOMPARE(second.remembered, first.reads - 4);
        // The deleted file's entry went when its folder was searched again.
        const QString file = options.folder + QStringLiteral("/details.sqlite");
        QCOMPARE(countRows(file, "name = CAST('other.mp3' AS BLOB)"), qint64(0));
        QCOMPARE(countRows(file, {}), qint64(first.reads - 1));
    }

    void recentlyChangedFilesAreNotRemembered() {
        StoreOptions options = freshOptions();
        options.settleTime = std::chrono::hours(1);
        runOnce(native(tree_), &options);
        const Run second = runOnce(native(tree_), &options);
        QCOMPARE(second.remembered, quint64(0));
        QCOMPARE(second.figures.entries, qint64(0));
    }

    void brokenStoreNeverBreaksASearch_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("rebuilt"); // the next run remembers again
        QTest::newRow("overwritten with garbage") << "garbage" << true;
        QTest::newRow("pages damaged") << "damaged" << true;
        QTest::newRow("truncated") << "truncated" << true;
        QTest::newRow("read-only") << "read-only" << false;
        QTest::newRow("folder cannot be made") << "unmakeable" << false;
        QTest::newRow("held locked by another connection") << "locked" << false;
        QTest::newRow("write-locked by another connection") << "write-locked" << false;
        QTest::newRow("removed during the search") << "removed" << true;
        QTest::newRow("disk full") << "full" << false;
        QTest::newRow("no room to write") << "no room" << true;
        QTest::newRow("folder others may change") << "open folder" << false;
        QTest::newRow("file others may change") << "open file" << true;
        QTest::newRow("trigger planted") << "trigger" << true;
        QTest::newRow("older version, a view in the table's place") << "old view" << true;
        QTest::newRow("freed space kept in the file") << "no vacuum" << true;
    }

    void brokenStoreNeverBreaksASearch() {
        QFETCH(QString, how);
        QFETCH(bool, rebuilt);
        if (how == QLatin1String("read-only") && ::geteuid() == 0)
            QSKIP("the superuser writes to read-only files");
        StoreOptions options = freshOptions();
        const QString file = options.folder + QStringLiteral("/details.sqlite");
        const Run expected = runOnce(native(tree_), nullptr);
        runOnce(native(tree_), &options);
        QVERIFY(QFileInfo(file).size() > 4096);

        sqlite3* holder = nullptr;
        rlimit fileSize{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &fileSize), 0);
        const auto release = [&] {
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
            sqlite3_close(std::exchange(holder, nullptr));
            QFile::remove(file + QStringLiteral("-wal"));
            ::chmod(native(file).constData(), 0600);
            ::chmod(native(options.folder).constData(), 0700);
        };
        const auto releaseOnFailure = qScopeGuard(release);
        // Changes the store as another program could.
        const auto rewrite = [&file](const char* sql) {
            sqlite3* other = nullptr;
            const bool done = sqlite3_open(native(file).constData(), &other) == SQLITE_OK &&
                              sqlite3_exec(other, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
            sqlite3_close(other);
            return done;
        };
        std::function<void()> duringSearch;
        if (how == QLatin1String("garbage")) {
            QVERIFY(writeBytes(file, QByteArray(20000, 'x')));
        } else if (how == QLatin1String("damaged")) {
            QByteArray bytes = readBytes(file);
            for (qsizetype i = 4096 + 100; i < bytes.size(); i += 7)
                bytes[i] = char(bytes[i] ^ 0x5a);
            QVERIFY(writeBytes(file, bytes));
        } else if (how == QLatin1String("truncated")) {
            QVERIFY(::truncate(native(file).constData(), QFileInfo(file).size() / 2 + 10) == 0);
        } else if (how == QLatin1String("read-only")) {
            QVERIFY(::chmod(native(file).constData(), 0400) == 0);
            QVERIFY(::chmod(native(options.folder).constData(), 0500) == 0);
        } else if (how == QLatin1String("unmakeable")) {
            options.folder = QStringLiteral("/proc/self/quillmere-store");
        } else if (how == QLatin1String("locked") || how == QLatin1String("write-locked")) {
            QCOMPARE(sqlite3_open(native(file).constData(), &holder), SQLITE_OK);
            const char* sql = how == QLatin1String("locked")
                                  ? "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                                    "DELETE FROM entries WHERE 0; UPDATE entries SET used = used;"
                                  : "BEGIN IMMEDIATE; UPDATE entries SET used = used;";
            QCOMPARE(sqlite3_exec(holder, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        } else if (how == QLatin1String("full")) {
            // Every write to the log fails as on a full disk, and every file must be written.
            QVERIFY(rewrite("DELETE FROM entries"));
            QVERIFY(::symlink("/dev/full", native(file + QStringLiteral("-wal")).constData()) == 0);
        } else if (how == QLatin1String("no room")) {
            // Every file is to be written again, and once the store is open no file may grow
            // past 4 KiB, as on a disk that has just filled up.
            QVERIFY(rewrite("DELETE FROM entries"));
            std::signal(SIGXFSZ, SIG_IGN);
            duringSearch = [&] {
                rlimit small = fileSize;
                small.rlim_cur = 4096;
                ::setrlimit(RLIMIT_FSIZE, &small);
            };
        } else if (how == QLatin1String("open folder")) {
            QVERIFY(::chmod(native(options.folder).constData(), 0777) == 0);
        } else if (how == QLatin1String("open file")) {
            QVERIFY(::chmod(native(file).constData(), 0666) == 0);
        } else if (how == QLatin1String("trigger")) {
            QVERIFY(rewrite("CREATE TABLE planted(n); CREATE TRIGGER t AFTER INSERT ON entries "
                            "BEGIN INSERT INTO planted VALUES(1); END;"));
        } else if (how == QLatin1String("old view")) {
            QVERIFY(rewrite("PRAGMA user_version=1; DROP TABLE entries; CREATE TABLE t(x); "
                            "CREATE VIEW entries AS SELECT x FROM t;"));
        } else if (how == QLatin1String("no vacuum")) {
            QVERIFY(rewrite("PRAGMA auto_vacuum=NONE; VACUUM;"));
        } else if (how == QLatin1String("removed")) {
            duringSearch = [&] { QDir(options.folder).removeRecursively(); };
        }

        const Run broken = runOnce(native(tree_), &options, duringSearch);
        QCOMPARE(broken.rows, expected.rows);
        QCOMPARE(broken.details, expected.details);
        if (how == QLatin1String("full")) {
            QCOMPARE(broken.figures.entries, qint64(0));
        }
        if (how == QLatin1String("no room")) // told, not silent
            QVERIFY2(!broken.figures.writeProblem.isEmpty(), qPrintable(broken.figures.setAside));
        if (how == QLatin1String("open folder")) {
            // Left alone: nothing read from it or written to it, its mode as it was.
            QVERIFY(broken.figures.distrusted);
            QCOMPARE(broken.remembered, quint64(0));
            QCOMPARE(QFileInfo(options.folder).permissions() & QFile::WriteOther,
                     QFile::WriteOther);
        }
        if (how == QLatin1String("open file") || how == QLatin1String("no vacuum")) {
            // Set aside: every file read afresh, into a store private again, that gives the
            // space of evicted entries back.
            QCOMPARE(broken.figures.hits, quint64(0));
            QCOMPARE(QFileInfo(file).permissions() & (QFile::WriteGroup | QFile::WriteOther),
                     QFile::Permissions());
        }
        if (how == QLatin1String("write-locked"))
            QCOMPARE(broken.figures.writeProblem, QString()); // another writer is no problem
        if (how == QLatin1String("write-locked"))
            QVERIFY2(broken.remembered > 0,
                     qPrintable(
                         broken.figures.setAside)); // reading goes on while another process writes
        release();
        if (!rebuilt)
            return;
        // Damage that SQLite does not notice at once is found, and mended, by later runs.
        quint64 reads = 1;
        for (int run = 0; run < 4 && reads > 0; ++run) {
            const Run after = runOnce(native(tree_), &options);
            QCOMPARE(after.rows, expected.rows);
            QCOMPARE(after.details, expected.details);
            reads = after.reads;
        }
        QCOMPARE(reads, quint64(0));
        if (how == QLatin1String("garbage") || how == QLatin1String("trigger"))
            QVERIFY(QFileInfo::exists(file + QStringLiteral(".broken")));
        if (how == QLatin1String("trigger")) {
            // The trigger never ran, and the store made anew holds only the details.
            QCOMPARE(sqlite3_open(native(file + QStringLiteral(".broken")).constData(), &holder),
                     SQLITE_OK);
            sqlite3_stmt* count = nullptr;
            QCOMPARE(
                sqlite3_prepare_v2(holder, "SELECT count(*) FROM planted", -1, &count, nullptr),
                SQLITE_OK);
            QCOMPARE(sqlite3_step(count), SQLITE_ROW);
            QCOMPARE(sqlite3_column_int(count, 0), 0);
            sqlite3_finalize(count);
            sqlite3_close(std::exchange(holder, nullptr));
        }
    }

    // A writer held up by another process's lock holds a bounded queue: writes past 16 MiB are
    // dropped, and a wait with a deadline gives up the rest instead of waiting for the lock.
    void aHeldUpWriterKeepsItsQueueBounded() {
        StoreOptions options = freshOptions();
        DetailStore(options).figures(); // the database exists
        sqlite3* holder = nullptr;
        QCOMPARE(
            sqlite3_open(native(options.folder + QStringLiteral("/details.sqlite")).constData(),
                         &holder),
            SQLITE_OK);
        const auto release = qScopeGuard([&] { sqlite3_close(holder); });
        QCOMPARE(sqlite3_exec(holder, "BEGIN IMMEDIATE; UPDATE entries SET used = used;", nullptr,
                              nullptr, nullptr),
                 SQLITE_OK);
        DetailStore detailStore(options);
        store::StoredDetails details;
        details.values = {{column::Title, QString(1'000'000, u'b')}};
        for (int i = 0; i < 64; ++i)
            detailStore.keep("/far/away/file" + QByteArray::number(i), {1, quint64(i), 10, 5, 5},
                             details);
        QVERIFY(!detailStore.flushWithin(std::chrono::milliseconds(300)));
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        const store::StoreFigures figures = detailStore.figures();
        QVERIFY2(figures.dropped >= 48, QByteArray::number(figures.dropped).constData());
    }

    // A store of the version before is emptied and used, never read as it was (it remembered a
    // crash as a file without details); one of a later version is left as it is, and unused.
    void otherVersionsAreNeverMisread() {
        StoreOptions options = freshOptions();
        const QByteArray database = native(options.folder + QStringLiteral("/details.sqlite"));
        const FileSignature signature{1, 7, 10, 5, 5};
        store::StoredDetails details;
        {
            DetailStore detailStore(options);
            detailStore.keep("/far/away/file", signature, details);
            QCOMPARE(detailStore.figures().entries, 1);
        }
        const auto query = [&database](const char* sql) {
            sqlite3* db = nullptr;
            sqlite3_stmt* statement = nullptr;
            qint64 number = -1;
            if (sqlite3_open(database.constData(), &db) == SQLITE_OK &&
                sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW)
                number = sqlite3_column_int64(statement, 0);
            sqlite3_finalize(statement);
            sqlite3_close(db);
            return number;
        };
        const qint64 version = query("PRAGMA user_version");
        QVERIFY(version > 1);
        QCOMPARE(query(("PRAGMA user_version=" + QByteArray::number(version + 1)).constData()), -1);
        {
            DetailStore detailStore(options);
            QVERIFY(!detailStore.find("/far/away/file", signature, details));
            QVERIFY(detailStore.figures().setAside.contains(QStringLiteral("newer")));
        }
        QCOMPARE(query("SELECT count(*) FROM entries"), 1);
        QCOMPARE(query("PRAGMA user_version"), version + 1);

        query(("PRAGMA user_version=" + QByteArray::number(version - 1)).constData());
        DetailStore detailStore(options);
        QVERIFY(!detailStore.find("/far/away/file", signature, details));
        const store::StoreFigures figures = detailStore.figures();
        QCOMPARE(figures.setAside, QString());
        QCOMPARE(figures.entries, 0);
        QCOMPARE(query("PRAGMA user_version"), version);
        detailStore.keep("/far/away/file", signature, details);
        QVERIFY(detailStore.find("/far/away/file", signature, details) ||
                detailStore.figures().entries == 1);
    }

    // Damage SQLite cannot see: an entry whose bytes were changed, or which was moved to another
    // folder, is a miss, whichever folders were looked in before; the untouched ones still hit.
    void aChangedEntryIsAMiss() {
        StoreOptions options = freshOptions();
        const QByteArray database = native(options.folder + QStringLiteral("/details.sqlite"));
        const FileSignature signature{1, 7, 10, 5, 5};
        const auto detailsOf = [](const char* title) {
            store::StoredDetails details;
            details.values = {{column::Title, QString::fromLatin1(title)}};
            return details;
        };
        {
            DetailStore detailStore(options);
            for (const char* path : {"/a/one/x", "/a/one/y", "/a/two/x", "/a/two/z"})
                detailStore.keep(path, signature, detailsOf(path));
            QCOMPARE(detailStore.figures().entries, 4);
        }
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(database.constData(), &db), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        QCOMPARE(sqlite3_prepare_v2(db,
                                    "UPDATE entries SET details = ?1 "
                                    "WHERE folder = CAST('/a/one' AS BLOB) AND name = CAST('x' AS "
                                    "BLOB)",
                                    -1, &statement, nullptr),
                 SQLITE_OK);
        const QByteArray forged = store::encode(detailsOf("/a/one/X")); // well-formed, one byte off
        sqlite3_bind_blob(statement, 1, forged.constData(), int(forged.size()), SQLITE_TRANSIENT);
        QCOMPARE(sqlite3_step(statement), SQLITE_DONE);
        sqlite3_finalize(statement);
        QCOMPARE(sqlite3_changes(db), 1);
        QCOMPARE(sqlite3_exec(db,
                              "UPDATE entries SET folder = CAST('/a/six' AS BLOB) "
                              "WHERE folder = CAST('/a/two' AS BLOB) AND name = CAST('x' AS BLOB)",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QCOMPARE(sqlite3_changes(db), 1);
        sqlite3_close(db);

        DetailStore detailStore(options);
        store::StoredDetails found;
        for (int round = 0; round < 2; ++round) {
            QVERIFY(detailStore.find("/a/one/y", signature, found));
            QCOMPARE(found, detailsOf("/a/one/y"));
            QVERIFY(!detailStore.find("/a/one/x", signature, found));
            QVERIFY(!detailStore.find("/a/six/x", signature, found));
            QVERIFY(detailStore.find("/a/two/z", signature, found));
            QCOMPARE(found, detailsOf("/a/two/z"));
        }
    }

    void sizeLimitDropsTheLeastRecentlyUsed() {
        StoreOptions options = freshOptions();
        options.sizeLimit = 256 * 1024;
        qint64 clock = qint64(1) << 60;
        options.clock = [&clock] { return clock; };
        const QString text(400, u'k');
        {
            DetailStore detailStore(options);
            for (int i = 0; i < 4000; ++i) {
                clock += 1'000'000'000;
                store::StoredDetails details;
                details.values = {{column::Title, text + QString::number(i)}};
                detailStore.keep("/far/away/file" + QByteArray::number(i),
                                 {1, quint64(i), 10, 5, 5}, details);
                if (i % 500 == 0)
                    detailStore.flush();
            }
            const store::StoreFigures figures = detailStore.figures();
            QVERIFY2(figures.entries < 4000, QByteArray::number(figures.entries).constData());
            QVERIFY(figures.entries > 100);
        }
        QVERIFY(QFileInfo(options.folder + QStringLiteral("/details.sqlite")).size() <
                2 * options.sizeLimit);
        DetailStore detailStore(options);
        store::StoredDetails found;
        QVERIFY(detailStore.find("/far/away/file3999", {1, 3999, 10, 5, 5}, found));
        QCOMPARE(found.values.value(0).second, text + QStringLiteral("3999"));
        QVERIFY(!detailStore.find("/far/away/file0", {1, 0, 10, 5, 5}, found));
        // Another signature is no hit, whatever is stored.
        QVERIFY(!detailStore.find("/far/away/file3999", {1, 3999, 10, 5, 6}, found));
    }

    // A folder whose entries are too large to load together is looked up entry by entry, and
    // every entry is still found.
    void aFolderOfLargeEntriesIsReadOneByOne() {
        StoreOptions options = freshOptions();
        DetailStore detailStore(options);
        store::StoredDetails details;
        // Half a megabyte each: 64 of them hold more than one folder may load.
        for (int c = column::FirstEmbedded + 1; c <= column::FirstEmbedded + 16; ++c)
            details.values.append({c, QString(32'000, u'c')});
        for (int i = 0; i < 64; ++i) {
            detailStore.keep("/far/large/file" + QByteArray::number(i), {1, quint64(i), 10, 5, 5},
                             details);
            detailStore.flush(); // each, or the queue's bound drops some
        }
        QCOMPARE(detailStore.figures().entries, 64);
        for (int i = 63; i >= 0; --i) {
            store::StoredDetails found;
            QVERIFY(detailStore.find("/far/large/file" + QByteArray::number(i),
                                     {1, quint64(i), 10, 5, 5}, found));
            QCOMPARE(found.values, details.values);
        }
    }

    // What waits for a helper's clean end before it is kept shares one budget: spent while the
    // tokens live, given back as each goes.
    void detailsWaitingToBeKeptShareOneBudget() {
        EmbeddedCache cache(0);
        std::shared_ptr<const void> first = cache.holdWaiting(EmbeddedCache::WaitingBytes / 2);
        const std::shared_ptr<const void> second =
            cache.holdWaiting(EmbeddedCache::WaitingBytes / 2);
        QVERIFY(first && second);
        QVERIFY(!cache.holdWaiting(1));
        first.reset();
        QVERIFY(cache.holdWaiting(EmbeddedCache::WaitingBytes / 2));
        QVERIFY(!cache.holdWaiting(EmbeddedCache::WaitingBytes));
    }

    // The log is on disk too: after every write the database and its log together keep to the
    // limit, and the log is emptied when the store closes.
    void theLimitCountsTheLog() {
        StoreOptions options = freshOptions();
        options.sizeLimit = 256 * 1024;
        const QString database = options.folder + QStringLiteral("/details.sqlite");
        const auto bytesOnDisk = [&database] {
            return QFileInfo(database).size() + QFileInfo(database + QStringLiteral("-wal")).size();
        };
        const QString text(3000, u'w');
        {
            DetailStore detailStore(options);
            qint64 largest = 0;
            for (int i = 0; i < 3000; ++i) {
                store::StoredDetails details;
                details.values = {{column::Comments, text + QString::number(i)}};
                detailStore.keep("/far/away/file" + QByteArray::number(i),
                                 {1, quint64(i), 10, 5, 5}, details);
                if (i % 50 == 49) {
                    detailStore.flush();
                    largest = std::max(largest, bytesOnDisk());
                }
            }
            QVERIFY2(largest <= options.sizeLimit, QByteArray::number(largest).constData());
            const store::StoreFigures figures = detailStore.figures();
            QVERIFY(figures.entries > 10);
            QVERIFY(figures.bytes <= options.sizeLimit);
        }
        QVERIFY(bytesOnDisk() <= options.sizeLimit);
        QCOMPARE(QFileInfo(database + QStringLiteral("-wal")).size(), 0);
        DetailStore detailStore(options);
        store::StoredDetails found;
        QVERIFY(detailStore.find("/far/away/file2999", {1, 2999, 10, 5, 5}, found));
        QCOMPARE(found.values.value(0).second, text + QStringLiteral("2999"));

        // Another process's reader that keeps its snapshot: the log cannot be emptied, so
        // writes are given up once it passes its share; at most the one batch past it.
        sqlite3* holder = nullptr;
        QCOMPARE(sqlite3_open(native(database).constData(), &holder), SQLITE_OK);
        const auto release = qScopeGuard([&] { sqlite3_close(holder); });
        QCOMPARE(
            sqlite3_exec(holder, "BEGIN; SELECT count(*) FROM entries;", nullptr, nullptr, nullptr),
            SQLITE_OK);
        for (int i = 0; i < 1000; ++i) {
            store::StoredDetails details;
            details.values = {{column::Comments, text + QString::number(i)}};
            detailStore.keep("/held/file" + QByteArray::number(i), {1, quint64(i), 10, 5, 5},
                             details);
            if (i % 50 == 49)
                detailStore.flush();
        }
        QVERIFY2(bytesOnDisk() <= 2 * options.sizeLimit, QByteArray::number(bytesOnDisk()));
        QVERIFY(detailStore.figures().dropped > 0);
    }
};

QUILLMERE_CORE_TEST_MAIN(TestDetailStore)
#include "test_detail_store.moc"
