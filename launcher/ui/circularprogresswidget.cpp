#include "circularprogresswidget.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QPixmap>

namespace {

const QString ringColor = QStringLiteral("#60E5FC");
constexpr int twelveOClock = 90 * 16;

} // namespace

CircularProgressWidget::CircularProgressWidget(QWidget *parent) : QWidget(parent)
{
    setFixedSize(40, 40);
}

void CircularProgressWidget::setProgress(qint64 value)
{
    if (value == progressValue)
        return;
    progressValue = value;
    update();
}

int CircularProgressWidget::arcSpan(qint64 value)
{
    return -static_cast<int>(static_cast<double>(value) / 100.0 * 360.0 * 16.0 + 0.5);
}

void CircularProgressWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawPixmap(rect(),
                       QPixmap(QStringLiteral(":/resources/circular_progress_background.png")));

    if (progressValue <= 0)
        return;

    const QColor color = QColor::fromString(ringColor);
    painter.setPen(QPen(color, 3, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawArc(QRectF(rect().adjusted(5, 5, -5, -5)), twelveOClock, arcSpan(progressValue));

    painter.setPen(color);
    QFont font = painter.font();
    font.setPointSize(12);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    // Centred in a rectangle grown 2 px upwards, which lifts the number by one pixel.
    painter.drawText(rect().adjusted(0, -2, 0, 0), Qt::AlignCenter, QString::number(progressValue));
}
