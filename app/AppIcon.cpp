#include "AppIcon.h"

#include <QPainter>
#include <QPolygonF>

QImage DrawAppIcon(int nSize) {
    QImage image(nSize, nSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.scale(nSize / 32.0, nSize / 32.0);

    // Pins on all four sides of the package.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xC0, 0xC0, 0xC0));
    for (int i = 0; i < 4; ++i) {
        const int nPos = 8 + i * 5;
        painter.drawRect(nPos, 2, 2, 4);
        painter.drawRect(nPos, 26, 2, 4);
        painter.drawRect(2, nPos, 4, 2);
        painter.drawRect(26, nPos, 4, 2);
    }

    // The package: dark blue body with a black outline.
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(QColor(0x00, 0x00, 0x80));
    painter.drawRect(5, 5, 21, 21);

    // The bolt.
    const QPolygonF bolt({{18, 7}, {10, 17}, {15, 17}, {12, 25}, {21, 14}, {16, 14}, {19, 7}});
    painter.setPen(QPen(QColor(0x80, 0x80, 0x00), 1));
    painter.setBrush(QColor(0xFF, 0xFF, 0x00));
    painter.drawPolygon(bolt);
    return image;
}

const QIcon& AppIcon() {
    static const QIcon icon = [] {
        QIcon result;
        result.addPixmap(QPixmap::fromImage(DrawAppIcon(32)));
        result.addPixmap(QPixmap::fromImage(DrawAppIcon(16)));
        return result;
    }();
    return icon;
}
