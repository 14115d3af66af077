#include "updater.h"

#include "manifestcodec.h"
#include "settings.h"

#include <QDir>
#include <QJsonValue>
#include <QStandardPaths>

void Updater::parseManifest(const QByteArray &body)
{
    manifestFiles = QJsonObject();
    filesToDownload.clear();

    const DecodedManifest decoded = decodeManifest(body);
    if (!decoded.ok()) {
        refuseManifest(decoded.detail);
        return;
    }
    manifestFiles = decoded.files;
    verifyInstallation();
}

void Updater::refuseManifest(const QString &reason)
{
    // Without a word the window would stay in its checking state for good.
    qWarning().noquote() << "Refused the update manifest:" << reason;
    emit stateChanged(QStringLiteral("update"));
    emit downloadError(invalidManifestMessage());
}

qint64 Updater::manifestSize(const QString &key) const
{
    const qint64 size =
        manifestFiles.value(key).toObject().value(QLatin1String("size")).toInteger(0);
    return qMax<qint64>(size, 0);
}

QString Updater::stagingDirectory()
{
    QString company = Settings::instance->companyName;
    QString application = Settings::instance->applicationName;
    company.replace(QLatin1Char('/'), QLatin1Char('_'));
    application.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString temp =
        QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).absolutePath();
    return QDir::toNativeSeparators(
        QDir::cleanPath(temp + QLatin1Char('/') + company + QLatin1Char('/') + application));
}

QString Updater::stagingPath(const QString &key)
{
    const QString relative = key.startsWith(QLatin1Char('/')) ? key.mid(1) : key;
    return QDir::toNativeSeparators(
        QDir::cleanPath(stagingDirectory() + QLatin1Char('/') + relative));
}

QUrl Updater::fileUrl(const QString &key)
{
    // "/" stays literal: Apache refuses "%2F" in a path unless told otherwise,
    // and servers that decode it treat both forms alike.
    return QUrl(Settings::instance->updateUrl +
                    QString::fromLatin1(QUrl::toPercentEncoding(key, QByteArrayLiteral("/"))),
                QUrl::TolerantMode);
}
