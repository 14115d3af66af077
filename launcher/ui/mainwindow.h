#pragma once

#include "updater.h"

#include <QMainWindow>
#include <QTranslator>

class InstallLocationFlow;
class MainWindowForm;
class NewsPanel;
class QAction;
class Settings;
class WindowBackground;

// The launcher's only window: frameless and translucent over a looping video.
// It owns the engine and the preferences, composes the widgets that show them
// and runs the start-up checks once its background is on screen.
class MainWindow final : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    // The engine the window drives; tests feed its signals.
    Updater &engine() { return updater; }

signals:
    void backgroundSetupComplete();

public slots:
    void onLauncherVersionCheckComplete(bool success);
    void onBackgroundSetupComplete();
    void onInstallPathChanged(const QString &path);
    void showSettingsMenu();
    void applyLanguage(const QString &code);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Deletes the preferences after the engine, whose verification workers read them.
    struct SettingsOwner
    {
        Settings *settings = nullptr;
        ~SettingsOwner();
    };

    void applyStyleSheet();
    void connectBars();
    void toggleAnimations(QAction *action);
    // Nothing is checked before the launcher itself is known to be current.
    void checkForUpdatesOnceConfirmed();

    MainWindowForm *form = nullptr;
    WindowBackground *background = nullptr;
    NewsPanel *news = nullptr;
    InstallLocationFlow *location = nullptr;
    SettingsOwner settingsOwner;
    Updater updater;
    QTranslator translator;
    QTranslator qtTranslator; // Qt's own dialog buttons
    bool launcherVersionConfirmed = false;
    Settings *settings = nullptr;
};
