#pragma once

#include <QObject>

class ActionButton;
class InstallLocationDialog;
class QWidget;
class Settings;
class Updater;

// Where the game lives: the location dialog of the first start and of
// "Modify Install", moving an installation to the chosen folder, and the offer
// to migrate an installation of the old layout.
class InstallLocationFlow final : public QObject
{
    Q_OBJECT

public:
    // The dialogs open over `window`; `button` is busy while the engine works.
    InstallLocationFlow(Updater &engine, Settings &settings, ActionButton &button, QWidget *window);

    // Returns false when the player left the first-run choice and the launcher quits.
    bool showInstallLocationDialog(bool firstRun);
    void offerLegacyMigration();
    // Moving or uninstalling would pull files from under a game that is
    // starting or running: says so and returns true then.
    bool refuseWhileGameBusy();

signals:
    // A move that failed may have left the game's files in either folder.
    void moveFailed();

private:
    void browseInstallLocation(InstallLocationDialog *dialog);
    void confirmInstallLocation(InstallLocationDialog *dialog);
    bool moveInstallation(const QString &newPath);

    Updater &engine;
    Settings &settings;
    ActionButton &button;
    QWidget *window;
};
