#pragma once

#include "updater.h"

#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QTranslator>
#include <QVideoFrame>

class AnnouncementWidget;
class BackgroundClip;
class CircularProgressWidget;
class MainWindowForm;
class QLabel;
class QMediaPlayer;
class QNetworkAccessManager;
class QPushButton;
class QTimer;
class QVideoSink;
class Settings;

// The launcher's only window: frameless and translucent over a looping video.
// It owns the engine and the preferences, and runs the start-up checks once its
// background is on screen.
class MainWindow final : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    // True while the pointer is over the minimise or close button.
    bool isOverWindowButtons() const;

    // Without a first video frame within this time the still picture stands in.
    static constexpr int firstFrameTimeoutMs = 5000;

signals:
    void backgroundSetupComplete();
    void buttonStateChanged(const QString &state);

public slots:
    void onLauncherVersionCheckComplete(bool success);
    void onBackgroundSetupComplete();
    void setButtonState(const QString &state);
    void onInstallPathChanged(const QString &path);

private slots:
    void handleVideoFrame(const QVideoFrame &frame);
    QString buttonState() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Deletes the preferences after the engine, whose verification workers read them.
    struct SettingsOwner
    {
        Settings *settings = nullptr;
        ~SettingsOwner();
    };

    void showPendingFrame();
    void setUpVideo();
    void tearDownVideo();
    void startVideo();
    // The one place that decides whether the clip plays: call it whenever
    // anything the rule reads changes.
    void updateClipPlayback();
    bool clipShouldPlay() const;
    void setUpBottomBar();
    void setUpNewsCards();
    // Stands in for the video when it cannot deliver a first frame.
    void useStillBackground();
    void markBackgroundReady();
    void applyStyleSheet();
    void updateButtonAppearance(QPushButton *button, const QString &state);
    void filterButtonEvent(QPushButton *button, QEvent *event);
    bool handleTitleBarDrag(QEvent *event);

    MainWindowForm *form = nullptr;
    QMediaPlayer *mediaPlayer = nullptr;
    QVideoSink *videoSink = nullptr;
    BackgroundClip *clip = nullptr;
    QTimer *firstFrameTimer = nullptr;
    QVideoFrame pendingFrame;
    QImage currentFrame;
    bool backgroundReady = false;
    bool shownOnScreen = false;
    bool engineBusy = false;
    QString currentButtonState;
    CircularProgressWidget *progressRing = nullptr;
    QLabel *speedLabel = nullptr;
    SettingsOwner settingsOwner;
    Updater updater;
    QTranslator translator;
    Settings *settings = nullptr;
    QNetworkAccessManager *newsManager = nullptr;
    AnnouncementWidget *firstCard = nullptr;
    AnnouncementWidget *secondCard = nullptr;
};
