#include "gamelaunch.h"

#include "platform/platform.h"
#include "settings.h"
#include "updater.h"
#include "windowtext.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace {

constexpr int launchTickMs = 1000;
constexpr int gameWatchMs = 1000;

} // namespace

GameLaunch::GameLaunch(Updater &engine, const Settings &settings, QObject *parent)
    : QObject(parent), engine(engine), settings(settings)
{
}

bool GameLaunch::launchGame()
{
    launching = true;
    const QString path = QDir::toNativeSeparators(
        QDir::cleanPath(Settings::installPath() + QLatin1Char('/') +
                        platform::executableFileName(settings.executableName)));
    if (!QFileInfo(path).isFile()) {
        emit failed(WindowText::tr("Game executable not found. Please verify your installation."));
        finishLaunch(false);
        return false;
    }
    if (!QProcess::startDetached(path, {}, QFileInfo(path).absolutePath())) {
        finishLaunch(false);
        return false;
    }

    launchDots = 0;
    emit phaseChanged(Phase::Launching, launchDots);
    if (!launchTimer) {
        launchTimer = new QTimer(this);
        connect(launchTimer, &QTimer::timeout, this, &GameLaunch::onLaunchTick);
    }
    launchElapsedMs = 0;
    launchTimer->start(launchTickMs);
    return true;
}

void GameLaunch::onLaunchTick()
{
    if (!launching) {
        launchTimer->stop();
        return;
    }
    launchElapsedMs += launchTickMs;
    launchDots = (launchDots + 1) % 4;
    emit phaseChanged(Phase::Launching, launchDots);
    if (gameWindowSeen())
        finishLaunch(true);
    else if (launchElapsedMs >= launchWatchMs)
        finishLaunch(false);
}

bool GameLaunch::gameWindowSeen()
{
    // Where no window can be looked up (Wayland without Xwayland), the game
    // running from the install folder is the best sign there is.
    if (!platform::canLookUpWindows())
        return engine.isGameRunning();
    return platform::isTopLevelWindowVisible(settings.applicationName);
}

void GameLaunch::finishLaunch(bool success)
{
    if (!launching)
        return;
    if (launchTimer)
        launchTimer->stop();
    if (!success) {
        emit failed(WindowText::tr("Failed to launch the game. Please verify your installation."));
        end();
        return;
    }
    emit phaseChanged(Phase::Playing, 0);
    QTimer::singleShot(gameWatchMs, this, &GameLaunch::watchGame);
}

void GameLaunch::watchGame()
{
    if (engine.isGameRunning()) {
        QTimer::singleShot(gameWatchMs, this, [this] { finishLaunch(true); });
        return;
    }
    end();
}

void GameLaunch::end()
{
    launching = false;
    emit phaseChanged(Phase::Over, 0);
    engine.checkForUpdates();
}
