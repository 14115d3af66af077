#include "enginefolders.h"

#include "platform/platform.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QStandardPaths>

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

namespace EngineFolders {

QString privateDirectory()
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

QString stagingDirectory()
{
    if (platform::hostOs() == platform::Os::Windows)
        return QDir::toNativeSeparators(
            productFolder(QStandardPaths::writableLocation(QStandardPaths::TempLocation)));
    return privateDirectory() + QStringLiteral("/staging");
}

QString stagingPath(const QString &key)
{
    return stagingPathIn(stagingDirectory(), key);
}

QString stagingPathIn(const QString &stagingFolder, const QString &key)
{
    const QString relative = key.startsWith(QLatin1Char('/')) ? key.mid(1) : key;
    return QDir::toNativeSeparators(QDir::cleanPath(stagingFolder + QLatin1Char('/') + relative));
}

Status preparePrivate()
{
    platform::FolderCheck check = platform::ensurePrivateFolder(privateDirectory());
    if (check.ok)
        check = platform::ensurePrivateFolder(stagingDirectory());
    if (check.ok)
        return {};
    qWarning().noquote() << "Refused the staging folder:" << check.error;
    return Status::fail(Failure::Kind::Refused, check.error);
}

} // namespace EngineFolders
