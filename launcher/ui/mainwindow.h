#pragma once

#include "updater.h"

#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QTranslator>

class AnnouncementWidget;
class InstallLocationDialog;
class QAction;
class QNetworkReply;
class CircularProgressWidget;
class MainWindowForm;
class QLabel;
class QMediaPlayer;
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

    // Returns false when the player left the first-run choice and the launcher quits.
    bool showInstallLocationDialog(bool firstRun);
    // Sends the news request; the constructor does this once.
    void requestNews();
    // Read-only view of the engine, for observers of its signals.
    const Updater &engine() const { return updater; }

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
    void updateButtonAppearance(QPushButton *button, const QString &state);
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
    QTimer *firstFrameTimer = nullptr;
    QImage currentFrame;
    bool backgroundReady = false;
    int clipRestarts = 0;
    QString currentButtonState;
    CircularProgressWidget *progressRing = nullptr;
    QLabel *speedLabel = nullptr;
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
