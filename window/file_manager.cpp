#include "window/file_manager.h"

#include "results/path_text.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QFutureWatcher>
#include <QMutex>
#include <QPromise>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace quillmere::window {

namespace {

QByteArray folderOf(const QByteArray& nativePath) {
    const qsizetype slash = nativePath.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : nativePath.left(slash);
}

void openFolders(const std::vector<QByteArray>& nativePaths, const app::UrlOpener& open) {
    std::vector<QByteArray> opened;
    for (const QByteArray& path : nativePaths) {
        const QByteArray folder = folderOf(path);
        if (std::find(opened.begin(), opened.end(), folder) != opened.end())
            continue;
        opened.push_back(folder);
        open(fileUrl(folder));
    }
}

// Whether the session bus is there, asked off the window's thread: Qt connects on first use and
// waits for the bus's greeting, which a hung bus never sends, for half a minute and more. One
// attempt at a time; a failed one is made again when next asked, a connection is kept.
QFuture<bool> sessionBusReached() {
    static QMutex mutex;
    static std::optional<QFuture<bool>> attempt;
    const QMutexLocker lock(&mutex);
    if (attempt && (!attempt->isFinished() || attempt->result()))
        return *attempt;
    auto promise = std::make_shared<QPromise<bool>>();
    promise->start();
    attempt = promise->future();
    std::thread([promise] {
        promise->addResult(QDBusConnection::sessionBus().isConnected());
        promise->finish();
    }).detach();
    return *attempt;
}

void askFileManager(const std::vector<QByteArray>& nativePaths, const app::UrlOpener& open,
                    QObject* context, int timeoutMs) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolders(nativePaths, open);
        return;
    }
    QStringList uris;
    for (const QByteArray& path : nativePaths)
        uris << QString::fromLatin1(results::fileUri(path));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, nativePaths, open] {
                         watcher->deleteLater();
                         if (watcher->isError())
                             openFolders(nativePaths, open);
                     });
}

} // namespace

QUrl fileUrl(const QByteArray& nativePath) {
    return QUrl::fromEncoded(results::fileUri(nativePath), QUrl::StrictMode);
}

void showInFileManager(const std::vector<QByteArray>& nativePaths, const app::UrlOpener& open,
                       QObject* context, int timeoutMs) {
    if (nativePaths.empty())
        return;
    const QFuture<bool> reached = sessionBusReached();
    if (reached.isFinished()) {
        askFileManager(nativePaths, open, context, timeoutMs);
        return;
    }
    // The bus has as long as the file manager would have; whichever comes first decides.
    auto* waiting = new QFutureWatcher<bool>(context);
    const auto decided = std::make_shared<bool>(false);
    QObject::connect(waiting, &QFutureWatcher<bool>::finished, context,
                     [waiting, decided, nativePaths, open, context, timeoutMs] {
                         waiting->deleteLater();
                         if (!std::exchange(*decided, true))
                             askFileManager(nativePaths, open, context, timeoutMs);
                     });
    QTimer::singleShot(timeoutMs, waiting, [waiting, decided, nativePaths, open] {
        waiting->deleteLater();
        if (!std::exchange(*decided, true))
            openFolders(nativePaths, open);
    });
    waiting->setFuture(reached);
}

} // namespace quillmere::window
