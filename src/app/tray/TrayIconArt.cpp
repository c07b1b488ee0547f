#include "TrayIconArt.h"

#include "ThemePalette.h"

#include <QPainter>
#include <QPixmap>

namespace {

QImage badge(int size, bool recording) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const QColor indigo = ThemePalette::indigo();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(indigo);
    painter.drawRoundedRect(QRectF(0, 0, size, size), size * 0.22, size * 0.22);
    const int inset = size / 8;
    const QPixmap bubble = QIcon(QStringLiteral(":/tolvex/BubbleIcon.svg"))
                               .pixmap(QSize(size - 2 * inset, size - 2 * inset));
    painter.drawPixmap(inset, inset, bubble);
    if (recording) {
        // A ring of the badge's colour keeps the dot apart from the bubble under it.
        const qreal dot = size * 0.42;
        const QRectF place(size - dot, size - dot, dot, dot);
        painter.setBrush(indigo);
        painter.drawEllipse(place);
        painter.setBrush(ThemePalette::systemRed());
        painter.drawEllipse(place.adjusted(size * 0.06, size * 0.06, -size * 0.06, -size * 0.06));
    }
    return image;
}

} // namespace

QList<QImage> TrayIconArt::images(bool recording) {
    QList<QImage> sizes;
    for (int size : {16, 22, 32, 48}) {
        sizes.append(badge(size, recording));
    }
    return sizes;
}

QIcon TrayIconArt::icon(bool recording) {
    QIcon icon;
    for (const QImage &image : images(recording)) {
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}
