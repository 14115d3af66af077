#pragma once

#include <QImage>
#include <QObject>
#include <QRect>
#include <QVideoFrame>

class BackgroundClip;
class QMediaPlayer;
class QTimer;
class QVideoSink;

// The window's moving background: the looping clip, the still picture that
// stands in when the clip cannot deliver a first frame, and the picture
// composed from them under the window's widgets. Until a first picture is up
// the clip runs; then only while the window is shown, active and not
// minimised, animations are on and no download run is under way.
class WindowBackground final : public QObject
{
    Q_OBJECT

public:
    explicit WindowBackground(QWidget *window);
    ~WindowBackground() override;

    void loadClip();
    // Paints on the window, from its paint event; nothing before the first picture.
    void paint(const QRect &frostedRect);

    // What decides whether the clip plays: call whenever any of it changes.
    void setShown(bool shown);
    void setEngineBusy(bool busy);
    void updatePlayback();

signals:
    // Once, when the first picture is on screen.
    void ready();

private:
    void handleVideoFrame(const QVideoFrame &frame);
    void showPendingFrame();
    void useStillBackground();
    void markBackgroundReady();
    bool clipShouldPlay() const;

    QWidget *window;
    QMediaPlayer *mediaPlayer;
    QVideoSink *videoSink;
    BackgroundClip *clip;
    QTimer *firstFrameTimer;
    QVideoFrame pendingFrame;
    QImage currentFrame;
    bool backgroundReady = false;
    bool shownOnScreen = false;
    bool engineBusy = false;
};
