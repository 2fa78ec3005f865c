#include "app/form1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    quillmere::Form1 window;
    window.show();
    return app.exec();
}
