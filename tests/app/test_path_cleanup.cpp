#include "app/fs/path_cleanup.h"
#include "support/test_main.h"

using quillmere::app::fs::CollapseBackslashes;
using quillmere::app::fs::FileNameOfPath;

class TestPathCleanup : public QObject {
    Q_OBJECT

private slots:
    void collapse_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("cleaned");
        QTest::addRow("empty") << ""
                               << "";
        QTest::addRow("ordinary") << "/home/u/Photos"
                                  << "/home/u/Photos";
        QTest::addRow("root") << "/"
                              << "/";
        QTest::addRow("pair inside") << "/home//u"
                                     << "/home/u";
        QTest::addRow("three inside, one pass") << "/home///u"
                                                << "/home//u";
        QTest::addRow("four inside") << "/home////u"
                                     << "/home//u";
        QTest::addRow("five inside") << "/a/////b"
                                     << "/a///b";
        QTest::addRow("trailing pair") << "/a//"
                                       << "/a/";
        QTest::addRow("two leading") << "//srv/share"
                                     << "/srv/share";
        QTest::addRow("three leading") << "///srv//x"
                                       << "/srv/x";
        QTest::addRow("separators only") << "////"
                                         << "/";
        QTest::addRow("relative") << "a//b///c"
                                  << "a/b//c";
        QTest::addRow("backslashes are names here") << "a\\\\b"
                                                    << "a\\\\b";
        QTest::addRow("non-Latin") << "/фото//2024"
                                   << "/фото/2024";
    }
    void collapse() {
        QFETCH(QString, path);
        QFETCH(QString, cleaned);
        QCOMPARE(CollapseBackslashes(path), cleaned);
        // The byte version agrees, and leaves bytes that are not UTF-8 as they are.
        QCOMPARE(CollapseBackslashes(path.toUtf8()), cleaned.toUtf8());
        QCOMPARE(CollapseBackslashes(QByteArray("///\xe9//x")), QByteArray("/\xe9/x"));
    }

    void fileName_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addRow("folder") << "/home/u/Photos"
                                << "Photos";
        QTest::addRow("trailing separator") << "/opt/q/Samples/"
                                            << "";
        QTest::addRow("root") << "/"
                              << "";
        QTest::addRow("no separator") << "Photos"
                                      << "Photos";
        QTest::addRow("empty") << ""
                               << "";
    }
    void fileName() {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(FileNameOfPath(path), name);
    }
};

QUILLMERE_CORE_TEST_MAIN(TestPathCleanup)
#include "test_path_cleanup.moc"
