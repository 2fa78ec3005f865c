// The readers in sandboxed helpers: a reader that crashes, hangs, runs out of memory or is killed
// from outside costs one file's embedded details and nothing else; the sandbox refuses what a
// taken-over parser would try; the helper is found beside the program however it is started.

#include "details/clean_text.h"
#include "fixtures/sample_files.h"
#include "search/detail_columns.h"
#include "search/extraction/extraction.h"
#include "search/extraction/helper_pool.h"
#include "search/search_folder.h"
#include "search/store/detail_store.h"
#include "support/model_search_observer.h"
#include "support/test_files.h"
#include "support/test_main.h"

#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <mutex>

#include <unistd.h>

using namespace quillmere;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::search::extraction;
using namespace quillmere::search::store;
using namespace quillmere::test;

namespace {

constexpr int Comments = 24;

// AddressSanitizer catches the crash and exits with its own code; the helper may also write, for
// the sanitizers' reports.
const QString Crashed =
    sanitizerBuild() ? QStringLiteral("stopped unexpectedly") : QStringLiteral("crashed (SIGSEGV)");
const QString WriteRefused =
    sanitizerBuild() ? QStringLiteral("write allowed") : QStringLiteral("write EPERM");

// A file the test build of the helper turns into the named misbehaviour.
void writeFault(const QString& path, const QByteArray& word) {
    QVERIFY(writeBytes(path, "QUILLMERE-FAULT " + word + "\n"));
}

void writeKodakPhoto(const QString& path) {
    fixtures::Tags tags;
    tags.cameraMaker = QStringLiteral("Kodak");
    tags.cameraModel = QStringLiteral("EasyShare");
    fixtures::write(fixtures::Kind::Jpeg, path, tags);
}

void useHelpers(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    extraction::Settings settings;
    settings.program = QByteArrayLiteral(QUILLMERE_EXTRACT_FAULTY);
    settings.limits.deadline = deadline;
    settings.limits.memoryBytes = qint64(512) << 20;
    extraction::configure(settings);
    DetailColumns::clearCache();
}

struct Fault {
    QString name;
    QString cause;
};

// Every fault the helpers report, in the order reported.
class FaultLog {
public:
    FaultLog() {
        extraction::setFaultListener([this](const QByteArray& path, const QString& cause) {
            std::lock_guard lock(mutex_);
            faults_.append({QFile::decodeName(path.mid(path.lastIndexOf('/') + 1)), cause});
        });
    }
    ~FaultLog() { extraction::setFaultListener(nullptr); }
    QList<Fault> faults() {
        std::lock_guard lock(mutex_);
        return faults_;
    }

private:
    std::mutex mutex_;
    QList<Fault> faults_;
};

// Rows as "name<TAB>label", and a hook that runs at every message pump.
class Rows : public ModelSearchObserver {
public:
    explicit Rows(results::ResultsModel& model) : ModelSearchObserver(model), model_(model) {}
    void showStatus(const QString&) override {}
    void pumpMessages() override {
        if (onPump)
            onPump();
    }
    bool stopRequested() override { return false; }
    void reportFailure(const QString& folder, const QString& description) override {
        QFAIL(qPrintable(folder + description));
    }
    QStringList names() const {
        QStringList out;
        for (int i = 0; i < model_.rowCount(); ++i) {
            const QString path = model_.row(i).displayPath;
            out << path.mid(path.lastIndexOf(u'/') + 1) + u'\t' + model_.row(i).label;
        }
        return out;
    }
    std::function<void()> onPump;

private:
    const results::ResultsModel& model_;
};

QStringList searchKodak(const QString& folder, int workers,
                        const std::function<void()>& onPump = {}) {
    results::ResultsModel model;
    Rows rows(model);
    rows.onPump = onPump;
    SearchOptions options;
    options.workers = workers;
    options.pumpInterval = std::chrono::milliseconds(1);
    searchFolders(
        {QFile::encodeName(folder)},
        [] {
            return Query{QStringLiteral("Kodak"), CaseMode::MustAgree};
        },
        true, rows, options);
    return rows.names();
}

QString statusLine(pid_t pid, const QByteArray& key) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return QString::fromLatin1(line.mid(key.size() + 1).trimmed());
    }
    return {};
}

} // namespace

class TestReaderIsolation : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        extraction::configure({});
        DetailColumns::clearCache();
    }

    void aFaultCostsOneFile_data() {
        QTest::addColumn<QByteArray>("fault");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<int>("workers");
        QTest::addColumn<int>("deadline");
        // Deadlines leave ordinary files room on a busy machine.
        QTest::addRow("crash, two workers") << QByteArray("crash") << Crashed << 2 << 5000;
        QTest::addRow("crash, on the walk's thread") << QByteArray("crash") << Crashed << 0 << 5000;
        QTest::addRow("hang") << QByteArray("hang") << "took longer than 2 s" << 2 << 2000;
        if (!sanitizerBuild()) // the address-space limit is off where AddressSanitizer runs
            QTest::addRow("endless allocation")
                << QByteArray("allocate") << "ran out of memory" << 2 << 20000;
    }
    void aFaultCostsOneFile() {
        QFETCH(QByteArray, fault);
        QFETCH(QString, cause);
        QFETCH(int, workers);
        QFETCH(int, deadline);
        QTemporaryDir dir;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        // Named as a photo so that the photo reader gets it; its name also matches.
        writeFault(dir.filePath(QStringLiteral("b Kodak.jpg")), fault);
        writeFault(dir.filePath(QStringLiteral("c.jpg")), fault);
        writeKodakPhoto(dir.filePath(QStringLiteral("d.jpg")));
        useHelpers(std::chrono::milliseconds(deadline));
        FaultLog log;

        const QStringList expected = {
            QStringLiteral("a.jpg\t[Camera maker] Kodak"),
            QStringLiteral("b Kodak.jpg\t[Name] b Kodak.jpg"),
            QStringLiteral("d.jpg\t[Camera maker] Kodak"),
        };
        QCOMPARE(searchKodak(dir.path(), workers), expected);
        // The file whose name matched was never read; the other was, once.
        const QList<Fault> faults = log.faults();
        QCOMPARE(faults.size(), 1);
        QCOMPARE(faults[0].name, QStringLiteral("c.jpg"));
        QVERIFY2(faults[0].cause.contains(cause), qPrintable(faults[0].cause));

        // Never tried again, not even by a later search that forgot every detail.
        DetailColumns::clearCache();
        QCOMPARE(searchKodak(dir.path(), workers), expected);
        QCOMPARE(log.faults().size(), 1);
        DetailColumns details(QFile::encodeName(dir.filePath(QStringLiteral("c.jpg"))));
        QCOMPARE(details.value(Comments), QString());
        QVERIFY(details.problems().join(u'\n').contains(cause));
    }

    // The store remembers a file whose reader failed as one without details, so a later process
    // does not feed it to a reader again.
    void theStoreRemembersAFault() {
        QTemporaryDir dir;
        QTemporaryDir storeFolder;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        writeFault(dir.filePath(QStringLiteral("c.jpg")), "crash");
        useHelpers();
        store::StoreOptions options;
        options.folder = storeFolder.path();
        options.settleTime = std::chrono::nanoseconds(0);
        const QByteArray faulty = QFile::encodeName(dir.filePath(QStringLiteral("c.jpg")));
        {
            FaultLog log;
            DetailColumns::useStore(std::make_shared<store::DetailStore>(options));
            QCOMPARE(searchKodak(dir.path(), 2).size(), 1);
            QCOMPARE(log.faults().size(), 1);
            DetailColumns::useStore(nullptr);
        }
        DetailColumns::clearCache();
        const auto again = std::make_shared<store::DetailStore>(options);
        DetailColumns::useStore(again);
        DetailColumns details(faulty);
        QCOMPARE(details.value(Comments), QString());
        // From the store: no reader ran, so no fault is named this time.
        QCOMPARE(details.problems(), QStringList());
        QCOMPARE(again->figures().hits, quint64(1));
        DetailColumns::useStore(nullptr);
    }

    // Every kind of file gives the same details in a helper as in this process; a large PDF,
    // which poppler would otherwise reopen by name, is read through memory.
    void helpersAndThisProcessAgree() {
        QTemporaryDir dir;
        fixtures::Tags tags;
        tags.title = QStringLiteral("Harbour Lights");
        tags.artist = QStringLiteral("Kodak Quartet");
        tags.author = QStringLiteral("Ann Example");
        tags.cameraMaker = QStringLiteral("Kodak");
        tags.keywords = {QStringLiteral("sea"), QStringLiteral("night")};
        tags.year = 2021;
        tags.pages = 3;
        QStringList paths;
        for (const fixtures::Kind kind : fixtures::allKinds()) {
            paths << dir.filePath(fixtures::kindName(kind) + u'.' + fixtures::extension(kind));
            fixtures::write(kind, paths.last(), tags);
        }
        const QString pdf = dir.filePath(QStringLiteral("PDF.pdf"));
        QFile small(pdf);
        QVERIFY(small.open(QIODevice::ReadOnly));
        QByteArray bytes = small.readAll();
        bytes.insert(bytes.indexOf('\n') + 1, "%" + QByteArray(400 * 1024, 'x') + "\n");
        paths << dir.filePath(QStringLiteral("large.pdf"));
        QVERIFY(writeBytes(paths.last(), bytes));

        const auto everyColumn = [&paths] {
            QStringList out;
            for (const QString& path : paths) {
                DetailColumns details(QFile::encodeName(path));
                for (int c = column::FirstEmbedded; c < column::Count; ++c)
                    out << details.value(c);
            }
            return out;
        };
        extraction::Settings inProcess;
        inProcess.isolation = extraction::Isolation::InProcess;
        extraction::configure(inProcess);
        DetailColumns::clearCache();
        const QStringList here = everyColumn();
        useHelpers();
        FaultLog log;
        QCOMPARE(everyColumn(), here);
        const qsizetype large = (paths.size() - 1) * (column::Count - 12);
        QCOMPARE(here[large + 36 - 12], QStringLiteral("3")); // pages of the large PDF
        QCOMPARE(here[large + 21 - 12], QStringLiteral("Harbour Lights"));
        QVERIFY(log.faults().isEmpty());
    }

    // A helper may have been taken over by the file it read: its answer is checked, never trusted.
    void answersAreCheckedBeforeUse_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("accepted");
        details::Answer answer;
        answer.read = true;
        answer.values[32 - details::column::FirstEmbedded] = QStringLiteral("Kodak");
        QByteArray good;
        details::encodeAnswer(answer, good);
        QTest::addRow("well formed") << good << true;
        QTest::addRow("cut short") << good.left(good.size() - 1) << false;
        QByteArray column = good;
        column[2] = char(41); // past the last column
        QTest::addRow("no such column") << column << false;
        column[2] = char(11); // a column the engine reads itself
        QTest::addRow("a column of the entry") << column << false;
        QByteArray length = good;
        length[3] = char(0xff); // claims more text than follows
        QTest::addRow("length past the end") << length << false;
        QByteArray verdict = good;
        verdict[1] = char(7);
        QTest::addRow("unknown verdict") << verdict << false;
        QTest::addRow("a request instead") << details::encodeRequest({1, 10}) << false;
    }
    void answersAreCheckedBeforeUse() {
        QFETCH(QByteArray, payload);
        QFETCH(bool, accepted);
        details::Answer answer;
        QCOMPARE(details::decodeAnswer(payload, answer), accepted);
        if (accepted) {
            QVERIFY(answer.read);
            QCOMPARE(answer.values[32 - details::column::FirstEmbedded], QStringLiteral("Kodak"));
        }
    }

    // Where no helper can start (here: one that exits at once), the details are still read, and
    // the user hears of it once.
    void withoutAWorkingHelperTheReadersRunHere() {
        QTemporaryDir dir;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        writeKodakPhoto(dir.filePath(QStringLiteral("b.jpg")));
        extraction::Settings settings;
        settings.program = QByteArrayLiteral("/bin/false");
        extraction::configure(settings);
        DetailColumns::clearCache();
        FaultLog log;
        QCOMPARE(searchKodak(dir.path(), 0),
                 QStringList({QStringLiteral("a.jpg\t[Camera maker] Kodak"),
                              QStringLiteral("b.jpg\t[Camera maker] Kodak")}));
        const QList<Fault> faults = log.faults();
        QCOMPARE(faults.size(), 1);
        QCOMPARE(faults[0].cause, QStringLiteral("the reader helper could not start: the reader "
                                                 "stopped unexpectedly (exit code 1); the readers "
                                                 "run inside this process"));
    }

    // What a parser taken over by a file tries first: reach files, the network, the terminal,
    // the environment, or lift its limits.
    void theSandboxRefusesWhatATakenOverParserTries() {
        QProcess describe;
        describe.start(QStringLiteral(QUILLMERE_EXTRACT), {QStringLiteral("--describe-sandbox")});
        QVERIFY(describe.waitForFinished(30000));
        const QString layers = QString::fromUtf8(describe.readAllStandardOutput());
        QCOMPARE(describe.exitCode(), 0);
        for (const char* layer : {"capabilities", "no new privileges", "limits", "environment",
                                  "descriptors", "system calls"})
            QVERIFY2(layers.contains(QLatin1String(layer) + QStringLiteral(": holds")),
                     qPrintable(layers));
        // Where the kernel gives no namespaces of our own, no path is hidden; the test says so.
        const bool emptyRoot = layers.contains(QStringLiteral("empty root: holds"));
        if (!emptyRoot)
            qInfo("no empty root here, so paths are not hidden: %s", qPrintable(layers));

        QTemporaryDir dir;
        const QString probe = dir.filePath(QStringLiteral("probe.jpg"));
        writeFault(probe, "probe");
        qputenv("QUILLMERE_TEST_SECRET", "token");
        useHelpers();
        DetailColumns details(QFile::encodeName(probe));
        qunsetenv("QUILLMERE_TEST_SECRET");
        const QString said = details.value(Comments);
        QVERIFY2(
            said.startsWith(QStringLiteral("open EPERM, openat EPERM, socket EPERM, unix "
                                           "socket EPERM, ") +
                            WriteRefused +
                            QStringLiteral(", dup EPERM, dup2 EPERM, copy below EPERM, copy "
                                           "above allowed, stdin empty, stat ") +
                            (emptyRoot ? QStringLiteral("ENOENT") : QStringLiteral("allowed")) +
                            QStringLiteral(", raise cpu EPERM, secret absent, pid ")),
            qPrintable(said));
        const pid_t pid = pid_t(said.section(QStringLiteral("pid "), 1).toInt());
        QVERIFY(extraction::runningHelpers() == std::vector<pid_t>{pid});
        QCOMPARE(statusLine(pid, "NoNewPrivs"), QStringLiteral("1"));
        QCOMPARE(statusLine(pid, "Seccomp"), QStringLiteral("2"));
        QCOMPARE(statusLine(pid, "CapEff"), QStringLiteral("0000000000000000"));
    }

    // A taken-over helper's text reaches no terminal and no strict parser: control characters
    // but tab, CR and LF, and a lone surrogate, become U+FFFD; the emoji's pair stays whole.
    void hostileTextIsCleanedOnTheWayIn() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("hostile.jpg"));
        writeFault(path, "hostile");
        useHelpers();
        const QString cleaned = QStringLiteral("a\uFFFD[31mb\uFFFD\tc\r\n\uFFFD\uFFFD\uFFFDd") +
                                QString::fromUcs4(U"\U0001F600");
        QCOMPARE(DetailColumns(QFile::encodeName(path)).value(Comments), cleaned);
        // Clean text is not copied or changed.
        QString plain = QStringLiteral("Kodak EasyShare \u05D0");
        const QChar* before = plain.constData();
        details::cleanText(plain);
        QCOMPARE(plain.constData(), before);
        QString lowFirst = QString(QChar(0xdc00)) + QChar(0xd800);
        details::cleanText(lowFirst);
        QCOMPARE(lowFirst, QStringLiteral("\uFFFD\uFFFD"));
    }

    // Killed or stopped from outside in the middle of a search: the search lists what an
    // undisturbed one lists, but for the one file in flight, which is reported.
    void aSearchGoesOnAfterAHelperIsKilled_data() {
        QTest::addColumn<int>("signal");
        QTest::addRow("SIGSEGV") << int(SIGSEGV);
        QTest::addRow("SIGSTOP") << int(SIGSTOP);
    }
    void aSearchGoesOnAfterAHelperIsKilled() {
        QFETCH(int, signal);
        QTemporaryDir dir;
        for (int i = 0; i < 12; ++i) {
            writeKodakPhoto(
                dir.filePath(QStringLiteral("photo %1.jpg").arg(i, 2, 10, QChar(u'0'))));
            writeFault(dir.filePath(QStringLiteral("slow %1.jpg").arg(i)), "slow100");
        }
        useHelpers(std::chrono::milliseconds(2000));
        const QStringList undisturbed = searchKodak(dir.path(), 2);
        QCOMPARE(undisturbed.size(), 12);
        // Both helpers back in the pool, so the next search's readers take these two and the
        // victim is sure to be asked for a file.
        QTRY_COMPARE(extraction::HelperPool::instance().idleCount(), std::size_t(2));

        DetailColumns::clearCache();
        FaultLog log;
        pid_t victim = -1;
        const QStringList disturbed = searchKodak(dir.path(), 2, [&] {
            const std::vector<pid_t> helpers = extraction::runningHelpers();
            if (victim < 0 && !helpers.empty()) {
                victim = helpers.front();
                ::kill(victim, signal);
            }
        });
        QVERIFY(victim > 0);
        const QList<Fault> faults = log.faults();
        QCOMPARE(faults.size(), 1);
        QStringList expected = undisturbed;
        expected.removeIf(
            [&](const QString& row) { return row.startsWith(faults[0].name + u'\t'); });
        QCOMPARE(disturbed, expected);
        QVERIFY(!extraction::runningHelpers().empty());
        for (pid_t pid : extraction::runningHelpers())
            QVERIFY(pid != victim);
    }

    // The window and the command-line program look for the helper beside their real executable.
    void theHelperIsFoundBesideTheProgram_data() {
        QTest::addColumn<QString>("layout");
        QTest::addRow("build tree") << "build";
        QTest::addRow("install prefix, through a link") << "prefix";
        QTest::addRow("no helper") << "missing";
    }
    void theHelperIsFoundBesideTheProgram() {
        QFETCH(QString, layout);
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("tree")));
        writeKodakPhoto(dir.filePath(QStringLiteral("tree/a.jpg")));
        QString program = QStringLiteral(QUILLMERE_CLI);
        if (layout != QLatin1String("build")) {
            const QString lib = dir.filePath(QStringLiteral("prefix/lib/quillmere"));
            QDir().mkpath(lib);
            QDir().mkpath(dir.filePath(QStringLiteral("prefix/bin")));
            QVERIFY(QFile::copy(program, lib + QStringLiteral("/quillmere-cli")));
            if (layout == QLatin1String("prefix"))
                QVERIFY(QFile::copy(QStringLiteral(QUILLMERE_EXTRACT),
                                    lib + QStringLiteral("/quillmere-extract")));
            program = dir.filePath(QStringLiteral("prefix/bin/quillmere-cli"));
            QVERIFY(QFile::link(QStringLiteral("../lib/quillmere/quillmere-cli"), program));
        }
        QProcess cli;
        cli.start(program, {QStringLiteral("find"), QStringLiteral("Kodak"),
                            dir.filePath(QStringLiteral("tree"))});
        QVERIFY(cli.waitForFinished(60000));
        const QByteArray errors = cli.readAllStandardError();
        QCOMPARE(cli.readAllStandardOutput(),
                 QFile::encodeName(dir.filePath(QStringLiteral("tree/a.jpg"))) +
                     "\t[Camera maker] Kodak\n");
        QCOMPARE(errors.contains("is not installed beside this program"),
                 layout == QLatin1String("missing"));
    }

    // A helper's memory stays the same however many files it reads.
    void aHelperStaysFlat() {
        if (sanitizerBuild())
            QSKIP("AddressSanitizer holds freed memory back for a while");
        QTemporaryDir dir;
        writeKodakPhoto(dir.filePath(QStringLiteral("a.jpg")));
        useHelpers();
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("a.jpg")));
        const auto readMany = [&] {
            for (int i = 0; i < 300; ++i) {
                DetailColumns::clearCache();
                DetailColumns details(path);
                QCOMPARE(details.value(32), QStringLiteral("Kodak"));
            }
        };
        readMany();
        const pid_t pid = extraction::runningHelpers().front();
        const int before = statusLine(pid, "VmRSS").section(u' ', 0, 0).toInt();
        readMany();
        readMany();
        const int after = statusLine(pid, "VmRSS").section(u' ', 0, 0).toInt();
        QVERIFY2(after - before < 1024,
                 qPrintable(QStringLiteral("%1 kB, then %2 kB").arg(before).arg(after)));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestReaderIsolation)
#include "test_reader_isolation.moc"
