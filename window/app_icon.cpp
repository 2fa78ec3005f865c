#include "window/app_icon.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quillmere::window {

QImage paintApplicationIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2b, 0x4c, 0x7e));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    QPainterPath sheet;
    sheet.moveTo(12, 8);
    sheet.lineTo(36, 8);
    sheet.lineTo(46, 18);
    sheet.lineTo(46, 54);
    sheet.lineTo(12, 54);
    sheet.closeSubpath();
    painter.setBrush(QColor(0xf4, 0xf6, 0xfa));
    painter.drawPath(sheet);
    painter.setBrush(QColor(0xc9, 0xd3, 0xe3));
    painter.drawPolygon(QPolygonF({QPointF(36, 8), QPointF(46, 18), QPointF(36, 18)}));

    painter.setBrush(QColor(0x8a, 0x9b, 0xb5));
    for (int line = 0; line < 5; ++line)
        painter.drawRect(QRectF(17, 24 + line * 5.5, line % 2 ? 16 : 22, 2.5));

    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0xf2, 0xa9, 0x1e), 5.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(47, 47), QPointF(57, 57));
    painter.setPen(QPen(QColor(0xf2, 0xa9, 0x1e), 4.5));
    painter.setBrush(QColor(255, 255, 255, 110));
    painter.drawEllipse(QPointF(39, 39), 11, 11);
    return image;
}

QIcon applicationIcon() {
    QIcon icon;
    for (int size : kApplicationIconSizes)
        icon.addPixmap(QPixmap::fromImage(paintApplicationIcon(size)));
    return icon;
}

void nameApplication() {
    QGuiApplication::setDesktopFileName(QStringLiteral("quillmere"));
}

} // namespace quillmere::window
