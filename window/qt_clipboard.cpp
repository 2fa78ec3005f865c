#include "window/qt_clipboard.h"

#include "window/clipboard_handover.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>

namespace quillmere::window {

namespace {

QClipboard* clipboard() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance())
               ? QGuiApplication::clipboard()
               : nullptr;
}

xcb_connection_t* x11Connection() {
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// On X11 the text is served by this process, and closing the window ends it at once: the
// desktop's clipboard manager, where one runs, is asked to keep a copy in the background. A child
// of the application object, whose X11 connection it uses and which outlives it.
void handOverToClipboardManager() {
    static QPointer<ClipboardHandover> handover;
    if (!handover)
        handover = new ClipboardHandover(x11Connection(), qGuiApp);
    handover->start();
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
    handOverToClipboardManager();
    return true;
}

void setClipboardMimeData(QMimeData* data) {
    QClipboard* board = clipboard();
    if (!board) {
        delete data;
        return;
    }
    board->setMimeData(data);
    handOverToClipboardManager();
}

results::Clipboard& systemClipboard() {
    static QtClipboard clipboard;
    return clipboard;
}

} // namespace quillmere::window
