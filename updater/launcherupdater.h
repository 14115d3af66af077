#pragma once

#include "inactivityguard.h"

#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QTemporaryFile;

// Replaces the launcher's files with a release package: checks that the
// launcher's folder is writable (restarting itself elevated once if not),
// stops the launcher, downloads the package and unpacks it over the folder.
class LauncherUpdater final : public QObject
{
    Q_OBJECT

public:
    explicit LauncherUpdater(QObject *parent = nullptr);

    // Returns false when this process should end at once because an elevated
    // copy has been asked to take over. Otherwise the outcome arrives as
    // signals, always ending with finished().
    bool startUpdate(const QString &launcherPath, const QString &updateUrl, bool elevated);

    // A download that receives nothing for this long fails (30 s by default).
    void setStallTimeout(int milliseconds) { stallTimeoutMs = milliseconds; }

signals:
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void error(QString message);
    void status(QString message);
    void finished();

private:
    void onDownloadFinished(QNetworkReply *reply);
    void writePackageData(QNetworkReply *reply);
    void fail(const QString &message);

    QNetworkAccessManager *networkManager;
    // The package goes to disk as it arrives, so memory stays flat in its size.
    QTemporaryFile *package = nullptr;
    bool packageWriteFailed = false;
    QString targetFolder;
    int stallTimeoutMs = InactivityGuard::defaultLimitMs;
};
