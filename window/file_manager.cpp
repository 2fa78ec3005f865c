#include "window/file_manager.h"

#include "results/path_text.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <memory>

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

} // namespace

QUrl fileUrl(const QByteArray& nativePath) {
    return QUrl::fromEncoded(results::fileUri(nativePath), QUrl::StrictMode);
}

void showInFileManager(const std::vector<QByteArray>& nativePaths, const app::UrlOpener& open,
                       QObject* context, int timeoutMs) {
    if (nativePaths.empty())
        return;
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

} // namespace quillmere::window
