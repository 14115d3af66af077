#pragma once

#include "checkschedule.h"
#include "chunkrun.h"
#include "downloadrun.h"
#include "enginefolders.h"
#include "fetchlist.h"
#include "launcherversioncheck.h"
#include "legacyinstallation.h"
#include "maintenance.h"
#include "manifestcheck.h"
#include "moverclient.h"
#include "result.h"
#include "stagedinstall.h"
#include "verification.h"

#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class Prompter;

// Upper bound of simultaneous file downloads; set once when the program starts.
extern int maxConcurrentDownloads;

// The launcher's update engine: checks the patch server's manifest, verifies the
// game folder, downloads what is missing, moves it into place, checks for a new
// launcher, uninstalls, guards a running game and migrates a legacy install.
// The work is done by the classes it owns; it keeps the order of the steps and
// the one state. Lives on the GUI thread; only verification works on pool threads.
class Updater final : public QObject
{
    Q_OBJECT

public:
    // What the engine is doing; every entry point decides from it what a call
    // at the wrong moment does.
    enum class State
    {
        Idle,
        Checking,           // the manifest request is out
        Verifying,          // the game folder is being checked against the manifest
        Downloading,        // a run fetches files into staging
        MovingFiles,        // a file mover (or the legacy unpacking) is at work
        PreparingUninstall, // confirmed: waiting for the list of what the game owns
        Uninstalling        // removing the game's files
    };
    Q_ENUM(State)

    Updater();
    ~Updater() override;

    // Where the engine asks the player; without one every question reads as No.
    void setPrompter(Prompter *prompter) { this->prompter = prompter; }

    // Update check and verification. The check trusts the install record for
    // files it vouches for (unchanged since the launcher put or checked them
    // there); checkAllFiles() reads every file, as a player asking for it expects.
    void checkForUpdates();
    void checkAllFiles();
    bool isInstalled();
    void verifyInstallation();

    // Moving files into the game folder through the file mover. While a mover
    // runs the window keeps painting, and a second call moves nothing.
    bool installFiles(const QString &source, const QString &destination, const QStringList &ignore);
    // Moves in what an earlier run left staged and the last verification found correct.
    using MoveIn = Maintenance::MoveIn;
    MoveIn installPendingFiles();

    // Moves what the game owns (the files of the last parsed manifest and ".initcomplete")
    // from the current install folder into `destination` through the file mover;
    // everything else stays where it was. Emits no signal: the caller shows the
    // outcome and stores the new install path on success.
    using Relocation = Maintenance::Relocation;
    Result<Relocation> relocateInstallation(const QString &destination);

    // Running game, uninstall, legacy installation.
    bool isGameRunning() { return Maintenance::isGameRunning(); }
    void uninstall();
    bool hasLegacyInstallation() { return LegacyInstallation::exists(); }
    bool migrateLegacyInstallation();

    // Launcher self-update check. After launcherVersionCheckComplete(false) the
    // launcher ends; this says whether the server could not be reached.
    void checkLauncherVersion();
    const Status &launcherCheckStatus() const { return launcherCheck.status(); }

    // Where downloads wait until the file mover moves them into the game folder.
    static QString stagingDirectory() { return EngineFolders::stagingDirectory(); }
    // The engine's own per-user folder: lists for the file mover (and staging on Linux).
    static QString privateDirectory() { return EngineFolders::privateDirectory(); }
    // Staging path and download address of a manifest key.
    static QString stagingPath(const QString &key) { return EngineFolders::stagingPath(key); }
    static QUrl fileUrl(const QString &key) { return downloadUrl(key); }

    State state() const { return engineState; }
    // Carries every request of the engine but the game files; observers may watch its replies.
    const QNetworkAccessManager &network() const { return networkManager; }
    // How the last download run went over the wire.
    DownloadRun::Statistics downloadStatistics() const { return downloads.statistics(); }

    // Every request fails after this long without receiving data.
    static constexpr int defaultStallTimeoutMs = InactivityGuard::defaultLimitMs;
    void setStallTimeout(int milliseconds);

    // User-visible texts shared with the window.
    static QString stalledServerMessage() { return DownloadRun::stalledServerMessage(); }
    static QString invalidManifestMessage() { return ManifestCheck::invalidManifestMessage(); }
    static QString overlappingFoldersMessage() { return MoverClient::overlappingFoldersMessage(); }
    static QString relativeFolderMessage() { return MoverClient::relativeFolderMessage(); }
    static QString gameStartedMessage() { return StagedInstall::gameStartedMessage(); }

signals:
    void updateAvailable(QString newVersion);
    void noUpdateAvailable();
    void downloadProgress(qlonglong bytesPerSecond);
    void downloadFinished();
    void downloadError(QString error);
    void installProgress(int percentage);
    void installFinished();
    void installError(QString error);
    void uninstallFinished();
    void uninstallError(QString error);
    void updateComplete();
    void stateChanged(QString state);
    void overallProgress(qlonglong bytesDownloaded, qlonglong totalBytes);
    void checkingForUpdates();
    void verificationStarted(int totalFiles);
    void verificationProgress(int filesChecked, int totalFiles);
    void launcherVersionCheckComplete(bool success);
    // Every change of state().
    void activityChanged(Updater::State state);

public slots:
    void startUpdate();

private:
    void setState(State next);
    bool fileWorkAllowed() const;
    void runDeferredCheck();
    QString runEndState()
    {
        return isInstalled() ? QStringLiteral("update") : QStringLiteral("install");
    }

    void requestManifest();
    void onManifest(const QJsonObject &files, const QString &build);
    void onManifestFailed(const Failure &failure);
    void onVerified(const VerificationResult &result);
    void startRun(const QList<DownloadItem> &items);
    void onRunFailed(const QString &message);
    void completeRun();
    MoveIn moveCheckedFilesIn(QSet<QString> keys);
    void performUninstall(const QString &dir);

    // One file operation at a time: verification waits, manifests wait, the
    // state tells the window.
    void beginFileWork(bool uninstalling);
    void endFileWork();

    // Declared first so it is destroyed last.
    QNetworkAccessManager networkManager;

    State engineState = State::Idle;
    Prompter *prompter = nullptr;
    int stallTimeoutMs = defaultStallTimeoutMs;
    QJsonObject manifestFiles;
    QString manifestBuild;
    QByteArray manifestBody;      // names the build's chunk index
    InstallRecord record;         // of the install folder, as the last check loaded it
    bool fullCheckWanted = false; // the next verification reads every file
    FetchList fetchList;

    CheckSchedule schedule;
    ManifestCheck manifestCheck;
    Verification verification;
    DownloadRun downloads;
    ChunkRun chunks; // drives `downloads`
    LauncherVersionCheck launcherCheck;
    Maintenance maintenance;
    RecordKeeper records;
};
