#include "app/app_icon.h"
#include "app/form1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    quillmere::nameApplication();
    quillmere::Form1 window;
    window.show();
    return app.exec();
}
