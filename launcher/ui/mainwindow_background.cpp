// The window's video background: frames, the still fallback, painting and
// the rules for playing and pausing.
#include "mainwindow.h"

#include "backgroundcomposer.h"
#include "settings.h"

#include <QEvent>
#include <QMediaPlayer>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoSink>

void MainWindow::setUpVideo()
{
    mediaPlayer = new QMediaPlayer(this);
    videoSink = new QVideoSink(this);
    mediaPlayer->setVideoOutput(videoSink);

    // Queued: a back end that fails inside setSource must not start the
    // start-up checks before construction has finished.
    connect(mediaPlayer, &QMediaPlayer::errorOccurred, this, &MainWindow::onMediaError,
            Qt::QueuedConnection);
    connect(mediaPlayer, &QMediaPlayer::mediaStatusChanged, this,
            [this](QMediaPlayer::MediaStatus status) { onMediaStatusChanged(status); });

    firstFrameTimer = new QTimer(this);
    firstFrameTimer->setObjectName(QStringLiteral("firstFrameTimer"));
    firstFrameTimer->setSingleShot(true);
    firstFrameTimer->setInterval(firstFrameTimeoutMs);
    connect(firstFrameTimer, &QTimer::timeout, this, &MainWindow::useStillBackground);
}

void MainWindow::startVideo()
{
    mediaPlayer->play();
}

void MainWindow::onMediaError()
{
    useStillBackground();
    // GStreamer drops a clip whose start the GUI thread held up for a moment;
    // a few fresh starts bring the moving background back. A missing codec
    // fails the same way every time, so the number of tries is bounded.
    if (clipRestarts >= maxClipRestarts)
        return;
    ++clipRestarts;
    const QUrl clip = mediaPlayer->source();
    mediaPlayer->stop();
    mediaPlayer->setSource(QUrl());
    mediaPlayer->setSource(clip);
    if (isVisible() && isActiveWindow())
        mediaPlayer->play();
}

void MainWindow::onMediaStatusChanged(int status)
{
    // Some back ends stop at the end although the clip loops for ever.
    if (status == QMediaPlayer::EndOfMedia && mediaPlayer->loops() == QMediaPlayer::Infinite) {
        mediaPlayer->setPosition(0);
        mediaPlayer->play();
    }
}

void MainWindow::useStillBackground()
{
    if (backgroundReady)
        return;
    currentFrame = QImage(QStringLiteral(":/resources/background_still.jpg"));
    markBackgroundReady();
}

void MainWindow::markBackgroundReady()
{
    repaint();
    backgroundReady = true;
    firstFrameTimer->stop();
    emit backgroundSetupComplete();
}

void MainWindow::handleVideoFrame(const QVideoFrame &frame)
{
    if (!frame.isValid())
        return;
    // With animations off the picture stays on the frame already held.
    if (!Settings::animationsEnabled() && !currentFrame.isNull())
        return;
    currentFrame = frame.toImage();
    if (!backgroundReady) {
        markBackgroundReady();
        return;
    }
    update();
}

void MainWindow::paintEvent(QPaintEvent *)
{
    if (!isVisible() || currentFrame.isNull())
        return;

    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), 9, 9, Qt::AbsoluteSize);

    const QWidget *blurPanel = findChild<QWidget *>(QStringLiteral("bottomBlurPanel"));
    const QPixmap background =
        composeWindowBackground(currentFrame, size(), blurPanel ? blurPanel->geometry() : QRect());

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(clip, Qt::ReplaceClip);
    painter.drawPixmap(0, 0, background);
}

void MainWindow::ensurePlaying()
{
    if (mediaPlayer && mediaPlayer->playbackState() != QMediaPlayer::PlayingState)
        mediaPlayer->play();
}

void MainWindow::ensurePaused()
{
    if (mediaPlayer && mediaPlayer->playbackState() == QMediaPlayer::PlayingState)
        mediaPlayer->pause();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    ensurePlaying();
    if (!backgroundReady && !firstFrameTimer->isActive())
        firstFrameTimer->start();
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    ensurePaused();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::ActivationChange)
        return;
    if (isActiveWindow())
        ensurePlaying();
    else
        ensurePaused();
}
