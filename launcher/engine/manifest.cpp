#include "updater.h"

#include "manifestcodec.h"
#include "platform/platform.h"
#include "settings.h"

#include <QDir>
#include <QJsonValue>
#include <QStandardPaths>

#include <utility>

void Updater::parseManifest(const QByteArray &body)
{
    manifestFiles = QJsonObject();
    filesToDownload.clear();
    stagedValid.clear();

    const DecodedManifest decoded = decodeManifest(body);
    if (!decoded.ok()) {
        refuseManifest(decoded.detail);
        return;
    }
    manifestFiles = decoded.files;
    if (std::exchange(uninstallAfterCheck, false)) {
        performUninstall(Settings::installPath());
        return;
    }
    verifyInstallation();
}

void Updater::refuseManifest(const QString &reason)
{
    // Without a word the window would stay in its checking state for good.
    qWarning().noquote() << "Refused the update manifest:" << reason;
    uninstallAfterCheck = false;
    // Nor may a verification of an earlier table go on to report on this one.
    stopVerification();
    setState(State::Idle);
    emit stateChanged(QStringLiteral("update"));
    emit downloadError(invalidManifestMessage());
}

qint64 Updater::manifestSize(const QString &key) const
{
    const qint64 size =
        manifestFiles.value(key).toObject().value(QLatin1String("size")).toInteger(0);
    return qMax<qint64>(size, 0);
}

namespace {

QString productFolder(const QString &base)
{
    QString company = Settings::instance->companyName;
    QString application = Settings::instance->applicationName;
    company.replace(QLatin1Char('/'), QLatin1Char('_'));
    application.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QDir::cleanPath(QDir(base).absolutePath() + QLatin1Char('/') + company +
                           QLatin1Char('/') + application);
}

} // namespace

QString Updater::privateDirectory()
{
    // Linux shares its temporary folder between users, so our files live in the
    // user's cache, apart from the news pictures.
    if (platform::hostOs() == platform::Os::Windows)
        return QDir::toNativeSeparators(
            productFolder(QStandardPaths::writableLocation(QStandardPaths::TempLocation)) +
            QStringLiteral(".engine"));
    return productFolder(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)) +
           QStringLiteral("/engine");
}

QString Updater::stagingDirectory()
{
    if (platform::hostOs() == platform::Os::Windows)
        return QDir::toNativeSeparators(
            productFolder(QStandardPaths::writableLocation(QStandardPaths::TempLocation)));
    return privateDirectory() + QStringLiteral("/staging");
}

platform::FolderCheck Updater::preparePrivateFolders()
{
    platform::FolderCheck check = platform::ensurePrivateFolder(privateDirectory());
    if (check.ok)
        check = platform::ensurePrivateFolder(stagingDirectory());
    if (!check.ok)
        qWarning().noquote() << "Refused the staging folder:" << check.error;
    return check;
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
