#include "settings.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QMetaMethod>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {

QString storeFileText()
{
    QSettings reader;
    return QString::fromUtf8(readFile(reader.fileName()));
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    std::unique_ptr<Settings> settings;

private slots:
    void init()
    {
        settings = std::make_unique<Settings>();
        Settings::instance = settings.get();
        QSettings store;
        store.clear();
        store.sync();
    }

    void cleanup()
    {
        Settings::instance = nullptr;
        settings.reset();
    }

    void buildProfileSetsIdentity()
    {
        QCOMPARE(Settings::profileResource(),
                 QStringLiteral(":/resources/settings_ashgrove_ptr.json"));
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Duskmere Games"));
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Ashgrove PTR Launcher"));
        QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("0.0.1"));
        QVERIFY(QSettings().fileName().contains(QStringLiteral("Ashgrove PTR Launcher")));
    }

    void profiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("logo");
        QTest::addColumn<QString>("legacyDir");
        QTest::addColumn<QString>("launcherExecutable");
        QTest::addColumn<int>("categoryCount");
        QTest::addColumn<bool>("hasNews");

        QTest::newRow("ashgrove ptr") << "settings_ashgrove_ptr.json" << "Ashgrove PTR" << "0.0.1"
                                      << "ashgrove_dx.exe" << "ag_logo.png" << "Ashgrove/ashgrove_ptr"
                                      << "launcher.exe" << 9 << true;
        QTest::newRow("ashgrove") << "settings_ashgrove.json" << "Ashgrove" << "0.0.2"
                                  << "ashgrove_dx_BE.exe" << "ag_logo.png" << "Ashgrove/ashgrove"
                                  << "launcher.exe" << 9 << true;
        QTest::newRow("ashgrove test") << "settings_ashgrove_test.json" << "Ashgrove Test Server"
                                       << "0.0.2" << "ashgrove_dx.exe" << "ag_logo.png"
                                       << "Ashgrove/ashgrove_test" << "launcher.exe" << 9 << true;
        QTest::newRow("tournament") << "settings_ashgrove_tournament.json" << "Ashgrove Tournament"
                                    << "0.0.1" << "ashgrove_dx.exe" << "ag_logo.png"
                                    << "ashgrove_tournament" << "dmk-launcher.exe" << 10 << false;
        QTest::newRow("dev") << "settings_dev.json" << "Ashgrove" << "dev" << "ashgrove_dx.exe"
                             << "ag_logo.png" << "Ashgrove/ashgrove" << "launcher.exe" << 10 << true;
        QTest::newRow("stoneveil") << "settings_stoneveil.json" << "Stoneveil" << "0.0.1"
                                   << "stoneveil_dx_BE.exe" << "sv_logo.png" << "Stoneveil/stoneveil"
                                   << "dmk-launcher.exe" << 8 << true;
        QTest::newRow("stoneveil ptr") << "settings_stoneveil_ptr.json" << "Stoneveil PTR" << "0.0.1"
                                       << "stoneveil_dx_BE.exe" << "sv_logo.png"
                                       << "Stoneveil/stoneveil_ptr" << "dmk-launcher.exe" << 8 << true;
        QTest::newRow("stoneveil test") << "settings_stoneveil_test.json" << "Stoneveil Test Server"
                                        << "0.0.9" << "stoneveil_dx.exe" << "sv_logo.png"
                                        << "Stoneveil/stoneveil_test" << "dmk-launcher.exe" << 8
                                        << true;
        QTest::newRow("demo") << "settings_demo.json" << "Ashgrove Demo" << "1.0.0"
                              << "ashgrove_dx.exe" << "ag_logo.png" << "Ashgrove/ashgrove_demo"
                              << "launcher.exe" << 6 << true;
    }

    void profiles()
    {
        QFETCH(QString, file);
        Settings profile;
        QVERIFY(profile.loadDefaults(QStringLiteral(":/resources/") + file));

        QTEST(profile.applicationName, "name");
        QTEST(profile.version, "version");
        QTEST(profile.executableName, "executable");
        QTEST(profile.logoImage, "logo");
        QTEST(profile.legacyDir, "legacyDir");
        QTEST(profile.launcherExecutable, "launcherExecutable");
        QTEST(int(profile.categories.size()), "categoryCount");
        QFETCH(bool, hasNews);
        QCOMPARE(profile.newsUrl.isEmpty(), !hasNews);

        QCOMPARE(profile.companyName, QStringLiteral("Duskmere Games"));
        QCOMPARE(profile.manifestFile, QStringLiteral("checksums.txt.gz"));
        QCOMPARE(profile.updaterExecutable, QStringLiteral("updater.exe"));
        // Plain HTTP only where nothing leaves the machine (the demo's server).
        const auto secureOrLoopback = [](const QString &url) {
            return url.startsWith(QLatin1String("https://")) ||
                   url.startsWith(QLatin1String("http://127.0.0.1:"));
        };
        QVERIFY(secureOrLoopback(profile.updateUrl));
        QVERIFY(secureOrLoopback(profile.launcherUpdateUrl));
        QVERIFY(profile.newsUrl.isEmpty() || secureOrLoopback(profile.newsUrl));
        QVERIFY(profile.profileLanguage.isEmpty());
        const QJsonObject paths = profile.profile.value(QLatin1String("defaultPaths")).toObject();
        QCOMPARE(paths.value(QLatin1String("windows")).toString(),
                 QStringLiteral("%ProgramFiles(x86)%/{companyName}/{applicationName}"));
        QCOMPARE(paths.value(QLatin1String("other")).toString(),
                 QStringLiteral("{appData}/{companyName}/{applicationName}"));

        // One empty entry separates the two groups; every other entry is a complete link.
        int separators = 0;
        for (const QJsonValue &value : profile.categories) {
            const QJsonObject category = value.toObject();
            if (category.isEmpty()) {
                ++separators;
                continue;
            }
            QVERIFY(!category.value(QLatin1String("name")).toString().isEmpty());
            QVERIFY(category.value(QLatin1String("icon")).toString().startsWith(":/resources/icon_"));
            QVERIFY(category.value(QLatin1String("url")).toString().startsWith("https://"));
        }
        QCOMPARE(separators, 1);
    }

    void buildProfileLinks()
    {
        QStringList names;
        for (const QJsonValue &value : settings->categories)
            names << value.toObject().value(QLatin1String("name")).toString();
        QCOMPARE(names, (QStringList{"Website", "Patch Notes", "New Player Guide", "Shop", "",
                                     "Discord", "Twitter (X)", "Twitch", "YouTube"}));
        QCOMPARE(settings->categories.at(3).toObject().value(QLatin1String("color")).toString(),
                 QStringLiteral("#FEFEC6"));
    }

    void loadFailures_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: the file does not exist
        QTest::addColumn<QString>("warning");
        QTest::newRow("missing") << QByteArray() << "File %1 does not exist in resources.";
        QTest::newRow("invalid json") << QByteArray("{ \"applicationName\": ") 
                                      << "Failed to parse default settings JSON";
    }

    void loadFailures()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, warning);
        const QString file = environment.home() + QStringLiteral("/profile.json");
        QFile::remove(file);
        if (!content.isEmpty())
            QVERIFY(writeFile(file, content));

        Settings silent;
        silent.applicationName.clear();
        QTest::failOnWarning(QRegularExpression(".*"));
        QVERIFY(!silent.loadDefaults(file));
        QVERIFY(silent.applicationName.isEmpty());

        Settings logged(nullptr, Settings::LoadFailures::Logged);
        if (warning.contains(QLatin1String("%1")))
            warning = warning.arg(file);
        QTest::ignoreMessage(QtWarningMsg, warning.toUtf8());
        QVERIFY(!logged.loadDefaults(file));
    }

    void rootArrayGivesEmptyFields()
    {
        const QString file = environment.home() + QStringLiteral("/array.json");
        QVERIFY(writeFile(file, "[1, 2]"));
        Settings profile;
        QVERIFY(profile.loadDefaults(file));
        QVERIFY(profile.applicationName.isEmpty());
        QVERIFY(profile.categories.isEmpty());
    }

    void expandPath_data()
    {
        qputenv("LT_ALPHA", "/alpha");
        qputenv("LT_LONG", "/a/much/longer/value");
        qputenv("LT_NESTED", "%LT_ALPHA%/nested");
        qputenv("LT_SELF", "%LT_SELF%x");
        qputenv("LT_PING", "%LT_PONG%");
        qputenv("LT_PONG", "%LT_PING%");
        qputenv("LT_EMPTY", "");
        qunsetenv("LT_UNSET");

        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("set, with placeholders")
            << "%LT_ALPHA%/{companyName}/{applicationName}"
            << "/alpha/Duskmere Games/Ashgrove PTR";
        QTest::newRow("unset stays literal") << "%LT_UNSET%/game" << "%LT_UNSET%/game";
        QTest::newRow("empty stays literal") << "%LT_EMPTY%/game" << "%LT_EMPTY%/game";
        QTest::newRow("two of different lengths")
            << "%LT_LONG%/mid/%LT_ALPHA%/end" << "/a/much/longer/value/mid/alpha/end";
        QTest::newRow("doubled") << "%LT_ALPHA%%LT_ALPHA%" << "/alpha/alpha";
        QTest::newRow("nested") << "%LT_NESTED%/x" << "/alpha/nested/x";
        QTest::newRow("self reference stops")
            << "%LT_SELF%" << "%LT_SELF%" + QString(16, QLatin1Char('x'));
        QTest::newRow("mutual reference stops") << "%LT_PING%" << "%LT_PING%";
        QTest::newRow("no variables, cleaned") << "/one//two/./three/" << "/one/two/three";
        QTest::newRow("appData") << "{appData}/game"
                                 << QStandardPaths::writableLocation(
                                        QStandardPaths::AppDataLocation) + "/game";
    }

    void expandPath()
    {
        QFETCH(QString, input);
        QTEST(settings->expandPath(input), "expected");
    }

    void expandPathCreatesParent()
    {
        const QString path = environment.home() + QStringLiteral("/deep/er/game");
        QCOMPARE(settings->expandPath(path), path);
        QVERIFY(QFileInfo(environment.home() + QStringLiteral("/deep/er")).isDir());
        QVERIFY(!QFileInfo::exists(path));
    }

    void defaultInstallPathUsesOtherTemplate()
    {
        const QString expected = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                                 QStringLiteral("/Duskmere Games/Ashgrove PTR");
        QCOMPARE(settings->defaultInstallPath(), expected);
        QCOMPARE(Settings::installPath(), expected);
    }

    void installPath()
    {
        QSignalSpy changed(settings.get(), &Settings::installPathChanged);
        settings->setInstallPath(QStringLiteral("/games//ashgrove/./ptr/"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toString(), QStringLiteral("/games//ashgrove/./ptr/"));
        QCOMPARE(Settings::installPath(), QStringLiteral("/games/ashgrove/ptr"));
        QCOMPARE(QSettings().value("installPath").toString(),
                 QStringLiteral("/games//ashgrove/./ptr/"));

        settings->setInstallPath(QStringLiteral("/games//ashgrove/./ptr/"));
        QCOMPARE(changed.count(), 1);
    }

    void emptyInstallPathStoresNothing()
    {
        QSignalSpy changed(settings.get(), &Settings::installPathChanged);
        settings->setInstallPath(QString(""));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!QSettings().contains("installPath"));
        QCOMPARE(Settings::installPath(), settings->defaultInstallPath());
    }

    void languageFollowsSystemLocale()
    {
        // The system locale is read from the environment at start, so the check
        // runs in a copy of this test started with a Brazilian Portuguese locale.
        if (qEnvironmentVariableIsEmpty("LT_FORCED_LOCALE")) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("LT_FORCED_LOCALE", "1");
            env.insert("LC_ALL", "pt_BR.UTF-8");
            env.insert("LANG", "pt_BR.UTF-8");
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("languageFollowsSystemLocale")});
            QVERIFY(child.waitForFinished(30000));
            QCOMPARE(child.exitCode(), 0);
            return;
        }
        QCOMPARE(QLocale::system().name(), QStringLiteral("pt_BR"));
        QSignalSpy changed(settings.get(), &Settings::languageChanged);

        QCOMPARE(Settings::language(), QStringLiteral("pt"));
        settings->setLanguage(QStringLiteral("pt")); // already in effect
        QCOMPARE(changed.count(), 0);
        QVERIFY(!QSettings().contains("language"));

        // English chosen on a Portuguese system is kept, also after a restart.
        settings->setLanguage(QStringLiteral("en"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toString(), QStringLiteral("en"));
        Settings::instance = nullptr;
        settings.reset();
        QVERIFY(storeFileText().contains(QStringLiteral("language=en")));
        settings = std::make_unique<Settings>();
        Settings::instance = settings.get();
        QCOMPARE(Settings::language(), QStringLiteral("en"));

        QSignalSpy again(settings.get(), &Settings::languageChanged);
        settings->setLanguage(QStringLiteral("PT"));
        QCOMPARE(again.count(), 1);
        QCOMPARE(Settings::language(), QStringLiteral("PT"));
    }

    void autoUpdateAndLastCheck()
    {
        QSignalSpy autoUpdate(settings.get(), &Settings::autoUpdateChanged);
        settings->setAutoUpdate(true);
        QCOMPARE(autoUpdate.count(), 0);
        settings->setAutoUpdate(false);
        settings->setAutoUpdate(false);
        QCOMPARE(autoUpdate.count(), 1);
        QCOMPARE(autoUpdate.at(0).at(0).toBool(), false);

        QSignalSpy lastCheck(settings.get(), &Settings::lastUpdateCheckChanged);
        settings->setLastUpdateCheck(QStringLiteral("2026-12-07T06:00:00"));
        settings->setLastUpdateCheck(QStringLiteral("2026-12-07T06:00:00"));
        QCOMPARE(lastCheck.count(), 1);
        QCOMPARE(settings->lastUpdateCheck, QStringLiteral("2026-12-07T06:00:00"));
        QVERIFY(!QSettings().contains("lastUpdateCheck"));
    }

    void flagsAreStoredWithoutSignals()
    {
        QVERIFY(!Settings::animationsEnabled());
        QVERIFY(!settings->hasSelectedInstallPath());
        QVERIFY(!settings->ignoreLegacyInstallationMigration());

        settings->setAnimationsEnabled(true);
        settings->setIgnoreLegacyInstallationMigration(true);
        QVERIFY(Settings::animationsEnabled());
        QVERIFY(settings->ignoreLegacyInstallationMigration());

        // Stored as text by some back ends; read through QVariant's conversion.
        QSettings().setValue("animationsEnabled", "false");
        QVERIFY(!Settings::animationsEnabled());
    }

    void whereTheGameIsReachesDiskAtOnce()
    {
        settings->setHasSelectedInstallPath(true);
        QVERIFY(settings->hasSelectedInstallPath());
        QVERIFY(storeFileText().contains(QStringLiteral("hasSelectedInstallPath=true")));
        // Read as another process would: a QSettings of ours would write what is pending.
        const QString file = QSettings().fileName();
        settings->setInstallPath(QStringLiteral("/games/moved"));
        QVERIFY(readFile(file).contains("installPath=/games/moved"));
    }

    void destructorFlushes()
    {
        settings->setAnimationsEnabled(true);
        Settings::instance = nullptr;
        settings.reset();
        QVERIFY(storeFileText().contains(QStringLiteral("animationsEnabled=true")));
    }

    void signalNames()
    {
        const QMetaObject *meta = &Settings::staticMetaObject;
        QStringList signatures;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            signatures << QString::fromLatin1(method.methodSignature()) + QLatin1Char(' ') +
                              QString::fromLatin1(method.parameterNames().join(','));
        }
        QCOMPARE(signatures,
                 (QStringList{"installPathChanged(QString) newPath",
                              "autoUpdateChanged(bool) enabled",
                              "lastUpdateCheckChanged(QString) dateTime",
                              "gameVersionChanged(QString) version",
                              "languageChanged(QString) language", "setInstallPath(QString) path",
                              "setAutoUpdate(bool) enabled", "setLastUpdateCheck(QString) dateTime",
                              "setIgnoreLegacyInstallationMigration(bool) ignore",
                              "setAnimationsEnabled(bool) enabled",
                              "setHasSelectedInstallPath(bool) hasSelected",
                              "setLanguage(QString) language"}));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
