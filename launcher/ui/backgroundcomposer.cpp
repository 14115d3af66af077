#include "backgroundcomposer.h"

#include <QGraphicsBlurEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QLinearGradient>
#include <QPainter>

namespace {

QLinearGradient edgeShade(const QPointF &from, const QPointF &to)
{
    QLinearGradient gradient(from, to);
    gradient.setColorAt(0.0, QColor(0, 0, 0, 180));
    gradient.setColorAt(0.4, QColor(0, 0, 0, 100));
    gradient.setColorAt(0.8, QColor(0, 0, 0, 40));
    gradient.setColorAt(1.0, QColor(0, 0, 0, 0));
    return gradient;
}

QImage blurred(const QImage &source)
{
    QGraphicsScene scene;
    auto *item = scene.addPixmap(QPixmap::fromImage(source));
    auto *blur = new QGraphicsBlurEffect;
    blur->setBlurRadius(5.0);
    item->setGraphicsEffect(blur);

    QImage result(source.size(), QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    scene.render(&painter);
    return result;
}

} // namespace

QPixmap composeWindowBackground(const QImage &frame, const QSize &size, const QRect &frostedRect)
{
    QPixmap canvas(size);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);

    painter.drawImage(QRect(QPoint(0, 0), size), frame);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.fillRect(QRect(-5, -5, size.width() + 10, 118), edgeShade({0, 0}, {0, 113}));
    painter.fillRect(QRect(-5, 0, 183, size.height()), edgeShade({0, 0}, {178, 0}));

    if (!frostedRect.isNull()) {
        // Cut from the frame's own pixels, not from the stretched picture.
        painter.drawImage(frostedRect, blurred(frame.copy(frostedRect)));
        painter.fillRect(frostedRect, QColor(0, 0, 0, 50));
    }
    return canvas;
}
