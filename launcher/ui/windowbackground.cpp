#include "windowbackground.h"

#include "backgroundclip.h"
#include "backgroundcomposer.h"
#include "settings.h"

#include <QMediaPlayer>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QUrl>
#include <QVideoSink>
#include <QWidget>

#include <utility>

namespace {

// Without a first video frame within this time the still picture stands in.
constexpr int firstFrameTimeoutMs = 5000;

QMediaPlayer *makePlayer(QObject *parent)
{
    // Qt sets up its frame converter on the first conversion, which can take
    // a second; better before the clip starts than while it does.
    QVideoFrame(QVideoFrameFormat(QSize(2, 2), QVideoFrameFormat::Format_YUV420P)).toImage();
    return new QMediaPlayer(parent);
}

} // namespace

WindowBackground::WindowBackground(QWidget *window)
    : QObject(window), window(window), mediaPlayer(makePlayer(this)),
      videoSink(new QVideoSink(this)), clip(new BackgroundClip(mediaPlayer, this)),
      firstFrameTimer(new QTimer(this))
{
    mediaPlayer->setVideoOutput(videoSink);
    connect(clip, &BackgroundClip::failed, this, &WindowBackground::useStillBackground);

    firstFrameTimer->setSingleShot(true);
    firstFrameTimer->setInterval(firstFrameTimeoutMs);
    connect(firstFrameTimer, &QTimer::timeout, this, &WindowBackground::useStillBackground);
}

WindowBackground::~WindowBackground()
{
    // Qt 6.4's GStreamer player calls back into itself from its own destructor
    // when it still holds a decoder; unloading first removes the decoder while
    // the player is whole.
    mediaPlayer->stop();
    mediaPlayer->setSource(QUrl());
    pendingFrame = QVideoFrame();
    delete clip;
    delete mediaPlayer;
    delete videoSink;
}

void WindowBackground::loadClip()
{
    connect(videoSink, &QVideoSink::videoFrameChanged, this, &WindowBackground::handleVideoFrame);
    mediaPlayer->setSource(QUrl(QStringLiteral("qrc:/resources/background.mp4")));
    mediaPlayer->setLoops(QMediaPlayer::Infinite);
}

bool WindowBackground::clipShouldPlay() const
{
    // Until a first picture is up the clip runs, so the start-up checks do not
    // wait for the window to be shown or activated.
    if (!backgroundReady)
        return true;
    return shownOnScreen && !window->isMinimized() && window->isActiveWindow() &&
           Settings::animationsEnabled() && !engineBusy;
}

void WindowBackground::updatePlayback()
{
    clip->setWanted(clipShouldPlay());
}

void WindowBackground::setShown(bool shown)
{
    shownOnScreen = shown;
    updatePlayback();
    if (shown && !backgroundReady && !firstFrameTimer->isActive())
        firstFrameTimer->start();
}

void WindowBackground::setEngineBusy(bool busy)
{
    engineBusy = busy;
    updatePlayback();
}

void WindowBackground::useStillBackground()
{
    if (backgroundReady)
        return;
    currentFrame = QImage(QStringLiteral(":/resources/background_still.jpg"));
    markBackgroundReady();
}

void WindowBackground::markBackgroundReady()
{
    window->repaint();
    backgroundReady = true;
    firstFrameTimer->stop();
    updatePlayback();
    emit ready();
}

void WindowBackground::handleVideoFrame(const QVideoFrame &frame)
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
        QMetaObject::invokeMethod(this, &WindowBackground::showPendingFrame, Qt::QueuedConnection);
}

void WindowBackground::showPendingFrame()
{
    const QVideoFrame frame = std::exchange(pendingFrame, QVideoFrame());
    if (!frame.isValid())
        return;
    currentFrame = frame.toImage();
    if (!backgroundReady) {
        markBackgroundReady();
        return;
    }
    window->update();
}

void WindowBackground::paint(const QRect &frostedRect)
{
    if (currentFrame.isNull())
        return;
    QPainterPath corners;
    corners.addRoundedRect(QRectF(window->rect()), 9, 9, Qt::AbsoluteSize);
    const QPixmap background = composeWindowBackground(currentFrame, window->size(), frostedRect);

    QPainter painter(window);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(corners, Qt::ReplaceClip);
    painter.drawPixmap(0, 0, background);
}
