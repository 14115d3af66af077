#include "updater.h"

#include "enginefolders.h"
#include "moverclient.h"
#include "settings.h"
#include "stagedinstall.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QNetworkReply>
#include <QThread>

#include <utility>

int maxConcurrentDownloads = QThread::idealThreadCount();

Updater::Updater()
    : QObject(nullptr), manifestCheck(networkManager), chunks(networkManager, downloads),
      launcherCheck(networkManager)
{
    connect(&schedule, &CheckSchedule::due, this, &Updater::runDeferredCheck);
    connect(&manifestCheck, &ManifestCheck::received, this, &Updater::onManifest);
    connect(&manifestCheck, &ManifestCheck::failed, this, &Updater::onManifestFailed);
    connect(&verification, &Verification::started, this, &Updater::verificationStarted);
    connect(&verification, &Verification::progress, this, &Updater::verificationProgress);
    connect(&verification, &Verification::finished, this, &Updater::onVerified);
    connect(&chunks, &ChunkRun::speed, this, &Updater::downloadProgress);
    connect(&chunks, &ChunkRun::progress, this, &Updater::overallProgress);
    connect(&chunks, &ChunkRun::fileReady, this,
            [this](const QString &key) { fetchList.fetched(key); });
    connect(&chunks, &ChunkRun::failed, this, &Updater::onRunFailed);
    connect(&chunks, &ChunkRun::finished, this, &Updater::completeRun);
    connect(&launcherCheck, &LauncherVersionCheck::finished, this,
            &Updater::launcherVersionCheckComplete);
    connect(&maintenance, &Maintenance::fileWorkStarted, this, &Updater::beginFileWork);
    connect(&maintenance, &Maintenance::fileWorkEnded, this, &Updater::endFileWork);
    connect(&maintenance, &Maintenance::error, this, &Updater::downloadError);
}

Updater::~Updater()
{
    // Nothing the helpers still finish may call back into an engine being destroyed.
    verification.stop();
    chunks.cancel();
    manifestCheck.drop();
    const auto owned = networkManager.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : owned)
        disconnect(reply, nullptr, nullptr, nullptr);
}

void Updater::setStallTimeout(int milliseconds)
{
    stallTimeoutMs = milliseconds;
    downloads.setStallTimeout(milliseconds);
}

void Updater::setState(State next)
{
    if (engineState == next)
        return;
    engineState = next;
    emit activityChanged(next);
    // A check asked for while we were busy runs now, unless the caller starts other work first.
    if (next == State::Idle)
        schedule.engineIdle();
}

bool Updater::fileWorkAllowed() const
{
    return engineState == State::Idle || engineState == State::Checking ||
           engineState == State::Verifying;
}

void Updater::runDeferredCheck()
{
    if (engineState == State::Idle)
        requestManifest(); // still busy otherwise: setState runs it once idle
}

void Updater::checkForUpdates()
{
    switch (engineState) {
    case State::Checking:
    case State::Verifying:
    case State::PreparingUninstall:
        return; // the check under way answers this one too
    case State::Downloading:
    case State::MovingFiles:
    case State::Uninstalling:
        // Not now (a check would verify a half-moved folder), but not forgotten.
        schedule.wantWhenIdle();
        return;
    case State::Idle:
        break;
    }

    if (!schedule.holdsBack(Settings::instance->lastUpdateCheck))
        requestManifest();
}

void Updater::checkAllFiles()
{
    fullCheckWanted = true;
    // A quick check under way answers with a full one once it is over.
    if (engineState == State::Checking || engineState == State::Verifying)
        schedule.wantWhenIdle();
    checkForUpdates();
}

void Updater::requestManifest()
{
    schedule.checkSent();
    if (engineState != State::PreparingUninstall)
        setState(State::Checking);
    // Its verification must not read a folder an earlier mover is still changing.
    MoverClient::waitForEarlierMover();
    emit checkingForUpdates();
    Settings::instance->setLastUpdateCheck(QDateTime::currentDateTime().toString(Qt::ISODate));
    manifestCheck.start(stallTimeoutMs);
}

void Updater::onManifest(const QJsonObject &files, const QString &build)
{
    manifestFiles = files;
    manifestBuild = build;
    manifestBody = manifestCheck.body();
    fetchList.clear();
    if (engineState == State::PreparingUninstall) {
        performUninstall(Settings::installPath());
        return;
    }
    verifyInstallation();
}

void Updater::onManifestFailed(const Failure &failure)
{
    if (QCoreApplication::closingDown()) {
        chunks.cancel();
        return;
    }
    if (failure.kind == Failure::Kind::InvalidData) {
        manifestFiles = QJsonObject();
        manifestBody.clear();
        fetchList.clear();
        // Nor may a verification of an earlier table go on to report on this one.
        verification.stop();
    }
    setState(State::Idle);

    // Once the launcher check went out, the window ends the program on this.
    if (launcherCheck.issued() && failure.kind != Failure::Kind::InvalidData) {
        launcherCheck.markUnreachable();
        emit launcherVersionCheckComplete(false);
        return;
    }
    emit stateChanged(QStringLiteral("update"));
    emit downloadError(failure.message);
}

bool Updater::isInstalled()
{
    const QString path = QDir::toNativeSeparators(QDir::cleanPath(Settings::installPath()));
    if (path.isEmpty())
        return false;
    const QDir dir(path);
    return dir.exists() && dir.exists(QStringLiteral(".initcomplete"));
}

void Updater::verifyInstallation()
{
    // During a run or a move the folder and the fetch list are not ours to reset.
    if (!fileWorkAllowed())
        return;
    fetchList.clear();
    setState(State::Verifying);
    // Taken here on the GUI thread: workers never touch Settings, which the
    // window may already have deleted when it tears the engine down.
    const QString folder = Settings::installPath();
    VerificationOptions options;
    options.stagingFolder = stagingDirectory();
    record = records.load(folder);
    options.record = record;
    options.trustRecord = !std::exchange(fullCheckWanted, false);
    verification.start(folder, manifestFiles, options);
}

void Updater::onVerified(const VerificationResult &result)
{
    fetchList.verified(result);
    setState(State::Idle);
    // What was read and found correct needs no reading next time; a folder that
    // holds the whole build loses what the build no longer lists.
    const bool whole = fetchList.folderComplete();
    records.note(record, Settings::installPath(), result.verified,
                 whole ? manifestBuild : QString());
    if (whole && isInstalled())
        maintenance.removeDropped(manifestFiles, record);
    // Nothing to check means nothing to fetch; silence would leave the window
    // in its checking state with every control disabled.
    if (!fetchList.nothingToFetch())
        emit updateAvailable(isInstalled() ? QStringLiteral("update") : QStringLiteral("install"));
    else
        emit noUpdateAvailable();
}

void Updater::startUpdate()
{
    switch (engineState) {
    case State::Downloading:
        emit noUpdateAvailable();
        return;
    case State::Checking:
    case State::Verifying:
    case State::MovingFiles:
    case State::PreparingUninstall:
    case State::Uninstalling:
        // The check under way will answer; a run would stage files a mover may be taking away.
        return;
    case State::Idle:
        break;
    }
    if (schedule.isStale()) {
        checkForUpdates();
        return;
    }
    if (fetchList.nothingToFetch()) {
        emit noUpdateAvailable();
        return;
    }
    if (isGameRunning()) {
        emit downloadError(QStringLiteral("Update cannot be performed while the game is running. "
                                          "Please close the game before updating."));
        return;
    }
    if (!EngineFolders::preparePrivate()) {
        emit stateChanged(runEndState());
        emit downloadError(QStringLiteral("Could not create directory path for download"));
        return;
    }

    setState(State::Downloading);
    emit stateChanged(isInstalled() ? QStringLiteral("updating") : QStringLiteral("installing"));
    fetchList.buildItems(manifestFiles, this,
                         [this](const QList<DownloadItem> &items) { startRun(items); });
}

void Updater::startRun(const QList<DownloadItem> &items)
{
    if (engineState != State::Downloading)
        return;
    emit overallProgress(0, fetchList.beginRun(items));
    ChunkRun::Request request;
    request.items = items;
    request.maxConcurrent = maxConcurrentDownloads;
    request.stallTimeoutMs = stallTimeoutMs;
    request.work.manifestBody = manifestBody;
    request.work.table = manifestFiles;
    request.work.gameDir = Settings::installPath();
    request.work.record = record;
    request.work.goodKeys = fetchList.foundCorrect(manifestFiles);
    chunks.start(std::move(request));
}

void Updater::onRunFailed(const QString &message)
{
    setState(State::Idle);
    if (QCoreApplication::closingDown())
        return;
    emit stateChanged(runEndState());
    emit downloadError(message);
}

void Updater::completeRun()
{
    StagedInstall::markRunComplete();
    setState(State::Idle);
    switch (moveCheckedFilesIn(fetchList.readyAfterRun())) {
    case MoveIn::Installed:
        chunks.noteInstalled(Settings::installPath());
        emit updateComplete();
        break;
    case MoveIn::NothingStaged:
        emit updateComplete();
        break;
    case MoveIn::GameRunning:
    case MoveIn::Failed:
    case MoveIn::Busy:
        schedule.markStale();
        emit stateChanged(runEndState());
        break;
    }
}

void Updater::beginFileWork(bool uninstalling)
{
    // A verification must not read a folder while it changes: it runs again afterwards.
    verification.interrupt();
    manifestCheck.hold();
    setState(uninstalling ? State::Uninstalling : State::MovingFiles);
}

void Updater::endFileWork()
{
    if (manifestCheck.isPending()) {
        setState(State::Checking); // its reply is read once released
    } else if (verification.isInterrupted()) {
        setState(State::Verifying);
        verification.resume();
    } else {
        setState(State::Idle);
    }
    // Manifests that arrived during the move are read after the caller has
    // reported its own outcome, as they would be behind a blocked thread.
    manifestCheck.resume();
}

bool Updater::installFiles(const QString &source, const QString &destination,
                           const QStringList &ignore)
{
    // Only one mover at a time. A call that arrives while one runs (from a
    // timer or a signal handled during the wait) moves nothing and says so
    // with false, without a message of its own. So does one during a run.
    return fileWorkAllowed() && maintenance.installFiles(source, destination, ignore).ok();
}

Updater::MoveIn Updater::installPendingFiles()
{
    // While a mover or a run is at work nothing more is moved.
    return fileWorkAllowed() ? moveCheckedFilesIn(fetchList.stagedValid()) : MoveIn::Busy;
}

// `keys` is a copy: it may be the fetch list's own set, which the move changes.
Updater::MoveIn Updater::moveCheckedFilesIn(QSet<QString> keys)
{
    const MoveIn moved = maintenance.moveStagedIn(keys, manifestFiles, manifestBuild);
    if (moved == MoveIn::Installed) {
        maintenance.removeDropped(manifestFiles, records.load(Settings::installPath()));
        fetchList.movedIn(keys);
    }
    return moved;
}

Result<Updater::Relocation> Updater::relocateInstallation(const QString &destination)
{
    if (engineState != State::Idle)
        return Result<Relocation>::fail(
            Failure::Kind::Busy, QStringLiteral("Please wait until the current check, update or "
                                                "file operation has finished."));
    return maintenance.relocate(destination, manifestFiles);
}

void Updater::uninstall()
{
    // Nothing to ask while a mover runs: its folder may be the one to remove.
    if (!fileWorkAllowed())
        return;
    const QString dir = Settings::installPath();
    // An empty or relative path would name whatever folder we were started in.
    if (!MoverClient::isFullPath(dir) || !QDir(dir).exists())
        return;
    if (!Maintenance::confirmUninstall(prompter))
        return;
    if (manifestFiles.isEmpty()) {
        // What the game owns is only known from a manifest: fetch one first.
        const bool checking = engineState == State::Checking;
        setState(State::PreparingUninstall);
        if (!checking)
            requestManifest();
        return;
    }
    performUninstall(dir);
}

void Updater::performUninstall(const QString &dir)
{
    if (!maintenance.removeGame(dir, manifestFiles)) {
        if (engineState == State::PreparingUninstall)
            setState(State::Idle); // the list could not even be written
        return;
    }
    emit stateChanged(QStringLiteral("install"));
    Maintenance::tellWhatWasKept(dir, prompter);
    schedule.markStale();
    checkForUpdates();
}

bool Updater::migrateLegacyInstallation()
{
    // Only one file operation at a time; this one moves nothing meanwhile.
    return fileWorkAllowed() && maintenance.migrateLegacy().ok();
}

void Updater::checkLauncherVersion()
{
    launcherCheck.start(stallTimeoutMs, prompter);
}
