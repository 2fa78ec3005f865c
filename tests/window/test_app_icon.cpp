// The icon the desktop shows (our SVG, drawn by the icon theme's renderer) must stay the picture
// the window paints for itself: the two are drawn separately and must be changed together.

#include "support/test_main.h"
#include "window/app_icon.h"

#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

using namespace quillmere;
using namespace quillmere::window;
using namespace quillmere::test;

namespace {

// Mean difference per channel over all pixels, 0 (same) to 255, straight (not premultiplied).
double meanDifference(const QImage& a, const QImage& b) {
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        for (int column = 0; column < x.width(); ++column) {
            const QRgb p = x.pixel(column, row);
            const QRgb q = y.pixel(column, row);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q)) + std::abs(qAlpha(p) - qAlpha(q));
        }
    }
    return sum / (4.0 * x.width() * x.height());
}

} // namespace

class TestAppIcon : public QObject {
    Q_OBJECT
private slots:
    void paintsEverySizeOnTransparentCorners() {
        for (int size : kApplicationIconSizes) {
            const QImage icon = paintApplicationIcon(size);
            QCOMPARE(icon.size(), QSize(size, size));
            QCOMPARE(qAlpha(icon.pixel(0, 0)), 0); // rounded corner
            QCOMPARE(qAlpha(icon.pixel(size / 2, size / 2)), 255);
        }
        QCOMPARE(applicationIcon().availableSizes().size(), int(kApplicationIconSizes.size()));
    }

    void svgDrawsThePaintedIcon_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("16") << 16;
        QTest::newRow("64") << 64;
        QTest::newRow("256") << 256;
    }
    void svgDrawsThePaintedIcon() {
        QFETCH(int, size);
        QTemporaryDir folder;
        const QString rendered = folder.filePath(QStringLiteral("icon.png"));
        QProcess rsvg;
        rsvg.start(QStringLiteral("rsvg-convert"),
                   {QStringLiteral("-w"), QString::number(size), QStringLiteral("-h"),
                    QString::number(size), QStringLiteral("-o"), rendered,
                    QStringLiteral(QUILLMERE_ICON_SVG)});
        QVERIFY2(rsvg.waitForFinished(), "rsvg-convert did not run");
        QCOMPARE(rsvg.exitCode(), 0);
        const QImage fromSvg(rendered);
        QCOMPARE(fromSvg.size(), QSize(size, size));
        // Antialiasing differs a little between the two renderers (a mean of 0.2 to 0.7); a moved
        // or resized shape moves the mean by far more.
        const double difference = meanDifference(fromSvg, paintApplicationIcon(size));
        QVERIFY2(difference < 1.5,
                 qPrintable(QStringLiteral("mean difference %1").arg(difference)));

        // A changed colour shows inside each flat area: background, sheet, fold, text line, lens
        // ring and handle (points in the 64-unit drawing).
        if (size < 64)
            return;
        const QImage painted = paintApplicationIcon(size).convertToFormat(QImage::Format_ARGB32);
        const QImage svg = fromSvg.convertToFormat(QImage::Format_ARGB32);
        for (const QPointF point : {QPointF(6, 32), QPointF(14, 12), QPointF(40, 15),
                                    QPointF(19, 25.25), QPointF(53, 53), QPointF(39, 29)}) {
            const QPoint pixel = (point * size / 64.0).toPoint();
            const QRgb p = painted.pixel(pixel);
            const QRgb q = svg.pixel(pixel);
            const int worst =
                std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                          std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            QVERIFY2(worst <= 3, qPrintable(QStringLiteral("at %1,%2: painted %3, SVG %4")
                                                .arg(point.x())
                                                .arg(point.y())
                                                .arg(p, 8, 16)
                                                .arg(q, 8, 16)));
        }
    }
};

QUILLMERE_TEST_MAIN(TestAppIcon)
#include "test_app_icon.moc"
