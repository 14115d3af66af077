#pragma once

#include "updater.h"

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <QVideoFrame>

class AnnouncementWidget;
class BackgroundClip;
class InstallLocationDialog;
class QAction;
class QNetworkReply;
class CircularProgressWidget;
class MainWindowForm;
class QLabel;
class QMediaPlayer;
class QMessageBox;
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

    // Returns false when the player left the first-run choice and the launcher quits.
    bool showInstallLocationDialog(bool firstRun);
    // Sends the news request; the constructor does this once.
    void requestNews();

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
    void showSettingsMenu();
    void applyLanguage(const QString &code);

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
    // What the button shows (a state, "launching", "playing"), logged at its next paint.
    void reportButton(const QString &shown);
    void flushButtonReports();

    // Starting and watching the game (mainwindow_launch.cpp).
    bool launchGame();
    void onLaunchTick();
    void finishLaunch(bool success);
    void watchGame();
    bool gameWindowSeen();
    bool isLaunching() const { return launching; }
    void filterButtonEvent(QPushButton *button, QEvent *event);
    bool handleTitleBarDrag(QEvent *event);

    // Link rows.
    void setupCategoryButtons();
    bool handleCategoryRowEvent(QObject *row, QEvent *event);

    // News cards.
    void handleNewsReply(QNetworkReply *reply);
    void fillNewsCard(AnnouncementWidget *card, const QJsonObject &item);

    // Settings menu and install location.
    bool manageButtonEnabled() const;
    void toggleAnimations(QAction *action);
    void browseInstallLocation(InstallLocationDialog *dialog);
    void confirmInstallLocation(InstallLocationDialog *dialog);
    QString folderRefusal(int verdict) const;
    bool moveInstallation(const QString &newPath);
    bool refuseWhileGameBusy();
    void offerLegacyMigration();

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
    QString reportedButton;
    QStringList unpaintedButtonStates;
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
    QTranslator qtTranslator; // Qt's own dialog buttons
    bool launcherVersionConfirmed = false;
    Settings *settings = nullptr;
    QNetworkAccessManager *newsManager = nullptr;
    AnnouncementWidget *firstCard = nullptr;
    AnnouncementWidget *secondCard = nullptr;
};
