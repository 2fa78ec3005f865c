#pragma once

#include "app/help_links.h"

#include <QByteArray>

#include <vector>

class QObject;

namespace quillmere::window {

// How long the file manager has to answer before its folders are opened instead: long enough for
// one that starts on demand, far shorter than the bus's own 25 seconds.
constexpr int kFileManagerTimeoutMs = 4000;

// The URL of a path's own bytes, for the desktop's opener.
QUrl fileUrl(const QByteArray& nativePath);

// Shows the files in the desktop's file manager with each one selected
// (org.freedesktop.FileManager1.ShowItems on the session bus). The call does not wait, not even for
// the bus to be reached: when no file manager answers within `timeoutMs`, or the bus is not there
// or does not answer within `timeoutMs`, each file's folder is opened with `open` instead, once
// per folder. The answer is dropped when `context` is gone.
void showInFileManager(const std::vector<QByteArray>& nativePaths, const app::UrlOpener& open,
                       QObject* context, int timeoutMs = kFileManagerTimeoutMs);

} // namespace quillmere::window
