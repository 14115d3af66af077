#pragma once

#include <QObject>

class QTimer;
class Settings;
class Updater;

// Starting the game and following it: launching until a window titled with the
// product's name shows, playing while the game's process runs, then a fresh
// check for updates.
class GameLaunch final : public QObject
{
    Q_OBJECT

public:
    enum class Phase
    {
        Launching,
        Playing,
        Over
    };

    GameLaunch(Updater &engine, const Settings &settings, QObject *parent);

    // False when the game could not be started; the failure is reported.
    bool launchGame();
    bool isLaunching() const { return launching; }
    void setLaunchWatchPeriod(int milliseconds) { launchWatchMs = milliseconds; }

signals:
    // `dots` counts the seconds of launching, modulo 4.
    void phaseChanged(GameLaunch::Phase phase, int dots);
    void failed(const QString &message);

private:
    void onLaunchTick();
    void finishLaunch(bool success);
    void watchGame();
    bool gameWindowSeen();
    void end();

    // How long a started game has to show its window before the launch counts as failed.
    static constexpr int defaultLaunchWatchMs = 60000;

    Updater &engine;
    const Settings &settings;
    QTimer *launchTimer = nullptr;
    int launchDots = 0;
    int launchElapsedMs = 0;
    int launchWatchMs = defaultLaunchWatchMs;
    bool launching = false;
};
