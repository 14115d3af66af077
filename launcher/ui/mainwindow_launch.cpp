// Starting the game and following it: "Launching" until its window shows,
// "Playing" while its process runs, then a fresh check.
#include "mainwindow.h"

#include "platform/platform.h"
#include "settings.h"

#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

namespace {

constexpr int launchTickMs = 1000;
constexpr int gameWatchMs = 1000;

} // namespace

bool MainWindow::launchGame()
{
    launching = true;
    const QString path = QDir::toNativeSeparators(
        QDir::cleanPath(Settings::installPath() + QLatin1Char('/') +
                        platform::executableFileName(settings->executableName)));
    if (!QFileInfo(path).isFile()) {
        showError(tr("Launch Failed"),
                  tr("Game executable not found. Please verify your installation."));
        finishLaunch(false);
        return false;
    }
    if (!QProcess::startDetached(path, {}, QFileInfo(path).absolutePath())) {
        finishLaunch(false);
        return false;
    }

    if (QPushButton *button = manageButton()) {
        launchDots = 0;
        button->setText(tr("Launching"));
        button->setIcon(QIcon());
        reportButton(QStringLiteral("launching"));
    }
    if (!launchTimer) {
        launchTimer = new QTimer(this);
        connect(launchTimer, &QTimer::timeout, this, &MainWindow::onLaunchTick);
    }
    launchElapsedMs = 0;
    launchTimer->start(launchTickMs);
    return true;
}

void MainWindow::onLaunchTick()
{
    if (!launching) {
        launchTimer->stop();
        return;
    }
    launchElapsedMs += launchTickMs;
    launchDots = (launchDots + 1) % 4;
    if (QPushButton *button = manageButton())
        button->setText(tr("Launching") + QString(launchDots, QLatin1Char('.')));
    if (gameWindowSeen())
        finishLaunch(true);
    else if (launchElapsedMs >= launchWatchMs)
        finishLaunch(false);
}

bool MainWindow::gameWindowSeen()
{
    // Where no window can be looked up (Wayland without Xwayland), the game
    // running from the install folder is the best sign there is.
    if (!platform::canLookUpWindows())
        return updater.isGameRunning();
    return platform::isTopLevelWindowVisible(settings->applicationName);
}

void MainWindow::finishLaunch(bool success)
{
    if (!launching)
        return;
    if (launchTimer)
        launchTimer->stop();
    QPushButton *button = manageButton();
    if (!success) {
        launching = false;
        showError(tr("Launch Failed"),
                  tr("Failed to launch the game. Please verify your installation."));
        if (button) {
            button->setText(tr("Play"));
            button->setIcon(QIcon(QStringLiteral(":/resources/icon_play.png")));
            reportButton(QStringLiteral("play"));
        }
        updater.checkForUpdates();
        return;
    }
    if (!button)
        return;
    button->setText(tr("Playing"));
    button->setIcon(QIcon());
    reportButton(QStringLiteral("playing"));
    QTimer::singleShot(gameWatchMs, this, &MainWindow::watchGame);
}

void MainWindow::watchGame()
{
    if (updater.isGameRunning()) {
        QTimer::singleShot(gameWatchMs, this, [this] { finishLaunch(true); });
        return;
    }
    launching = false;
    if (QPushButton *button = manageButton()) {
        button->setText(tr("Play"));
        button->setIcon(QIcon(QStringLiteral(":/resources/icon_play.png")));
        reportButton(QStringLiteral("play"));
    }
    updater.checkForUpdates();
}
