#include "app/failure_report.h"
#include "support/test_main.h"
#include "window/hand_cursor.h"

#include <QtEndian>
#include <QtTest>

using namespace quillmere;
using namespace quillmere::app;
using namespace quillmere::window;
using namespace quillmere::test;

namespace {

// A 32-bit cursor of the given size, every pixel the same colour, hot spot as given.
QByteArray cursorBytes(int size, QRgb colour, int hotX, int hotY, quint16 type = 2) {
    QByteArray out;
    auto put16 = [&out](quint32 v) {
        out.append(char(v & 0xff));
        out.append(char((v >> 8) & 0xff));
    };
    auto put32 = [&](quint32 v) {
        put16(v & 0xffff);
        put16(v >> 16);
    };
    const int maskRow = ((size + 31) / 32) * 4;
    const quint32 imageBytes = 40 + size * size * 4 + size * maskRow;
    put16(0);
    put16(type);
    put16(1);
    out.append(char(size));
    out.append(char(size));
    out.append(char(0));
    out.append(char(0));
    put16(hotX);
    put16(hotY);
    put32(imageBytes);
    put32(22);
    put32(40);
    put32(size);
    put32(size * 2);
    put16(1);
    put16(32);
    for (int i = 0; i < 6; ++i)
        put32(i == 1 ? imageBytes - 40 : 0);
    for (int i = 0; i < size * size; ++i)
        put32(colour);
    out.append(QByteArray(size * maskRow, '\0'));
    return out;
}

} // namespace

class TestHandCursor : public QObject {
    Q_OBJECT
private slots:
    void decodesPictureAndHotSpot_data();
    void decodesPictureAndHotSpot();
    void rejectsWhatIsNotACursor_data();
    void rejectsWhatIsNotACursor();
    void shippedCursorLoads();
    void unreadableOrHugeFileIsAFailure();
};

void TestHandCursor::decodesPictureAndHotSpot_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("hotX");
    QTest::addColumn<int>("hotY");
    QTest::addColumn<QPoint>("expected");
    QTest::addRow("corner") << 32 << 0 << 0 << QPoint(0, 0);
    QTest::addRow("inside") << 32 << 6 << 1 << QPoint(6, 1);
    QTest::addRow("small") << 16 << 15 << 3 << QPoint(15, 3);
    QTest::addRow("outside is kept on the picture") << 16 << 400 << 900 << QPoint(15, 15);
}

void TestHandCursor::decodesPictureAndHotSpot() {
    QFETCH(int, size);
    QFETCH(int, hotX);
    QFETCH(int, hotY);
    QFETCH(QPoint, expected);
    const CursorPicture picture = decodeCursorFile(cursorBytes(size, 0xff2050a0, hotX, hotY));
    QCOMPARE(picture.image.size(), QSize(size, size));
    QCOMPARE(picture.image.pixel(size / 2, size / 2), QRgb(0xff2050a0));
    QCOMPARE(picture.hotSpot, expected);
}

void TestHandCursor::rejectsWhatIsNotACursor_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = cursorBytes(32, 0xff000000, 3, 3);
    QByteArray badType = good;
    badType[2] = 7;
    QByteArray noImages = good;
    noImages[4] = 0;
    QByteArray farOffset = good;
    farOffset[18] = char(0x7f);
    farOffset[21] = char(0x7f);
    QTest::addRow("empty") << QByteArray();
    QTest::addRow("header only") << good.left(6);
    QTest::addRow("truncated picture") << good.left(60);
    QTest::addRow("wrong type") << badType;
    QTest::addRow("no images") << noImages;
    QTest::addRow("image beyond the end") << farOffset;
    QTest::addRow("text") << QByteArray("this is not a cursor file at all, just text\n");
    QTest::addRow("PNG signature") << QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(40, 'x');
}

void TestHandCursor::rejectsWhatIsNotACursor() {
    QFETCH(QByteArray, bytes);
    QVERIFY_THROWS_EXCEPTION(Failure, decodeCursorFile(bytes));
}

void TestHandCursor::shippedCursorLoads() {
    QFile file(QStringLiteral(QUILLMERE_HAND_CURSOR_FILE));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const CursorPicture picture = decodeCursorFile(file.readAll());
    QCOMPARE(picture.image.size(), QSize(32, 32));
    QCOMPARE(picture.hotSpot, QPoint(6, 1));
    // The hot spot lies on the outline of the fingertip, and the corner is transparent.
    QCOMPARE(qAlpha(picture.image.pixel(6, 1)), 255);
    QCOMPARE(qAlpha(picture.image.pixel(31, 0)), 0);
    const QCursor cursor = loadCursorFile(file.fileName());
    QCOMPARE(cursor.shape(), Qt::BitmapCursor);
    QCOMPARE(cursor.hotSpot(), QPoint(6, 1));
}

void TestHandCursor::unreadableOrHugeFileIsAFailure() {
    QTemporaryDir dir;
    QVERIFY_THROWS_EXCEPTION(Failure, loadCursorFile(dir.filePath(QStringLiteral("none.cur"))));
    QVERIFY_THROWS_EXCEPTION(Failure, loadCursorFile(dir.path()));
    QFile huge(dir.filePath(QStringLiteral("huge.cur")));
    QVERIFY(huge.open(QIODevice::WriteOnly));
    QVERIFY(huge.resize(8 << 20));
    huge.close();
    QVERIFY_THROWS_EXCEPTION(Failure, loadCursorFile(huge.fileName()));
}

QUILLMERE_TEST_MAIN(TestHandCursor)
#include "test_hand_cursor.moc"
