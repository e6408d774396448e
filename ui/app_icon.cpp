#include "ui/app_icon.h"

#include <QPainter>
#include <QPainterPath>

namespace folio::ui {

QImage drawAppIcon(int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 48.0;
    p.scale(s, s);

    // Page block behind the cover, seen at the right and bottom edges.
    p.setPen(QPen(QColor(0x80, 0x80, 0x80), 1.5));
    p.setBrush(QColor(0xf4, 0xf1, 0xe8));
    p.drawRoundedRect(QRectF(10, 6, 34, 38), 3, 3);
    // The cover.
    p.setPen(QPen(QColor(0x12, 0x3b, 0x57), 1.5));
    p.setBrush(QColor(0x1f, 0x6f, 0x9e));
    p.drawRoundedRect(QRectF(4, 3, 34, 39), 3, 3);
    // Spine.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x14, 0x4f, 0x73));
    p.drawRect(QRectF(5, 4, 6, 37));
    // Three page strips on the cover: the pages being forged into one book.
    p.setBrush(QColor(0xff, 0xff, 0xff));
    for (int i = 0; i < 3; ++i)
        p.drawRect(QRectF(16, 11 + i * 8, 17, 4));
    // Bookmark ribbon.
    QPainterPath ribbon;
    ribbon.moveTo(30, 3);
    ribbon.lineTo(36, 3);
    ribbon.lineTo(36, 47);
    ribbon.lineTo(33, 43);
    ribbon.lineTo(30, 47);
    ribbon.closeSubpath();
    p.setBrush(QColor(0xe8, 0x9a, 0x1c));
    p.drawPath(ribbon);
    p.end();
    return img;
}

QIcon appIcon() {
    QIcon icon;
    for (int size : kIconSizes)
        icon.addFile(QStringLiteral(":/icons/folioforge-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace folio::ui
