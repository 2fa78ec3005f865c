#include "details/media_values.h"
#include "support/test_main.h"

using namespace quillmere;
using namespace quillmere::details;
using namespace quillmere::test;

class TestMediaValues : public QObject {
    Q_OBJECT

private slots:
    void length_data() {
        QTest::addColumn<qint64>("milliseconds");
        QTest::addColumn<QString>("expected");
        QTest::addRow("none") << qint64(0) << QString();
        QTest::addRow("negative") << qint64(-5000) << QString();
        QTest::addRow("under half a second") << qint64(499) << QStringLiteral("00:00:00");
        QTest::addRow("half a second rounds up") << qint64(500) << QStringLiteral("00:00:01");
        QTest::addRow("3:25") << qint64(205000) << QStringLiteral("00:03:25");
        QTest::addRow("just under a minute") << qint64(59600) << QStringLiteral("00:01:00");
        QTest::addRow("hours") << qint64(3725000) << QStringLiteral("01:02:05");
        QTest::addRow("over 99 hours") << qint64(360000000) << QStringLiteral("100:00:00");
    }
    void length() {
        QFETCH(qint64, milliseconds);
        QFETCH(QString, expected);
        QCOMPARE(lengthText(milliseconds), expected);
    }

    void bitRate_data() {
        QTest::addColumn<qint64>("kbps");
        QTest::addColumn<QString>("expected");
        QTest::addRow("unknown") << qint64(0) << QString();
        QTest::addRow("negative") << qint64(-1) << QString();
        QTest::addRow("320") << qint64(320) << QStringLiteral("320kbps");
        QTest::addRow("video") << qint64(12345) << QStringLiteral("12345kbps");
    }
    void bitRate() {
        QFETCH(qint64, kbps);
        QFETCH(QString, expected);
        QCOMPARE(bitRateText(kbps), expected);
    }

    void stars_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* source, int value, const char* expected) {
            QTest::addRow("%s %d", source, value)
                << QString::fromLatin1(source) << value << QString::fromLatin1(expected);
        };
        row("POPM", 0, "");
        row("POPM", 1, "1 Star");
        row("POPM", 31, "1 Star");
        row("POPM", 32, "2 Stars");
        row("POPM", 64, "2 Stars");
        row("POPM", 128, "3 Stars");
        row("POPM", 159, "3 Stars");
        row("POPM", 196, "4 Stars");
        row("POPM", 224, "5 Stars");
        row("POPM", 255, "5 Stars");
        row("POPM", 256, "");
        row("percent", 0, "");
        row("percent", 1, "1 Star");
        row("percent", 20, "1 Star");
        row("percent", 25, "2 Stars");
        row("percent", 50, "3 Stars");
        row("percent", 60, "3 Stars");
        row("percent", 75, "4 Stars");
        row("percent", 99, "5 Stars");
        row("percent", 100, "5 Stars");
        row("percent", 101, "");
    }
    void stars() {
        QFETCH(QString, source);
        QFETCH(int, value);
        QFETCH(QString, expected);
        const int stars = source == QLatin1String("POPM") ? starsFromPopularimeter(value)
                                                          : starsFromPercent(value);
        QCOMPARE(starsText(stars), expected);
    }

    void ratingText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("stars");
        QTest::addRow("stars") << QStringLiteral("3") << 3;
        QTest::addRow("five stars") << QStringLiteral(" 5 ") << 5;
        QTest::addRow("percent") << QStringLiteral("80") << 4;
        QTest::addRow("fraction") << QStringLiteral("0.6") << 3;
        QTest::addRow("whole fraction") << QStringLiteral("1.0") << 1;
        QTest::addRow("zero") << QStringLiteral("0") << 0;
        QTest::addRow("too big") << QStringLiteral("1000") << 0;
        QTest::addRow("words") << QStringLiteral("great") << 0;
        QTest::addRow("not a number") << QStringLiteral("nan") << 0;
        QTest::addRow("infinite") << QStringLiteral("inf") << 0;
        QTest::addRow("empty") << QString() << 0;
    }
    void ratingText() {
        QFETCH(QString, text);
        QFETCH(int, stars);
        QCOMPARE(starsFromRatingText(text), stars);
    }

    void numbers_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("track");
        QTest::addColumn<int>("year");
        QTest::addRow("plain") << QStringLiteral("2019") << 2019 << 2019;
        QTest::addRow("of total") << QStringLiteral("3/12") << 3 << 0;
        QTest::addRow("ISO date") << QStringLiteral("2019-05-01") << 2019 << 2019;
        QTest::addRow("date and time") << QStringLiteral("2019-05-01T10:00:00Z") << 2019 << 2019;
        QTest::addRow("five digits") << QStringLiteral("20190") << 20190 << 0;
        QTest::addRow("blank around") << QStringLiteral("  7 ") << 7 << 0;
        QTest::addRow("words") << QStringLiteral("side A") << 0 << 0;
        QTest::addRow("huge") << QStringLiteral("99999999999999") << 999999999 << 0;
        QTest::addRow("Arabic-Indic digits") << QStringLiteral("\u0663") << 0 << 0;
        QTest::addRow("empty") << QString() << 0 << 0;
    }
    void numbers() {
        QFETCH(QString, text);
        QFETCH(int, track);
        QFETCH(int, year);
        QCOMPARE(leadingNumber(text), track);
        QCOMPARE(yearOfDate(text), year);
    }
};

QUILLMERE_CORE_TEST_MAIN(TestMediaValues)
#include "test_media_values.moc"
