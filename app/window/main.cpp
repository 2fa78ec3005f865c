#include "app/window/form1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Quillmere"));
    quillmere::Form1 window;
    window.show();
    return app.exec();
}
