#include "results/path_text.h"
#include "results/results_model.h"
#include "support/test_main.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

using quillmere::results::ResultRow;
using quillmere::results::ResultsModel;

namespace {

QStringList dump(const ResultsModel& model) {
    QStringList lines;
    for (int r = 0; r < model.rowCount(); ++r) {
        const QModelIndex path = model.index(r, ResultsModel::PathColumn);
        const QModelIndex label = model.index(r, ResultsModel::LabelColumn);
        lines << path.data().toString() + QLatin1Char('|') + label.data().toString() +
                     QLatin1Char('|') +
                     (path.data(Qt::CheckStateRole).value<Qt::CheckState>() == Qt::Checked
                          ? QLatin1Char('x')
                          : QLatin1Char('-'));
    }
    return lines;
}

std::vector<ResultRow> rowsNamed(const QList<QByteArray>& paths) {
    std::vector<ResultRow> rows;
    for (const QByteArray& p : paths)
        rows.push_back({QString(), p, QStringLiteral("[Name] ") + QString::fromLatin1(p), false});
    return rows;
}

} // namespace

class TestResultsModel : public QObject {
    Q_OBJECT

private slots:
    void columnsAndCheckBoxes() {
        ResultsModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QVERIFY(model.appendRow("/a/b", QStringLiteral("[Name] b")));
        QCOMPARE(model.columnCount(), 2);
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Results"));
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Metadata"));
        QVERIFY(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsUserCheckable));
        QVERIFY(!model.flags(model.index(0, 1)).testFlag(Qt::ItemIsUserCheckable));
        QVERIFY(!model.setData(model.index(0, 1), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(!model.setData(model.index(0, 0), QStringLiteral("x"), Qt::EditRole));

        QSignalSpy changed(&model, &ResultsModel::dataChanged);
        QVERIFY(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(dump(model), QStringList{QStringLiteral("/a/b|[Name] b|x")});
        model.setChecked(0, false);
        QCOMPARE(dump(model), QStringList{QStringLiteral("/a/b|[Name] b|-")});
    }

    void appendsInOrderAndRefusesDuplicates() {
        ResultsModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &ResultsModel::rowsInserted);
        QCOMPARE(model.appendRows(rowsNamed({"/t/c", "/t/a", "/t/c", "/t/b"})), 3);
        QCOMPARE(inserted.count(), 1);
        QVERIFY(!model.appendRow("/t/a", QStringLiteral("[Title] other")));
        model.setChecked(1, true);
        // A row given as ticked still arrives unticked.
        std::vector<ResultRow> ticked{{QString(), "/t/d", QStringLiteral("[Name] d"), true}};
        QCOMPARE(model.appendRows(std::move(ticked)), 1);
        QCOMPARE(
            dump(model),
            (QStringList{QStringLiteral("/t/c|[Name] /t/c|-"), QStringLiteral("/t/a|[Name] /t/a|x"),
                         QStringLiteral("/t/b|[Name] /t/b|-"), QStringLiteral("/t/d|[Name] d|-")}));
    }

    void keepsNativeBytes() {
        ResultsModel model;
        const QByteArray odd("/t/zebra\xff\n.txt");
        QVERIFY(model.appendRow(odd, QStringLiteral("[Name] z")));
        QCOMPARE(model.row(0).nativePath, odd);
        QCOMPARE(model.index(0, 0).data(ResultsModel::NativePathRole).toByteArray(), odd);
        QVERIFY(model.isAlreadyListed(odd));
        // A different byte string that decodes to the same text is another file.
        const QByteArray lossy = QFile::encodeName(model.row(0).displayPath);
        QVERIFY(lossy != odd);
        QVERIFY(!model.isAlreadyListed(lossy));
    }

    void removalKeepsTheIndex_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("every"); // remove each row whose number is a multiple of this
        QTest::addRow("few ranges") << 40 << 7;
        QTest::addRow("many ranges") << 1000 << 3;
        QTest::addRow("all") << 200 << 1;
    }
    void removalKeepsTheIndex() {
        QFETCH(int, rows);
        QFETCH(int, every);
        ResultsModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QList<QByteArray> paths;
        for (int i = 0; i < rows; ++i)
            paths << "/r/" + QByteArray::number(i);
        model.appendRows(rowsNamed(paths));
        for (int i = 0; i < rows; i += 5)
            model.setChecked(i, true);

        const int removed = model.removeRowsIf(
            [&](const ResultRow& r) { return r.nativePath.mid(3).toInt() % every == 0; });
        QStringList expected;
        QStringList actual;
        int expectedRemoved = 0;
        for (int i = 0; i < rows; ++i) {
            const bool gone = i % every == 0;
            expectedRemoved += gone;
            if (!gone)
                expected << QStringLiteral("/r/%1|%2").arg(i).arg(i % 5 == 0 ? 'x' : '-');
            QCOMPARE(model.isAlreadyListed(paths[i]), !gone);
        }
        for (int r = 0; r < model.rowCount(); ++r)
            actual << model.row(r).displayPath + QLatin1Char('|') +
                          QLatin1Char(model.row(r).checked ? 'x' : '-');
        QCOMPARE(removed, expectedRemoved);
        QCOMPARE(actual, expected);

        // A removed path can be found again and comes back at the end.
        if (every > 1) {
            QVERIFY(model.appendRow(paths[0], QStringLiteral("[Name] again")));
            QCOMPARE(model.row(model.rowCount() - 1).nativePath, paths[0]);
        }
    }

    void removeRowsAndClear() {
        ResultsModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.appendRows(rowsNamed({"/a", "/b", "/c", "/d"}));
        QVERIFY(!model.removeRows(3, 2));
        QVERIFY(!model.removeRows(-1, 1));
        QVERIFY(model.removeRows(1, 2));
        QCOMPARE(dump(model),
                 (QStringList{QStringLiteral("/a|[Name] /a|-"), QStringLiteral("/d|[Name] /d|-")}));
        QVERIFY(!model.isAlreadyListed("/b"));
        QVERIFY(model.isAlreadyListed("/d"));
        model.clear();
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!model.isAlreadyListed("/a"));
    }

    // A batch larger than one insertion goes in several; duplicates are caught across them, and a
    // change made between two (here from the signal) is seen by the rest, which follow in order.
    void largeBatchInParts() {
        ResultsModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        const int count = int(ResultsModel::rowsPerInsertion) * 2 + 10;
        QList<QByteArray> paths;
        for (int i = 0; i < count; ++i)
            paths << "/p/" + QByteArray::number(i);
        paths << "/p/3"
              << "/p/" + QByteArray::number(count - 1);
        int insertions = 0;
        connect(&model, &ResultsModel::rowsInserted, this, [&] {
            if (++insertions == 1)
                model.removeRows(0, 2);
        });
        QCOMPARE(model.appendRows(rowsNamed(paths)), count);
        QCOMPARE(insertions, 3);
        QCOMPARE(model.rowCount(), count - 2);
        QCOMPARE(model.row(0).nativePath, QByteArray("/p/2"));
        QCOMPARE(model.row(model.rowCount() - 1).nativePath, paths[count - 1]);
        QVERIFY(!model.isAlreadyListed("/p/0"));
        QVERIFY(model.isAlreadyListed("/p/3"));
        QVERIFY(model.appendRow("/p/1", QString()));
        QVERIFY(!model.appendRow("/p/20000", QString()));
    }

    void holdsAMillionRows() {
        ResultsModel model;
        constexpr int count = 1'000'000;
        std::vector<ResultRow> rows;
        rows.reserve(count);
        for (int i = 0; i < count; ++i)
            rows.push_back(
                {QString(), "/m/" + QByteArray::number(i), QStringLiteral("[Name] x"), false});
        QCOMPARE(model.appendRows(std::move(rows)), count);
        QCOMPARE(model.rowCount(), count);
        // Past the 32767 rows a 16-bit counter would reach, the duplicate test still holds.
        QVERIFY(model.isAlreadyListed("/m/999999"));
        QVERIFY(model.isAlreadyListed("/m/40000"));
        QVERIFY(!model.appendRow("/m/500000", QString()));
        QCOMPARE(model.index(count - 1, 0).data().toString(), QStringLiteral("/m/999999"));
    }

    // Paths as text and as URIs: hostile bytes (cut, overlong and surrogate sequences, stray
    // continuation bytes, C0 and C1 controls, a backslash) each escaped on their own, valid UTF-8
    // kept; the URI percent-encodes every byte that is not unreserved.
    void pathsAsTextAndUris() {
        QCOMPARE(quillmere::results::oneLinePath("/a\\b\tc\nd\x01\x7f"),
                 QStringLiteral("/a\\\\b\\tc\\nd\\x01\\x7f"));
        QCOMPARE(quillmere::results::oneLinePath("/caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7"),
                 QStringLiteral("/caf\u00e9 \u20ac \U0001F4F7"));
        QCOMPARE(quillmere::results::oneLinePath("/x\xc2\x85y\xe2\x80\xaez\r"),
                 QStringLiteral("/x\\x85y\\u202ez\\r")); // a C1 control, a right-to-left override
        QCOMPARE(quillmere::results::oneLinePath("\xc0\xaf\xed\xa0\x80\x80\xe2\x82"),
                 QStringLiteral("\\xc0\\xaf\\xed\\xa0\\x80\\x80\\xe2\\x82"));
        QCOMPARE(quillmere::results::oneLinePath("\xf4\x90\x80\x80\xff"),
                 QStringLiteral("\\xf4\\x90\\x80\\x80\\xff")); // past U+10FFFF
        QCOMPARE(quillmere::results::fileUri("/a b/%/\xe9~-._\n"),
                 QByteArray("file:///a%20b/%25/%E9~-._%0A"));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestResultsModel)
#include "test_results_model.moc"
