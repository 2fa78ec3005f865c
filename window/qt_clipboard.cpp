#include "window/qt_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace quillmere::window {

namespace {

QClipboard* clipboard() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance())
               ? QGuiApplication::clipboard()
               : nullptr;
}

} // namespace

// Qt gives no word when the platform refuses; what it has is taken as done.
bool QtClipboard::clear() {
    QClipboard* board = clipboard();
    if (!board)
        return false;
    board->clear();
    return true;
}

bool QtClipboard::setText(const QString& text) {
    QClipboard* board = clipboard();
    if (!board)
        return false;
    board->setText(text);
    return true;
}

results::Clipboard& systemClipboard() {
    static QtClipboard clipboard;
    return clipboard;
}

} // namespace quillmere::window
