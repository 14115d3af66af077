#include "enginefixture.h"

#include "checksum.h"
#include "downloadrun.h"
#include "manifestcodec.h"
#include "movergate.h"
#include "partrecord.h"
#include "updater.h"

#include <QDir>
#include <QProcess>

EngineFixture::EngineFixture() : savedTempDir(qgetenv("TMPDIR"))
{
    settings = std::make_unique<Settings>();
    Settings::instance = settings.get();
    server = std::make_unique<TestHttpServer>(QString());
    server->start();
}

EngineFixture::~EngineFixture()
{
    Settings::instance = nullptr;
}

bool EngineFixture::setUp()
{
    work = std::make_unique<QTemporaryDir>();
    if (!work->isValid())
        return false;
    QDir root(work->path());
    if (!root.mkpath(QStringLiteral("game")) || !root.mkpath(QStringLiteral("www/patch")) ||
        !root.mkpath(QStringLiteral("tmp")))
        return false;
    // The staging folder is below the temporary location (Windows) or the
    // user's cache (elsewhere); keep both per test.
    qputenv("TMPDIR", tempDir().toLocal8Bit());
    if (!root.mkpath(QStringLiteral("home")))
        return false;
    qputenv("HOME", (work->path() + QStringLiteral("/home")).toLocal8Bit());

    Settings::instance = settings.get();
    settings->loadDefaults();
    settings->setInstallPath(installDir());
    settings->lastUpdateCheck.clear();
    settings->updateUrl = server->baseUrl() + QStringLiteral("/patch");
    settings->launcherUpdateUrl = server->baseUrl() + QStringLiteral("/launcher.json");

    server->setRoot(work->path() + QStringLiteral("/www"));
    server->clearFaults();
    server->resetCounters();
    return server->port() != 0;
}

void EngineFixture::tearDown()
{
    server->clearFaults();
    // Left pointing at the removed folder, the next setUp's folder would land in "/".
    if (savedTempDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTempDir);
    work.reset();
}

QString EngineFixture::workDir() const
{
    return work->path();
}

QString EngineFixture::installDir() const
{
    return work->path() + QStringLiteral("/game");
}

QString EngineFixture::patchDir() const
{
    return work->path() + QStringLiteral("/www/patch");
}

QString EngineFixture::tempDir() const
{
    return work->path() + QStringLiteral("/tmp");
}

QString EngineFixture::manifestPath() const
{
    return QStringLiteral("/patch/") + settings->manifestFile;
}

QString EngineFixture::checksumOf(const QByteArray &content)
{
    return crc32Hex(crc32Update(0, content.constData(), content.size()));
}

QJsonObject EngineFixture::entryFor(const QByteArray &content)
{
    return {{QStringLiteral("checksum"), checksumOf(content)},
            {QStringLiteral("size"), static_cast<qint64>(content.size())}};
}

bool EngineFixture::publish(const QMap<QString, QByteArray> &files, const QJsonObject &extraEntries)
{
    QJsonObject entries;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (!writeFile(patchDir() + QLatin1Char('/') + it.key(), it.value()))
            return false;
        entries.insert(it.key(), entryFor(it.value()));
    }
    for (auto it = extraEntries.constBegin(); it != extraEntries.constEnd(); ++it)
        entries.insert(it.key(), it.value());
    return publishManifestBody(encodeManifest(entries));
}

bool EngineFixture::publishManifestBody(const QByteArray &body)
{
    return writeFile(patchDir() + QLatin1Char('/') + settings->manifestFile, body);
}

bool EngineFixture::install(const QString &key, const QByteArray &content)
{
    return writeFile(installDir() + QLatin1Char('/') + key, content);
}

bool EngineFixture::stage(const QString &key, const QByteArray &content,
                          const QByteArray &validator)
{
    // A part begun under `validator`, as a stopped run leaves it.
    return writeFile(Updater::stagingPath(key), content) &&
           (validator.isEmpty() || PartRecord(DownloadRun::recordFolder(), key)
                                       .write(Updater::fileUrl(key).toEncoded(), validator)
                                       .ok());
}

template <typename... Args>
void SignalLog::track(Updater *updater, void (Updater::*signal)(Args...), const char *name)
{
    connect(updater, signal, this, [this, name](Args... args) {
        const QStringList values{QVariant::fromValue(args).toString()...};
        events.append(QStringLiteral("%1(%2)").arg(QLatin1String(name), values.join(u',')));
    });
}

SignalLog::SignalLog(Updater *updater)
{
    track(updater, &Updater::updateAvailable, "updateAvailable");
    track(updater, &Updater::noUpdateAvailable, "noUpdateAvailable");
    track(updater, &Updater::downloadProgress, "downloadProgress");
    track(updater, &Updater::downloadFinished, "downloadFinished");
    track(updater, &Updater::downloadError, "downloadError");
    track(updater, &Updater::installProgress, "installProgress");
    track(updater, &Updater::installFinished, "installFinished");
    track(updater, &Updater::installError, "installError");
    track(updater, &Updater::uninstallFinished, "uninstallFinished");
    track(updater, &Updater::uninstallError, "uninstallError");
    track(updater, &Updater::updateComplete, "updateComplete");
    track(updater, &Updater::stateChanged, "stateChanged");
    track(updater, &Updater::overallProgress, "overallProgress");
    track(updater, &Updater::checkingForUpdates, "checkingForUpdates");
    track(updater, &Updater::verificationStarted, "verificationStarted");
    track(updater, &Updater::verificationProgress, "verificationProgress");
    track(updater, &Updater::launcherVersionCheckComplete, "launcherVersionCheckComplete");
}

QStringList SignalLog::named(const QString &name) const
{
    QStringList result;
    for (const QString &event : events) {
        if (event.startsWith(name + QLatin1Char('(')))
            result.append(event);
    }
    return result;
}

bool SignalLog::hasClosingSignal() const
{
    return !named(QStringLiteral("updateAvailable")).isEmpty() ||
           !named(QStringLiteral("noUpdateAvailable")).isEmpty();
}

void checkNow(EngineFixture &fixture, Updater &updater)
{
    fixture.settings->lastUpdateCheck.clear();
    updater.checkForUpdates();
}

int runAsFileMover(int argc, char **argv)
{
    bool mover = false;
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        mover = mover || qstrcmp(argv[i], "--source") == 0;
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    if (!mover)
        return -1;
    const int held = passMoverGate(arguments);
    if (held >= 0)
        return held;
    return QProcess::execute(QStringLiteral(LAUNCHER_EXE), arguments);
}
