#include "app/form1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Quillmere"));
    // Lets the desktop match the window to its menu entry and icon (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("quillmere"));
    quillmere::Form1 window;
    window.show();
    return app.exec();
}
