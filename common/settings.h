#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>

class QSettings;

// The build's product profile (read-only fields) and the player's preferences.
// The launcher has exactly one, published as Settings::instance by the main window.
class Settings final : public QObject
{
    Q_OBJECT

public:
    // The launcher fails silently on a broken profile; the self-updater logs why.
    enum class LoadFailures { Silent, Logged };

    explicit Settings(QObject *parent = nullptr, LoadFailures failures = LoadFailures::Silent);
    ~Settings() override;

    // The profile resource this build reads.
    static QString profileResource();

    bool loadDefaults();
    // Reads another profile file in place of the build's own; the fields are overwritten.
    bool loadDefaults(const QString &fileName);

    QString expandPath(const QString &path) const;
    QString defaultInstallPath() const;

    // Valid while the main window exists; the static getters read through it.
    static inline Settings *instance = nullptr;

    // Safe from any thread (verification workers read the install path).
    static QString installPath();
    static QString language();
    static bool animationsEnabled();

    // Read by the main window straight from the store.
    bool hasSelectedInstallPath() const;
    bool ignoreLegacyInstallationMigration() const;

    // Profile fields; only loadDefaults writes them (tests point the URLs at local servers).
    QJsonObject profile;
    QString applicationName;
    QString companyName;
    QString updateUrl;
    QString executableName;
    QString logoImage;
    QJsonArray categories;
    QString companyUrl;
    QString legacyDir;
    QString updaterExecutable;
    QString launcherExecutable;
    QString launcherUpdateUrl;
    QString version;
    QString manifestFile;
    QString newsUrl;
    QString profileLanguage; // the profile's "language" key (static language() is the preference)
    QString lastUpdateCheck;

signals:
    void installPathChanged(QString newPath);
    void autoUpdateChanged(bool enabled);
    void lastUpdateCheckChanged(QString dateTime);
    void gameVersionChanged(QString version);
    void languageChanged(QString language);

public slots:
    void setInstallPath(QString path);
    void setAutoUpdate(bool enabled);
    void setLastUpdateCheck(QString dateTime);
    void setIgnoreLegacyInstallationMigration(bool ignore);
    void setAnimationsEnabled(bool enabled);
    void setHasSelectedInstallPath(bool hasSelected);
    void setLanguage(QString language);

private:
    QVariant storedValue(const QString &key, const QVariant &fallback) const;
    void storeValue(const QString &key, const QVariant &value);
    bool changeStored(const QString &key, const QVariant &fallback, const QVariant &value);

    LoadFailures loadFailures;
    QSettings *store = nullptr;
    mutable QMutex storeMutex;
    QString installPathField;
    // Every shipped profile publishes autoUpdate as true; use that as the unset state.
    bool autoUpdate = true;
};
