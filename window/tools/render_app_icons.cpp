// Writes the application icon as PNG files for the desktop's hicolor icon theme:
//   render_app_icons FOLDER   makes FOLDER/NxN/apps/quillmere.png for every icon size.

#include "window/app_icon.h"

#include <QDir>
#include <QImageWriter>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: render_app_icons FOLDER\n", stderr);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int size : quillmere::window::kApplicationIconSizes) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "render_app_icons: cannot make %s\n", qPrintable(folder));
            return 1;
        }
        QImageWriter writer(folder + QStringLiteral("/quillmere.png"), "png");
        if (!writer.write(quillmere::window::paintApplicationIcon(size))) {
            std::fprintf(stderr, "render_app_icons: %s: %s\n", qPrintable(writer.fileName()),
                         qPrintable(writer.errorString()));
            return 1;
        }
    }
    return 0;
}
