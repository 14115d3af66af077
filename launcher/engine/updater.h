#pragma once

#include "downloadspeed.h"
#include "inactivityguard.h"
#include "platform/platform.h"

#include <QFutureWatcher>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdlib>
#include <memory>

class QFile;
class QTimer;

// Upper bound of simultaneous file downloads; set once when the program starts.
extern int maxConcurrentDownloads;

// The launcher's update engine: checks the patch server's manifest, verifies the
// game folder, downloads what is missing, moves it into place, checks for a new
// launcher, uninstalls, guards a running game and migrates a legacy install.
// Lives on the GUI thread; only verification works on pool threads.
class Updater final : public QObject
{
    Q_OBJECT

public:
    // What the engine is doing; every entry point decides from it what a call
    // at the wrong moment does.
    enum class State
    {
        Idle,
        Checking,    // the manifest request is out
        Verifying,   // the game folder is being checked against the manifest
        Downloading, // a run fetches files into staging
        MovingFiles, // a file mover (or the legacy unpacking) is at work
        Uninstalling // confirmed: waiting for the manifest, or removing files
    };

    Updater();
    ~Updater() override;

    // Update check and verification.
    void checkForUpdates();
    bool isInstalled();
    QList<QString> verifyInstallation();

    // Moving files into the game folder through the file mover. While a mover
    // runs the window keeps painting, and a second call moves nothing.
    bool installFiles(const QString &source, const QString &destination, const QStringList &ignore);
    int installPendingFiles();

    // Moves what the game owns (the files of the last parsed manifest and ".initcomplete")
    // from the current install folder into `destination` through the file mover;
    // everything else stays where it was. Emits no signal: the caller shows the
    // outcome and stores the new install path on success.
    struct MoveResult
    {
        bool ok = false;
        QString error;
        bool leftOtherFiles = false; // the old folder still holds files that are not the game's
    };
    MoveResult relocateInstallation(const QString &destination);

    // Running game, uninstall, legacy installation.
    bool isGameRunning();
    void uninstall();
    bool hasLegacyInstallation();
    bool migrateLegacyInstallation();

    // Launcher self-update check.
    void checkLauncherVersion();

    // Where downloads wait until the file mover moves them into the game folder.
    static QString stagingDirectory();
    // The engine's own per-user folder: lists for the file mover (and staging on Linux).
    static QString privateDirectory();
    // Staging path and download address of a manifest key.
    static QString stagingPath(const QString &key);
    static QUrl fileUrl(const QString &key);

    // Read-only views of the engine's state.
    const QJsonObject &fileTable() const { return manifestFiles; }
    const QList<QString> &filesToFetch() const { return filesToDownload; }
    State state() const { return engineState; }
    bool updating() const { return engineState == State::Downloading; }
    bool recheckPending() const { return recheckRequired; }
    // Carries every request of the engine; observers may watch its replies.
    const QNetworkAccessManager &network() const { return networkManager; }

    // Every request fails after this long without receiving data.
    static constexpr int defaultStallTimeoutMs = InactivityGuard::defaultLimitMs;
    void setStallTimeout(int milliseconds) { stallTimeoutMs = milliseconds; }
    int stallTimeout() const { return stallTimeoutMs; }

    // User-visible texts shared with the window.
    static QString stalledServerMessage();
    static QString invalidManifestMessage();
    static QString overlappingFoldersMessage();
    static QString relativeFolderMessage();
    static QString gameStartedMessage();

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

public slots:
    void startUpdate();

private slots:
    void handleNetworkReply(QNetworkReply *reply);
    void handleDownloadError(QNetworkReply::NetworkError error);
    void downloadNextFile();

private:
    // Which of the engine's requests a reply belongs to.
    enum class Purpose
    {
        Manifest = 1,
        File,
        LauncherVersion
    };

    struct DownloadInfo
    {
        QString filePath;
        QString checksum;
        QFile *file = nullptr;
        qint64 expectedSize = 0; // manifest size; 0 when unknown
        qint64 bytesWritten = 0;
        quint32 crc = 0;         // of the bytes written so far
        qint64 rangeStart = 0;   // staged bytes a resumed request asked the rest after
        qint64 baseBytes = 0;    // staged bytes the body is appended to
        bool bodyPlaced = false; // the answer's status has decided where the body goes
    };

    struct PendingDownload
    {
        QUrl url;
        QString filePath;
    };

    // A rangeStart above 0 asks for the file from that byte on.
    QNetworkReply *sendRequest(const QUrl &url, Purpose purpose, qint64 rangeStart = 0);
    void onRequestStalled(QNetworkReply *reply);
    static Purpose purposeOf(const QNetworkReply *reply);
    static bool isStall(QNetworkReply::NetworkError error);

    void setState(State next);
    bool fileWorkAllowed() const;
    void runDeferredCheck();
    void failRun(const QString &message);
    QString runEndState();

    // Manifest.
    void requestManifest();
    void parseManifest(const QByteArray &body);
    void refuseManifest(const QString &reason);
    qint64 manifestSize(const QString &key) const;

    // Verification.
    void onVerificationFinished();
    void stopVerification();

    // Downloads.
    void startDownload(const QUrl &url, const QString &filePath);
    void writeDownloadData(QNetworkReply *reply);
    void onDownloadProgress(QNetworkReply *reply, qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished(QNetworkReply *reply);
    void releaseDownload(QNetworkReply *reply);
    void cancelAllDownloads();
    void abandonReply(QNetworkReply *reply, DownloadInfo &info);
    void refuseOversizedDownload(QNetworkReply *reply);
    bool placeBody(QNetworkReply *reply, DownloadInfo &info, int status);
    void rejectDownload(QNetworkReply *reply, const QString &message);
    void completeRun();
    enum class MoveIn
    {
        Installed,
        NothingStaged,
        GameRunning,
        Failed
    };
    MoveIn moveCheckedFilesIn(const QSet<QString> &keys);
    void pruneStaging();
    void takeKey(const QString &key);
    QString largestWaitingKey();

    // Launcher version.
    void onLauncherVersionReply(QNetworkReply *reply);

    // Installation, uninstall and migration: one file operation at a time.
    struct MoverRun
    {
        bool ok = false;
        QString error; // the player's text; empty when there is nothing to say
    };
    MoverRun runMover(const QString &source, const QString &destination, const QStringList &ignore,
                      const QString &listFile);
    bool runFileMover(const QString &source, const QString &destination, const QStringList &ignore,
                      const QString &listFile = {});
    static bool isFullPath(const QString &path);
    static void waitForEarlierMover();
    // Empty when the pair may be used; otherwise the player's text.
    static QString checkFolderPair(const QString &source, const QString &destination);
    static platform::FolderCheck preparePrivateFolders();
    QStringList ownedEntries() const;
    QString writeOwnedList();
    static QString writeList(const QString &name, const QStringList &entries);
    void performUninstall(const QString &dir);
    void beginFileWork(State work = State::MovingFiles);
    void endFileWork();

    // Declared first so it is destroyed last.
    QNetworkAccessManager networkManager;

    bool launcherCheckIssued = false;
    QJsonObject manifestFiles;
    QList<QString> filesToDownload;
    int nextFileIndex = 0;
    State engineState = State::Idle;
    bool recheckRequired = false;
    bool checkWanted = false;         // a check asked for while busy or within the second
    bool uninstallAfterCheck = false; // confirmed, waiting for the list of what the game owns
    bool verifyAgain = false;         // a verification stopped by file work runs again after it
    QTimer *deferredCheck = nullptr;
    QPointer<QNetworkReply> currentManifest; // replies of earlier checks are dropped
    QSet<QString> checkedKeys;               // downloaded and checked by this run
    QSet<QString> stagedValid;               // staged copies the last verification found correct
    QMap<QNetworkReply *, DownloadInfo> activeDownloads;
    QList<PendingDownload> pendingDownloads;
    QMap<QString, qint64> fileBytesReceived;
    qint64 totalBytesReceived = 0;
    qint64 totalBytes = 0;
    struct VerifiedBatch
    {
        QList<QString> bad;
        QList<QString> stagedValid;
    };
    QFutureWatcher<VerifiedBatch> *verificationWatcher = nullptr;
    QList<QString> verificationResults;

    DownloadSpeed speed;
    QMap<QNetworkReply *, qint64> lastBytesPerReply;
    int stallTimeoutMs = defaultStallTimeoutMs;

    QList<QPointer<QNetworkReply>> deferredReplies; // manifests that came in during file work

    // The run's keys above size 0, largest first and list order among equals, with
    // the keys already taken: a refill walks a cursor instead of rescanning the list.
    QList<QString> keysBySize;
    qsizetype keysBySizeCursor = 0;
    QSet<QString> startedKeys;
    QSet<QString> createdFolders; // staging folders made during this run

    // One buffer for every reply's data instead of an allocation per readyRead.
    struct FreeDeleter
    {
        void operator()(char *data) const { std::free(data); }
    };
    std::unique_ptr<char, FreeDeleter> readBuffer;
};
