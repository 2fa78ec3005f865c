#include "app/escaped_text.h"
#include "support/test_main.h"

#include <QStringDecoder>

using namespace quillmere;
using namespace quillmere::app;

class TestEscapedText : public QObject {
    Q_OBJECT

private slots:
    // Each row: a name's own bytes, then how it is written where people read it and where a
    // program reads it. Where the bytes are UTF-8, the text form must agree with the byte form.
    void escapes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("forPeople");
        QTest::addColumn<QByteArray>("forPrograms");
        QTest::addRow("plain text, backslash and all, as it is")
            << QByteArray("C:\\a b\\n.txt") << QByteArray("C:\\a b\\n.txt")
            << QByteArray("C:\\\\a b\\\\n.txt");
        QTest::addRow("tab, line feed, return: backslashes doubled too")
            << QByteArray("a\tb\nc\rd\\e") << QByteArray("a\\tb\\nc\\rd\\\\e")
            << QByteArray("a\\tb\\nc\\rd\\\\e");
        QTest::addRow("other controls, delete and C1 as hex")
            << QByteArray("\x1b[31m\x7f\xc2\x85.") << QByteArray("\\x1b[31m\\x7f\\x85.")
            << QByteArray("\\x1b[31m\\x7f\\x85.");
        QTest::addRow("right-to-left override makes txt.exe look like exe.txt")
            << QByteArray("invoice\xe2\x80\xaetxt.exe") << QByteArray("invoice\\u202etxt.exe")
            << QByteArray("invoice\\u202etxt.exe");
        QTest::addRow("every reordering or breaking format character")
            << QByteArray("\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9"
                          "\xe2\x80\xa8\xe2\x80\xa9")
            << QByteArray("\\u061c\\u200e\\u200f\\u202a\\u2066\\u2069\\u2028\\u2029")
            << QByteArray("\\u061c\\u200e\\u200f\\u202a\\u2066\\u2069\\u2028\\u2029");
        QTest::addRow("neighbours of those are left alone")
            << QByteArray("\xc2\xa0\xd8\x9b\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xaa\xf0\x9f\x93\xb7")
            << QByteArray("\xc2\xa0\xd8\x9b\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xaa\xf0\x9f\x93\xb7")
            << QByteArray("\xc2\xa0\xd8\x9b\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xaa\xf0\x9f\x93\xb7");
        // Not UTF-8: the bytes stay, a cut sequence is not read past the end.
        QTest::addRow("invalid bytes kept beside an escape")
            << QByteArray("caf\xe9\n\xe2\x80") << QByteArray("caf\xe9\\n\xe2\x80")
            << QByteArray("caf\xe9\\n\xe2\x80");
    }
    void escapes() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, forPeople);
        QFETCH(QByteArray, forPrograms);
        QCOMPARE(escapedText(bytes), forPeople);
        QCOMPARE(escapedText(bytes, PlainBackslashes::Escaped), forPrograms);
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString text = utf8.decode(bytes);
        if (utf8.hasError())
            return;
        QCOMPARE(escapedText(text), QString::fromUtf8(forPeople));
        QCOMPARE(escapedText(text, PlainBackslashes::Escaped), QString::fromUtf8(forPrograms));
        QCOMPARE(needsEscaping(text), forPeople != bytes);
    }
};

QUILLMERE_CORE_TEST_MAIN(TestEscapedText)
#include "test_escaped_text.moc"
