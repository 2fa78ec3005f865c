#include "results/fixed_width_text.h"
#include "results/results_model.h"
#include "support/test_main.h"

using namespace quillmere;
using namespace quillmere::results;
using namespace quillmere::test;

class TestFixedWidthText : public QObject {
    Q_OBJECT

private slots:
    void paddedCell_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("line");
        QTest::addRow("padded") << "abc" << 6 << "abc   \t";
        QTest::addRow("as wide") << "abc" << 3 << "abc\t";
        QTest::addRow("wider than its width is not cut") << "abcdef" << 2 << "abcdef\t";
        QTest::addRow("empty") << "" << 3 << "   \t";
        QTest::addRow("blanks kept") << " a b " << 7 << " a b   \t";
        // One character outside the BMP is two code units wide.
        QTest::addRow("surrogate pair") << QString::fromUtf8("\xF0\x9F\x93\xB7x") << 4
                                        << QString::fromUtf8("\xF0\x9F\x93\xB7x \t");
    }
    void paddedCell() {
        QFETCH(QString, text);
        QFETCH(int, width);
        QFETCH(QString, line);
        QString built = QStringLiteral(">");
        results::appendPaddedCell(built, text, width);
        QCOMPARE(built, QStringLiteral(">") + line);
    }

    void clipboardLineEnd_data() {
        QTest::addColumn<QString>("built");
        QTest::addColumn<QString>("ended");
        QTest::addRow("padding of the last cell") << "a  \tb    \t"
                                                  << "a  \tb\r\n";
        QTest::addRow("blanks of the cell's own text") << "a\t b  \t"
                                                       << "a\t b\r\n";
        QTest::addRow("empty last cell keeps its tab") << "a  \t\t"
                                                       << "a  \t\r\n";
        QTest::addRow("tabs are not blanks") << "a\tb\t \t"
                                             << "a\tb\t\r\n";
        QTest::addRow("earlier line untouched") << "x\r\n   \t"
                                                << "x\r\n\r\n";
    }
    void clipboardLineEnd() {
        QFETCH(QString, built);
        QFETCH(QString, ended);
        results::endClipboardLine(built);
        QCOMPARE(built, ended);
    }

    void widthsCountEveryRowAndVanishedRowsFail() {
        ResultsModel list;
        list.appendRow("/a", QStringLiteral("[Name] a"));
        list.appendRow("/longer/path", QStringLiteral("x"));
        list.setChecked(0, true);
        int cells = 0;
        const auto count = [&] { ++cells; };
        QCOMPARE(results::columnWidth(list, ResultsModel::PathColumn, 2, 0, count), 12);
        QCOMPARE(results::columnWidth(list, ResultsModel::LabelColumn, 2, 0, count), 8);
        QCOMPARE(results::columnWidth(list, ResultsModel::LabelColumn, 2, 30, count), 30);
        QCOMPARE(cells, 6);
        // A list shorter than when the pass began fails instead of reading past its end.
        QVERIFY_THROWS_EXCEPTION(std::exception,
                                 results::columnWidth(list, ResultsModel::PathColumn, 3, 0, count));
        QVERIFY_THROWS_EXCEPTION(std::exception, results::cellText(list, 2, 0));
        QVERIFY_THROWS_EXCEPTION(std::exception, results::rowIsTicked(list, -1));
        QVERIFY(results::rowIsTicked(list, 0));
        QCOMPARE(results::cellText(list, 1, ResultsModel::LabelColumn), QStringLiteral("x"));
    }
};

QUILLMERE_CORE_TEST_MAIN(TestFixedWidthText)
#include "test_fixed_width_text.moc"
