#pragma once

#include "inactivityguard.h"

#include <QObject>
#include <QString>

#include <memory>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class ReleaseSwap;

// Replaces the launcher's files with a release package: checks that the
// launcher's folder is writable (restarting itself elevated once if not),
// stops the player's launchers, finishes or undoes an update that was
// interrupted, downloads the package and swaps it in all or nothing.
class LauncherUpdater final : public QObject
{
    Q_OBJECT

public:
    explicit LauncherUpdater(QObject *parent = nullptr);

    // Returns false when this process should end at once because an elevated
    // copy has been asked to take over. Otherwise the outcome arrives as
    // signals, always ending with finished().
    bool startUpdate(const QString &launcherPath, const QString &updateUrl, bool elevated);

    ~LauncherUpdater() override;

    // A download that receives nothing for this long fails (30 s by default).
    void setStallTimeout(int milliseconds) { stallTimeoutMs = milliseconds; }

    // The player closed the window before the end: nothing of the release stays.
    void abandon();

    // After finished(): whether the update failed, and whether this run had
    // taken charge of the launcher's folder (so the launcher was stopped).
    bool hasFailed() const { return failed; }
    bool tookOver() const { return swap != nullptr; }

signals:
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void error(QString message);
    void status(QString message);
    void finished();

private:
    void onDownloadFinished(QNetworkReply *reply);
    void writePackageData(QNetworkReply *reply);
    void fail(const QString &message);
    void dropRelease();

    QNetworkAccessManager *networkManager;
    // The package goes to disk as it arrives, so memory stays flat in its size.
    QFile *package = nullptr;
    bool packageWriteFailed = false;
    bool failed = false;
    bool ended = false;
    QString targetFolder;
    std::unique_ptr<ReleaseSwap> swap;
    int stallTimeoutMs = InactivityGuard::defaultLimitMs;
};
