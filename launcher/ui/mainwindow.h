#pragma once

#include "updater.h"

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTranslator>

class AnnouncementWidget;
class CircularProgressWidget;
class MainWindowForm;
class QLabel;
class QMediaPlayer;
class QMessageBox;
class QNetworkAccessManager;
class QPushButton;
class QTimer;
class QVideoFrame;
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
    // How often a clip the media back end dropped is started again.
    static constexpr int maxClipRestarts = 3;

    // How long a started game has to show its window before the launch counts as failed.
    static constexpr int defaultLaunchWatchMs = 60000;
    void setLaunchWatchPeriod(int milliseconds) { launchWatchMs = milliseconds; }

    // The engine the window drives; tests feed its signals.
    Updater &engine() { return updater; }

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
    void ensurePlaying();
    void ensurePaused();
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

    void setUpVideo();
    void startVideo();
    void setUpBottomBar();
    void setUpNewsCards();
    void onMediaError();
    void onMediaStatusChanged(int status);
    // Stands in for the video when it cannot deliver a first frame.
    void useStillBackground();
    void markBackgroundReady();
    void applyStyleSheet();
    // The action button (mainwindow_button.cpp).
    void setUpActionButton(QPushButton *button);
    void connectEngine();
    void updateButtonAppearance(QPushButton *button, const QString &state);
    QString progressTextStyle(QPushButton *button) const;
    void positionProgressRing(QPushButton *button);
    void placeSpeedLabel(QPushButton *button);
    void updateSpeedLabel(qint64 bytesPerSecond);
    void updateOverallProgress(qint64 bytesDownloaded, qint64 totalBytes);
    void onEngineStateChanged(const QString &state);
    void onNoUpdateAvailable();
    void onDownloadError(const QString &error);
    void onCheckAnswered();
    void checkAfterStagedFilesMoved();
    void onCheckingTick();
    bool handleManageButtonPress(QEvent *event);
    void showError(const QString &title, const QString &text);
    QPushButton *manageButton() const;

    // Starting and watching the game (mainwindow_launch.cpp).
    bool launchGame();
    void onLaunchTick();
    void finishLaunch(bool success);
    void watchGame();
    bool gameWindowSeen();
    bool isLaunching() const { return launching; }
    void filterButtonEvent(QPushButton *button, QEvent *event);
    bool handleTitleBarDrag(QEvent *event);

    MainWindowForm *form = nullptr;
    QMediaPlayer *mediaPlayer = nullptr;
    QVideoSink *videoSink = nullptr;
    QTimer *firstFrameTimer = nullptr;
    QImage currentFrame;
    bool backgroundReady = false;
    int clipRestarts = 0;
    QString currentButtonState;
    CircularProgressWidget *progressRing = nullptr;
    QLabel *speedLabel = nullptr;
    QTimer *checkingTimer = nullptr;
    int checkingDots = 0;
    // Until the first check has answered, a press would act on an empty file list.
    bool firstCheckAnswered = false;
    QTimer *launchTimer = nullptr;
    int launchDots = 0;
    int launchElapsedMs = 0;
    int launchWatchMs = defaultLaunchWatchMs;
    bool launching = false;
    QPointer<QMessageBox> errorBox;
    SettingsOwner settingsOwner;
    Updater updater;
    QTranslator translator;
    Settings *settings = nullptr;
    QNetworkAccessManager *newsManager = nullptr;
    AnnouncementWidget *firstCard = nullptr;
    AnnouncementWidget *secondCard = nullptr;
};
