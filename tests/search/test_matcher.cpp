#include "details/column_ids.h"
#include "details/value_formats.h"
#include "search/detail_columns.h"
#include "search/detail_sources.h"
#include "search/matcher.h"
#include "support/test_main.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace quillmere;
using namespace quillmere::details;
using namespace quillmere::search;
using namespace quillmere::test;
namespace column = quillmere::details::column;

class TestMatcher : public QObject {
    Q_OBJECT

    quillmere::search::DetailSources sources_;

private slots:
    void valueRules_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("phrase");
        QTest::addColumn<bool>("mustAgree");
        QTest::addColumn<bool>("ignored");
        QTest::addRow("same case") << "Kodak EasyShare"
                                   << "Kodak" << true << true;
        QTest::addRow("other case") << "ABC"
                                    << "abc" << false << true;
        QTest::addRow("inside") << "xxabcxx"
                                << "abc" << true << true;
        QTest::addRow("at the end") << "xxabc"
                                    << "abc" << true << true;
        QTest::addRow("absent") << "abd"
                                << "abc" << false << false;
        QTest::addRow("phrase longer") << "ab"
                                       << "abc" << false << false;
        QTest::addRow("empty value") << ""
                                     << "a" << false << false;
        QTest::addRow("the heading Filename") << "Filename"
                                              << "File" << false << false;
        QTest::addRow("Filename, other case") << "filename"
                                              << "File" << false << true;
        QTest::addRow("more than Filename") << "Filenames"
                                            << "File" << true << true;
        QTest::addRow("blanks kept") << "a b"
                                     << " b" << true << true;
        QTest::addRow("blanks not trimmed") << "ab"
                                            << " b" << false << false;
        QTest::addRow("accents fold by case only") << "ÉTÉ"
                                                   << "été" << false << true;
        QTest::addRow("not by accent") << "ete"
                                       << "été" << false << false;
        QTest::addRow("sharp s") << "STRASSE"
                                 << "straße" << false << false;
        QTest::addRow("Kelvin sign folds to k")
            << QStringLiteral("\u212Aodak") << "kodak" << false << true;
        QTest::addRow("found before a character beyond ASCII") << "Kodak é"
                                                               << "KODAK" << false << true;
        QTest::addRow("a character beyond ASCII inside") << "Ko\u00e9dak"
                                                         << "kodak" << false << false;
    }

    // Ignoring case, the answer is Qt's own for every mix of ASCII and characters that fold to
    // ASCII or that only look like it.
    void ignoredCaseAgreesWithQt() {
        const QString alphabet = QStringLiteral("aAkKsS \u212A\u017F\u0130\u0131\u00e9\u00c9");
        quint32 seed = 7;
        const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
        const auto text = [&](int longest) {
            QString made;
            for (int n = int(next() >> 16) % (longest + 1); n > 0; --n)
                made += alphabet[qsizetype(next() >> 16) % alphabet.size()];
            return made;
        };
        for (int round = 0; round < 20000; ++round) {
            const QString value = text(8);
            const QString phrase = text(3);
            if (value.isEmpty() || phrase.isEmpty())
                continue;
            QVERIFY2(valueMatches(value, {phrase, CaseMode::Ignored}) ==
                         value.contains(phrase, Qt::CaseInsensitive),
                     qPrintable(value + u'|' + phrase));
        }
    }
    void valueRules() {
        QFETCH(QString, value);
        QFETCH(QString, phrase);
        QFETCH(bool, mustAgree);
        QFETCH(bool, ignored);
        QCOMPARE(valueMatches(value, {phrase, CaseMode::MustAgree}), mustAgree);
        QCOMPARE(valueMatches(value, {phrase, CaseMode::Ignored}), ignored);
    }

    void labels_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("inFolder");
        QTest::addColumn<QString>("inSubFolder");
        QTest::addRow("titled") << "Camera maker"
                                << "Kodak"
                                << "[Camera maker] Kodak"
                                << "[Camera maker] Kodak";
        QTest::addRow("untitled") << ""
                                  << "Kodak"
                                  << "[Others] Kodak"
                                  << "[] Kodak";
        QTest::addRow("value with brackets") << "Title"
                                             << "[x] y"
                                             << "[Title] [x] y"
                                             << "[Title] [x] y";
    }
    void labels() {
        QFETCH(QString, title);
        QFETCH(QString, value);
        QFETCH(QString, inFolder);
        QFETCH(QString, inSubFolder);
        QCOMPARE(matchLabel(title, value, LabelForm::OthersWhenUntitled), inFolder);
        QCOMPARE(matchLabel(title, value, LabelForm::Bracketed), inSubFolder);
    }

    void labelTakesTheColumnTitle() {
        const ItemMatch name{0, QStringLiteral("zebra.txt")};
        QCOMPARE(matchLabel(name, LabelForm::Bracketed), QStringLiteral("[Name] zebra.txt"));
        // No column 41 exists, so its title is empty.
        const ItemMatch beyond{quillmere::details::column::Count, QStringLiteral("v")};
        QCOMPARE(matchLabel(beyond, LabelForm::OthersWhenUntitled), QStringLiteral("[Others] v"));
        QCOMPARE(matchLabel(beyond, LabelForm::Bracketed), QStringLiteral("[] v"));
    }

    void itemTestOnRealEntries_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("phrase");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("column"); // -1: no match
        const int name = column::Name;
        QTest::addRow("name") << QByteArray("my zebra.txt") << "zebra" << 0 << name;
        QTest::addRow("name, case must agree") << QByteArray("ZEBRA.txt") << "zebra" << 0 << -1;
        QTest::addRow("name, case ignored") << QByteArray("ZEBRA.txt") << "zebra" << 1 << name;
        QTest::addRow("exactly Filename") << QByteArray("Filename") << "Filename" << 0 << -1;
        QTest::addRow("newline in name") << QByteArray("zeb\nra") << "b\nr" << 0 << name;
        QTest::addRow("invalid UTF-8") << QByteArray("qq\xff\xfezebra") << "zebra" << 0 << name;
    }
    void itemTestOnRealEntries() {
        QFETCH(QByteArray, name);
        QFETCH(QString, phrase);
        QFETCH(int, mode);
        QFETCH(int, column);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray path = QFile::encodeName(dir.path()) + '/' + name;
        // QFile cannot reach a name that is not valid UTF-8; write through the bytes.
        FILE* f = std::fopen(path.constData(), "w");
        QVERIFY(f);
        std::fputs("plain words\n", f);
        std::fclose(f);

        const ItemMatch match = testItem(path, {phrase, CaseMode(mode)}, sources_);
        QCOMPARE(match.column, column);
        if (column == column::Name)
            QCOMPARE(match.value, QFile::decodeName(name));
    }

    // The size column is passed over for a phrase with a character no size text has: every
    // character any size shows must be known, and every piece of a real size must still match.
    void phrasesFromASizeStillFindIt() {
        const QString& known = fileSizeCharacters();
        std::vector<qint64> sizes = {0, 9, 999, 1000, 1023, 1024, 1025, 4710, 1048575, 1048576};
        for (qint64 size = 1; size > 0 && size < (qint64(1) << 62); size = size * 3 + 7)
            sizes.push_back(size);
        for (int i = 0; i < 2000; ++i)
            sizes.push_back(qint64(QRandomGenerator::global()->bounded(quint64(1) << 62)));
        for (const qint64 size : sizes) {
            const QString text = fileSizeText(size);
            for (const QChar c : text)
                QVERIFY2(known.contains(c), qPrintable(text));
        }

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray path = QFile::encodeName(dir.path()) + "/zz";
        QFile file(QFile::decodeName(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(QByteArray(4710, 'x')) == 4710);
        file.close();
        const QString text = fileSizeText(4710);
        for (qsizetype from = 0; from < text.size(); ++from) {
            for (qsizetype length = 1; from + length <= text.size(); ++length) {
                const QString piece = text.mid(from, length);
                if (piece.contains(u'z'))
                    continue;
                QCOMPARE(testItem(path, {piece, CaseMode::MustAgree}, sources_).column,
                         int(column::Size));
                QCOMPARE(testItem(path, {piece.toLower(), CaseMode::Ignored}, sources_).column,
                         int(column::Size));
            }
        }
        // Folded to "k" when case is ignored.
        const QString kelvin = text.right(2).replace(u'K', u'\u212A');
        QCOMPARE(testItem(path, {kelvin, CaseMode::Ignored}, sources_).column, int(column::Size));
        QVERIFY(testItem(path, {text + u'q', CaseMode::Ignored}, sources_).column !=
                int(column::Size));
    }

    void goneEntryMatchesNothing() {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.path()) + "/zebra-gone.txt";
        QVERIFY(
            !testItem(path, {QStringLiteral("zebra"), CaseMode::MustAgree}, sources_).matched());
    }
};

QUILLMERE_CORE_TEST_MAIN(TestMatcher)
#include "test_matcher.moc"
