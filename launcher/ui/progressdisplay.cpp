#include "progressdisplay.h"

#include "circularprogresswidget.h"
#include "speedtext.h"
#include "windowtext.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

namespace {

// The button's text is drawn at this size while the ring is shown.
constexpr int progressFontPx = 14;
constexpr int ringGap = 10;

// When the speed line was last rewritten; it changes at most once a second.
QElapsedTimer lastSpeedText;

} // namespace

ProgressDisplay::ProgressDisplay(QPushButton *button)
    : QObject(button), button(button), progressRing(new CircularProgressWidget(button)),
      speedLabel(new QLabel(button->window()))
{
    progressRing->hide();
    speedLabel->setObjectName(QStringLiteral("speedLabel"));
    speedLabel->setFixedSize(100, 20);
    speedLabel->setAlignment(Qt::AlignLeft);
    speedLabel->setText(WindowText::tr("Calculating..."));
    speedLabel->hide();
}

void ProgressDisplay::hide()
{
    progressRing->hide();
    speedLabel->hide();
}

void ProgressDisplay::resetSpeed()
{
    speedLabel->setText(WindowText::tr("Calculating..."));
    speedShown = false;
    lastSpeedText.start();
}

void ProgressDisplay::retranslate()
{
    if (!speedShown)
        speedLabel->setText(WindowText::tr("Calculating..."));
}

QFontMetrics ProgressDisplay::progressFontMetrics() const
{
    QFont font = button->font();
    font.setPixelSize(progressFontPx);
    return QFontMetrics(font);
}

QString ProgressDisplay::progressTextStyle(bool lifted) const
{
    const QFontMetrics metrics = progressFontMetrics();
    const int textWidth = metrics.horizontalAdvance(button->text());
    const int gap = (button->width() - progressRing->width() - ringGap - textWidth) / 2;
    const int left = progressRing->width() + ringGap + gap;
    if (!lifted)
        return QStringLiteral("font-size: %1px; text-align: left; padding-left: %2px;")
            .arg(progressFontPx)
            .arg(left);
    return QStringLiteral(
               "font-size: %1px; text-align: left; padding-left: %2px; padding-bottom: %3px;")
        .arg(progressFontPx)
        .arg(left)
        .arg(button->height() / 2 - metrics.height());
}

void ProgressDisplay::positionProgressRing(bool lifted)
{
    const int textWidth = progressFontMetrics().horizontalAdvance(button->text());
    progressRing->move((button->width() - progressRing->width() - ringGap - textWidth) / 2,
                       button->height() / 2 - progressRing->height() / 2);
    button->setStyleSheet(progressTextStyle(lifted));
    showEmptyRing();
}

void ProgressDisplay::placeSpeedLabel()
{
    const int ringWidth = progressRing->width();
    const int textWidth = progressFontMetrics().horizontalAdvance(button->text());
    const QPoint p = button->mapTo(speedLabel->parentWidget(), QPoint(0, 0));
    speedLabel->move(p.x() + ringWidth + ringGap +
                         (button->width() - ringWidth - textWidth - ringGap) / 2,
                     p.y() + 2 + button->height() / 2);
    speedLabel->raise();
    speedLabel->show();
}

void ProgressDisplay::showEmptyRing()
{
    progressRing->show();
    progressRing->setProgress(0);
}

void ProgressDisplay::updateVerificationProgress(int filesChecked, int totalFiles)
{
    const int percent = totalFiles < 1 ? 0 : int(float(filesChecked) / float(totalFiles) * 100.0f);
    progressRing->setProgress(qBound(0, percent, 100));
}

void ProgressDisplay::updateOverallProgress(qint64 bytesDownloaded, qint64 totalBytes)
{
    const int percent =
        totalBytes == 0 ? 0 : int(double(bytesDownloaded) / double(totalBytes) * 100.0);
    progressRing->setProgress(qBound(0, percent, 100));
}

void ProgressDisplay::updateSpeedLabel(qint64 bytesPerSecond)
{
    if (!lastSpeedText.isValid()) {
        lastSpeedText.start();
        return;
    }
    if (lastSpeedText.elapsed() < 1000)
        return;
    speedLabel->setText(speedText(bytesPerSecond));
    speedShown = true;
    lastSpeedText.start();
}
