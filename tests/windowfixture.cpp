#include "windowfixture.h"

#include "circularprogresswidget.h"
#include "enginefixture.h"
#include "manifestcodec.h"
#include "platform/platform.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QMediaPlayer>
#include <QMessageBox>
#include <QSignalBlocker>

WindowFixture::WindowFixture()
{
    server = std::make_unique<TestHttpServer>(QString());
    server->start();
}

bool WindowFixture::setUp()
{
    work = std::make_unique<QTemporaryDir>();
    if (!work->isValid())
        return false;
    QDir root(work->path());
    if (!root.mkpath(QStringLiteral("game")) || !root.mkpath(QStringLiteral("www/patch")) ||
        !root.mkpath(QStringLiteral("tmp")) || !root.mkpath(QStringLiteral("home")))
        return false;
    // The staging folder lives below the temporary location (Windows) or the
    // user's cache (elsewhere); both are kept per test.
    qputenv("TMPDIR", QFile::encodeName(work->path() + QStringLiteral("/tmp")));
    qputenv("HOME", QFile::encodeName(work->path() + QStringLiteral("/home")));
    server->setRoot(work->path() + QStringLiteral("/www"));
    game = platform::executableFileName(Settings().executableName);
    server->clearFaults();
    server->resetCounters();
    return server->port() != 0;
}

void WindowFixture::tearDown()
{
    window.reset();
    stopGames();
    server->clearFaults();
    work.reset();
}

MainWindow &WindowFixture::makeWindow()
{
    window = std::make_unique<MainWindow>();
    QObject::disconnect(window.get(), &MainWindow::backgroundSetupComplete, window.get(),
                        &MainWindow::onBackgroundSetupComplete);
    if (auto *player = window->findChild<QMediaPlayer *>()) {
        player->setVideoOutput(static_cast<QObject *>(nullptr));
        player->setSource(QUrl());
    }
    Settings *settings = Settings::instance;
    settings->updateUrl = server->baseUrl() + QStringLiteral("/patch");
    settings->launcherUpdateUrl = server->baseUrl() + QStringLiteral("/launcher.json");
    settings->newsUrl = server->baseUrl() + QStringLiteral("/news.json");
    settings->lastUpdateCheck.clear();
    const QSignalBlocker quiet(settings); // no check yet
    settings->setInstallPath(installDir());
    return *window;
}

void WindowFixture::startFirstCheck()
{
    window->onLauncherVersionCheckComplete(true);
}

QString WindowFixture::installDir() const
{
    return work->path() + QStringLiteral("/game");
}

QString WindowFixture::patchDir() const
{
    return work->path() + QStringLiteral("/www/patch");
}

QString WindowFixture::gameName() const
{
    return game;
}

bool WindowFixture::publish(const FileMap &files)
{
    QJsonObject entries;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (!writeFile(patchDir() + QLatin1Char('/') + it.key(), it.value()))
            return false;
        // Published keys begin with "/": the engine appends them to the server address.
        entries.insert(QLatin1Char('/') + it.key(), EngineFixture::entryFor(it.value()));
    }
    return writeFile(patchDir() + QStringLiteral("/checksums.txt.gz"), encodeManifest(entries));
}

FileMap WindowFixture::sampleGame(const QJsonObject &config) const
{
    // The marker comes with the published game: nothing else writes it into the game folder.
    return {{gameName(), readFile(QStringLiteral(TEST_GAME_EXE))},
            {QStringLiteral("samplegame.json"), QJsonDocument(config).toJson()},
            {QStringLiteral(".initcomplete"), QByteArray()}};
}

bool WindowFixture::install(const FileMap &files)
{
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QString path = installDir() + QLatin1Char('/') + it.key();
        if (!writeFile(path, it.value()))
            return false;
        if (it.key() == gameName())
            QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    }
    return true;
}

void WindowFixture::stopGames()
{
    if (work && !game.isEmpty())
        platform::stopProcessesInFolder(gameName(), installDir());
}

ActionButton *WindowFixture::button() const
{
    return window->findChild<ActionButton *>();
}

QLabel *WindowFixture::speedLabel() const
{
    return window->findChild<QLabel *>(QStringLiteral("speedLabel"));
}

QWidget *WindowFixture::ring() const
{
    return window->findChild<CircularProgressWidget *>();
}

QStringList WindowFixture::errorTexts() const
{
    QStringList texts;
    for (const QMessageBox *box : window->findChildren<QMessageBox *>())
        texts << box->text();
    return texts;
}

int WindowFixture::manifestRequests() const
{
    return server->requestCount(QStringLiteral("/patch/checksums.txt.gz"));
}
