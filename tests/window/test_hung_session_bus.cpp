// A session bus that takes connections but never answers, as a hung bus does. Qt connects to the
// bus once per process, so this has a test program of its own.

#include "support/test_main.h"
#include "window/file_manager.h"
#include "window/session_bus_probe.h"

#include <QElapsedTimer>
#include <QObject>
#include <QUrl>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quillmere::window;

class TestHungSessionBus : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int listener_ = -1;
    QByteArray address_;

private slots:
    void initTestCase() {
        // Connections wait in the queue of a socket that never accepts them: they are made, and
        // the bus's greeting never comes.
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(listener_ >= 0);
        const QByteArray path = QFile::encodeName(dir_.path()) + "/bus";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QVERIFY(size_t(path.size()) < sizeof address.sun_path);
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QVERIFY(::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                0);
        QVERIFY(::listen(listener_, 16) == 0);
        address_ = "unix:path=" + path;
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_);
    }

    void cleanupTestCase() {
        // The waiting connection fails, so Qt's connecting thread ends with the test.
        ::close(listener_);
    }

    // The probe the window makes before it starts tells a silent bus from one that is not there
    // and from addresses it cannot try; it never waits past its deadline.
    void theProbeTellsASilentBus() {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(
            probeBus(address_ + ",guid=0123;unix:path=/elsewhere", std::chrono::milliseconds(300)),
            BusGreeting::Silent);
        QVERIFY(clock.elapsed() < 2000);
        QCOMPARE(probeBus(address_ + "-gone", std::chrono::seconds(5)), BusGreeting::Refused);
        QCOMPARE(probeBus("unix:abstract=quillmere-no-such-bus", std::chrono::seconds(5)),
                 BusGreeting::Refused);
        QCOMPARE(probeBus("tcp:host=localhost,port=1", std::chrono::seconds(5)),
                 BusGreeting::NotProbed);
        QCOMPARE(probeBus("unix:path=" + QByteArray(200, 'x'), std::chrono::seconds(5)),
                 BusGreeting::NotProbed);
    }

    // Asking for the file manager returns at once, twice over, and each time the folders are
    // opened once the bus has had its time.
    void aHungBusHoldsNothingUp() {
        QObject context;
        QList<QUrl> opened;
        const auto open = [&opened](const QUrl& url) { opened.append(url); };
        const std::vector<QByteArray> paths{"/srv/photos/a.jpg", "/srv/photos/b.jpg",
                                            "/srv/music/c.mp3"};
        for (int attempt = 0; attempt < 2; ++attempt) {
            opened.clear();
            QElapsedTimer clock;
            clock.start();
            showInFileManager(paths, open, &context, 300);
            QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(opened.isEmpty());
            QTRY_COMPARE(opened.size(), 2);
            QCOMPARE(opened[0].toEncoded(), QByteArray("file:///srv/photos"));
            QCOMPARE(opened[1].toEncoded(), QByteArray("file:///srv/music"));
        }
    }
};

QUILLMERE_TEST_MAIN(TestHungSessionBus)
#include "test_hung_session_bus.moc"
