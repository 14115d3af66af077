// The window's video background: frames, the still fallback, painting and
// the rules for playing and pausing.
#include "mainwindow.h"

#include "backgroundclip.h"
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

#include <utility>

void MainWindow::setUpVideo()
{
    // Qt sets up its frame converter on the first conversion, which can take
    // a second; better before the clip starts than while it does.
    QVideoFrame(QVideoFrameFormat(QSize(2, 2), QVideoFrameFormat::Format_YUV420P)).toImage();

    mediaPlayer = new QMediaPlayer(this);
    videoSink = new QVideoSink(this);
    mediaPlayer->setVideoOutput(videoSink);

    clip = new BackgroundClip(mediaPlayer, this);
    connect(clip, &BackgroundClip::failed, this, &MainWindow::useStillBackground);

    firstFrameTimer = new QTimer(this);
    firstFrameTimer->setObjectName(QStringLiteral("firstFrameTimer"));
    firstFrameTimer->setSingleShot(true);
    firstFrameTimer->setInterval(firstFrameTimeoutMs);
    connect(firstFrameTimer, &QTimer::timeout, this, &MainWindow::useStillBackground);
}

void MainWindow::tearDownVideo()
{
    // Qt 6.4's GStreamer player calls back into itself from its own destructor
    // when it still holds a decoder; unloading first removes the decoder while
    // the player is whole.
    mediaPlayer->stop();
    mediaPlayer->setSource(QUrl());
    pendingFrame = QVideoFrame();
    delete clip;
    clip = nullptr;
    delete mediaPlayer;
    mediaPlayer = nullptr;
    delete videoSink;
    videoSink = nullptr;
}

void MainWindow::startVideo()
{
    updateClipPlayback();
}

bool MainWindow::clipShouldPlay() const
{
    // Until a first picture is up the clip runs, so the start-up checks do not
    // wait for the window to be shown or activated.
    if (!backgroundReady)
        return true;
    return shownOnScreen && !isMinimized() && isActiveWindow() && Settings::animationsEnabled() &&
           !engineBusy;
}

void MainWindow::updateClipPlayback()
{
    if (clip)
        clip->setWanted(clipShouldPlay());
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
    updateClipPlayback();
    emit backgroundSetupComplete();
}

void MainWindow::handleVideoFrame(const QVideoFrame &frame)
{
    if (!frame.isValid())
        return;
    clip->noteFrame(frame);
    // With animations off the picture stays on the frame already held.
    if (!Settings::animationsEnabled() && !currentFrame.isNull())
        return;
    // GStreamer hands frames over inside a wait on the GUI thread and drops
    // the clip when that wait runs long, so the costly conversion and paint
    // come later, for the newest frame only.
    const bool scheduled = pendingFrame.isValid();
    pendingFrame = frame;
    if (!scheduled)
        QMetaObject::invokeMethod(this, &MainWindow::showPendingFrame, Qt::QueuedConnection);
}

void MainWindow::showPendingFrame()
{
    const QVideoFrame frame = std::exchange(pendingFrame, QVideoFrame());
    if (!frame.isValid())
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

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    shownOnScreen = true;
    updateClipPlayback();
    if (!backgroundReady && !firstFrameTimer->isActive())
        firstFrameTimer->start();
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    shownOnScreen = false;
    updateClipPlayback();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange || event->type() == QEvent::WindowStateChange)
        updateClipPlayback();
}
