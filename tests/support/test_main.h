#pragma once

// QTEST_MAIN replacement: points HOME and the XDG folders at a temporary folder before the
// application object exists, so no test can touch the real user's settings, Trash or files.

#include <QApplication>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

namespace quillmere::test {

inline void isolateUserFolders(const QTemporaryDir& home) {
    const QByteArray root = QFile::encodeName(home.path());
    qputenv("HOME", root);
    qputenv("XDG_CONFIG_HOME", root + "/.config");
    qputenv("XDG_DATA_HOME", root + "/.local/share");
    qputenv("XDG_CACHE_HOME", root + "/.cache");
    qputenv("XDG_RUNTIME_DIR", root + "/.runtime");
    QDir(home.path()).mkpath(QStringLiteral(".runtime"));
    QFile::setPermissions(home.path() + QStringLiteral("/.runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace quillmere::test

#define QUILLMERE_TEST_MAIN(TestClass)                                                             \
    int main(int argc, char** argv) {                                                              \
        QTemporaryDir home;                                                                        \
        if (!home.isValid())                                                                       \
            return 2;                                                                              \
        quillmere::test::isolateUserFolders(home);                                                 \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestClass tc;                                                                              \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

// The same for tests of GUI-free handlers: no QApplication, so a widget cannot sneak in.
#define QUILLMERE_CORE_TEST_MAIN(TestClass)                                                        \
    int main(int argc, char** argv) {                                                              \
        QTemporaryDir home;                                                                        \
        if (!home.isValid())                                                                       \
            return 2;                                                                              \
        quillmere::test::isolateUserFolders(home);                                                 \
        QCoreApplication app(argc, argv);                                                          \
        TestClass tc;                                                                              \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
