#include "settings.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocale>
#include <QMutexLocker>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

namespace {

// A value that refers to itself, directly or through others, must not expand for ever.
constexpr int maxEnvironmentPasses = 16;

QString systemLanguage()
{
    return QLocale::system().name().split(QLatin1Char('_')).first();
}

QString stringField(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString();
}

} // namespace

Settings::Settings(QObject *parent, LoadFailures failures) : QObject(parent), loadFailures(failures)
{
    loadDefaults();
    QCoreApplication::setOrganizationName(companyName);
    QCoreApplication::setApplicationName(applicationName + QStringLiteral(" Launcher"));
    QCoreApplication::setApplicationVersion(version);
    store = new QSettings();
}

Settings::~Settings()
{
    QMutexLocker lock(&storeMutex);
    store->sync();
    delete store;
    store = nullptr;
}

QString Settings::profileResource()
{
    return QStringLiteral(LAUNCHER_PROFILE_RESOURCE);
}

bool Settings::loadDefaults()
{
    return loadDefaults(profileResource());
}

bool Settings::loadDefaults(const QString &fileName)
{
    const bool logged = loadFailures == LoadFailures::Logged;
    QFile file(fileName);
    if (!file.exists()) {
        if (logged)
            qWarning().noquote() << "File " + fileName + " does not exist in resources.";
        return false;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (logged)
            qWarning().noquote() << "Could not open default settings file";
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (document.isNull()) {
        if (logged)
            qWarning().noquote() << "Failed to parse default settings JSON";
        return false;
    }

    profile = document.object();
    applicationName = stringField(profile, "applicationName");
    companyName = stringField(profile, "companyName");
    updateUrl = stringField(profile, "updateUrl");
    executableName = stringField(profile, "executableName");
    logoImage = stringField(profile, "logoImage");
    companyUrl = stringField(profile, "companyUrl");
    categories = profile.value(QLatin1String("categories")).toArray();
    legacyDir = stringField(profile, "legacyDir");
    updaterExecutable = stringField(profile, "updaterExecutable");
    launcherExecutable = stringField(profile, "launcherExecutable");
    launcherUpdateUrl = stringField(profile, "launcherUpdateUrl");
    version = stringField(profile, "version");
    manifestFile = stringField(profile, "manifestFile");
    newsUrl = stringField(profile, "newsUrl");
    profileLanguage = stringField(profile, "language");
    return true;
}

QString Settings::expandPath(const QString &path) const
{
    static const QRegularExpression reference(QStringLiteral("%([^%]+)%"));
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    QString result = path;
    for (int pass = 0; pass < maxEnvironmentPasses; ++pass) {
        QString expanded;
        qsizetype copiedUpTo = 0;
        bool changed = false;
        auto matches = reference.globalMatch(result);
        while (matches.hasNext()) {
            const QRegularExpressionMatch match = matches.next();
            const QString value = environment.value(match.captured(1));
            if (value.isEmpty())
                continue;
            expanded += QStringView(result).mid(copiedUpTo, match.capturedStart() - copiedUpTo);
            expanded += value;
            copiedUpTo = match.capturedEnd();
            changed = true;
        }
        if (!changed)
            break;
        expanded += QStringView(result).mid(copiedUpTo);
        result = expanded;
    }

    result.replace(QLatin1String("{appData}"),
                   QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    result.replace(QLatin1String("{applicationName}"), applicationName);
    result.replace(QLatin1String("{companyName}"), companyName);

    result = QDir::toNativeSeparators(QDir::cleanPath(result));
    // Below a protected folder this fails without rights; the caller copes later.
    QDir().mkpath(QFileInfo(result).path());
    return result;
}

QString Settings::defaultInstallPath() const
{
    const QJsonObject templates = profile.value(QLatin1String("defaultPaths")).toObject();
    return expandPath(templates.value(platform::defaultPathTemplateKey()).toString());
}

QString Settings::installPath()
{
    const QString stored =
        instance->storedValue(QStringLiteral("installPath"), QVariant()).toString();
    const QString path = stored.isNull() ? instance->defaultInstallPath() : stored;
    return QDir::toNativeSeparators(QDir::cleanPath(path));
}

QString Settings::language()
{
    const QVariant stored = instance->storedValue(QStringLiteral("language"), QVariant());
    return stored.isValid() ? stored.toString() : systemLanguage();
}

bool Settings::animationsEnabled()
{
    return instance->storedValue(QStringLiteral("animationsEnabled"), false).toBool();
}

bool Settings::hasSelectedInstallPath() const
{
    return storedValue(QStringLiteral("hasSelectedInstallPath"), false).toBool();
}

bool Settings::ignoreLegacyInstallationMigration() const
{
    return storedValue(QStringLiteral("ignoreLegacyInstallationMigration"), false).toBool();
}

QVariant Settings::storedValue(const QString &key, const QVariant &fallback) const
{
    QMutexLocker lock(&storeMutex);
    return store->value(key, fallback);
}

void Settings::storeValue(const QString &key, const QVariant &value)
{
    QMutexLocker lock(&storeMutex);
    store->setValue(key, value);
}

bool Settings::changeStored(const QString &key, const QVariant &fallback, const QVariant &value)
{
    QMutexLocker lock(&storeMutex);
    if (store->value(key, fallback) == value)
        return false;
    store->setValue(key, value);
    return true;
}

void Settings::setInstallPath(QString path)
{
    if (!changeStored(QStringLiteral("installPath"), installPathField, path))
        return;
    {
        // The game's files may just have moved there: a launcher that ends
        // before its next idle moment must still find them.
        QMutexLocker lock(&storeMutex);
        store->sync();
    }
    emit installPathChanged(path);
}

void Settings::setAutoUpdate(bool enabled)
{
    if (changeStored(QStringLiteral("autoUpdate"), autoUpdate, enabled))
        emit autoUpdateChanged(enabled);
}

void Settings::setLastUpdateCheck(QString dateTime)
{
    if (lastUpdateCheck == dateTime)
        return;
    lastUpdateCheck = dateTime;
    emit lastUpdateCheckChanged(dateTime);
}

void Settings::setIgnoreLegacyInstallationMigration(bool ignore)
{
    storeValue(QStringLiteral("ignoreLegacyInstallationMigration"), ignore);
}

void Settings::setAnimationsEnabled(bool enabled)
{
    storeValue(QStringLiteral("animationsEnabled"), enabled);
}

void Settings::setHasSelectedInstallPath(bool hasSelected)
{
    QMutexLocker lock(&storeMutex);
    store->setValue(QStringLiteral("hasSelectedInstallPath"), hasSelected);
    store->sync();
}

void Settings::setLanguage(QString language)
{
    const QString key = QStringLiteral("language");
    {
        QMutexLocker lock(&storeMutex);
        // Against the language in effect: English chosen on a Portuguese system must be kept.
        const QVariant stored = store->value(key);
        if ((stored.isValid() ? stored.toString() : systemLanguage()) == language)
            return;
        store->setValue(key, language);
    }
    emit languageChanged(language);
}
