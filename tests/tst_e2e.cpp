#include "desktop.h"
#include "platform/platform.h"
#include "programrun.h"
#include "settings.h"
#include "testenvironment.h"
#include "tlsnginx.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

const QString launcherExe = QStringLiteral(LAUNCHER_EXE);
const QString updaterExe = QStringLiteral(UPDATER_EXE);
const QString patchtoolExe = QStringLiteral(PATCHTOOL_EXE);
const QString resources = QStringLiteral(RESOURCES_DIR);
constexpr int longWait = 120000;

// Where the action button sits in the window, and a strip of its frame that
// no label, icon or progress ring covers.
const QPoint buttonOrigin(30, 685);
const QRect frameStrip(290, 20, 70, 36);
const QPoint buttonCentre(225, 723);

QByteArray pseudoRandom(quint32 seed, qsizetype size)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Which frame the action button shows ("install", "update", "play"), by the
// nearest of the frame images (plain or hovered); empty when none is close.
QString buttonFrame(const QImage &screen, QPoint window)
{
    QString best;
    double bestDistance = 8.0;
    for (const char *state : {"install", "update", "play"}) {
        for (const char *variant : {"", "_on"}) {
            const QImage frame(resources + QStringLiteral("/frame_%1%2.png")
                                               .arg(QLatin1String(state), QLatin1String(variant)));
            double distance = 0;
            for (int y = frameStrip.top(); y <= frameStrip.bottom(); ++y) {
                for (int x = frameStrip.left(); x <= frameStrip.right(); ++x) {
                    const QRgb a = screen.pixel(window + buttonOrigin + QPoint(x, y));
                    const QRgb b = frame.pixel(x, y);
                    distance += qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) +
                                qAbs(qBlue(a) - qBlue(b));
                }
            }
            distance /= 3.0 * frameStrip.width() * frameStrip.height();
            if (distance < bestDistance) {
                bestDistance = distance;
                best = QLatin1String(state);
            }
        }
    }
    return best;
}

// The window's background (clip or still) is drawn: its sky is not black.
bool backgroundPainted(const QImage &screen, QPoint window)
{
    const QColor sky = screen.pixelColor(window + QPoint(680, 300));
    return sky.red() + sky.green() + sky.blue() > 60;
}

// The same launcher built at another version: its profile is stored
// uncompressed, so the profile's text is swapped for one of the same length.
QString writeOtherVersion(const QString &from, const QString &to, const QString &version,
                          QString &otherVersion)
{
    const QByteArray profile = readFile(QStringLiteral(PROFILE_FILE));
    QByteArray program = readFile(from);
    const qsizetype at = program.indexOf(profile);
    if (profile.isEmpty() || at < 0 || program.indexOf(profile, at + 1) >= 0)
        return QStringLiteral("the profile is not stored once, uncompressed, in the launcher");
    const QByteArray field = "\"version\": \"" + version.toUtf8() + '"';
    QByteArray next = version.toUtf8();
    const char last = next.back();
    next.back() = last == '9' ? '0' : (last >= '0' && last < '9' ? char(last + 1) : 'x');
    otherVersion = QString::fromUtf8(next);
    QByteArray changed = profile;
    changed.replace(field, "\"version\": \"" + next + '"');
    if (changed == profile || changed.size() != profile.size())
        return QStringLiteral("the profile has no version field to change");
    program.replace(at, profile.size(), changed);
    if (!writeFile(to, program))
        return QStringLiteral("cannot write %1").arg(to);
    QFile::setPermissions(to, QFile::permissions(from));
    return {};
}

QList<qint64> processesRunning(const QString &program)
{
    QList<qint64> pids;
    for (const platform::ProcessInfo &process : platform::runningProcesses())
        if (QFileInfo(process.imagePath).canonicalFilePath() ==
            QFileInfo(program).canonicalFilePath())
            pids << process.pid;
    return pids;
}

} // namespace

// A player's journey with the real programs: nginx serves a published game and
// launcher releases over TLS and HTTP/2 at the profile's own addresses, the
// launcher is driven through the X display, and a screenshot is kept per step.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir work;
    std::unique_ptr<Settings> profile;
    std::unique_ptr<TlsNginx> server;
    std::unique_ptr<Desktop> desktop;
    QString launcherDir;
    QString step;
    QElapsedTimer stepClock;
    QElapsedTimer totalClock;
    int shots = 0;

    void beginStep(const QString &name)
    {
        if (!step.isEmpty())
            qInfo("step \"%s\": %.1f s", qPrintable(step), stepClock.elapsed() / 1000.0);
        step = name;
        stepClock.start();
    }

    void screenshot(const QString &name)
    {
        desktop->screenshot(
            QStringLiteral("%1-%2").arg(++shots, 2, 10, QLatin1Char('0')).arg(name));
    }

    QString servedPath(const QString &url) const
    {
        return server->root() + QUrl(url, QUrl::TolerantMode).path();
    }

    QString publishGame(const QMap<QString, QByteArray> &files)
    {
        const QString game = work.filePath(QStringLiteral("game"));
        QDir(game).removeRecursively();
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (!writeFile(game + QLatin1Char('/') + it.key(), it.value()))
                return QStringLiteral("cannot write %1").arg(it.key());
        const QString executable =
            game + QLatin1Char('/') + platform::executableFileName(profile->executableName);
        if (!QFile::copy(QStringLiteral(TEST_GAME_EXE), executable))
            return QStringLiteral("cannot copy the game program");
        const QString out = servedPath(profile->updateUrl);
        QDir(out).removeRecursively();
        const ProgramRun run = runProgram(patchtoolExe, {"publish", game, out});
        return run.exitCode == 0 ? QString() : run.output();
    }

    QString publishLauncher(const QString &folder, const QString &version)
    {
        const QUrl document(profile->launcherUpdateUrl, QUrl::TolerantMode);
        QString package = document.toString();
        package.replace(QRegularExpression(QStringLiteral("\\.json$")), QStringLiteral(".zip"));
        const ProgramRun run =
            runProgram(patchtoolExe, {"release", folder, version, package,
                                      QFileInfo(servedPath(document.toString())).path()});
        return run.exitCode == 0 ? QString() : run.output();
    }

    // The player's launcher, started as a desktop shortcut would start it.
    void startLauncher(QProcess &process)
    {
        process.setProgram(launcherDir + QStringLiteral("/launcher"));
        process.setWorkingDirectory(launcherDir);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start();
    }

    qulonglong mainWindow() const
    {
        return desktop->findWindow(profile->applicationName + QStringLiteral(" Launcher"));
    }

private slots:
    void initTestCase()
    {
        totalClock.start();
        QVERIFY(work.isValid());
        if (!inPrivateNamespaces())
            QSKIP("needs private mount and network namespaces (run through CTest, as root)");
        profile = std::make_unique<Settings>(nullptr, Settings::LoadFailures::Logged);
        QVERIFY(!profile->updateUrl.isEmpty());
        QStringList hosts;
        for (const QString &url :
             {profile->updateUrl, profile->launcherUpdateUrl, profile->newsUrl}) {
            const QString host = QUrl(url, QUrl::TolerantMode).host();
            if (!host.isEmpty() && !hosts.contains(host))
                hosts << host;
        }
        server = std::make_unique<TlsNginx>(work.filePath(QStringLiteral("server")));
        const QString error = server->start(hosts);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        desktop = std::make_unique<Desktop>(QStringLiteral(SCREENSHOT_DIR));
        QDir(QStringLiteral(SCREENSHOT_DIR)).removeRecursively();
        QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));

        // The player's copy of the launcher's folder, as an installation holds it.
        launcherDir = work.filePath(QStringLiteral("installed launcher"));
        QVERIFY(QDir().mkpath(launcherDir));
        QVERIFY(QFile::copy(launcherExe, launcherDir + QStringLiteral("/launcher")));
        QVERIFY(QFile::copy(updaterExe, launcherDir + QStringLiteral("/updater")));
    }

    void journey()
    {
        beginStep(QStringLiteral("publish the game and the launcher"));
        QMap<QString, QByteArray> game{{"data/world.pak", pseudoRandom(1, 3 << 20)},
                                       {"data/textures.pak", pseudoRandom(2, 1 << 20)},
                                       {"config/defaults.ini", "[video]\nwidth=1280\n"}};
        QString error = publishGame(game);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = publishLauncher(launcherDir, profile->version);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        beginStep(QStringLiteral("the launcher opens"));
        QProcess launcher;
        startLauncher(launcher);
        qulonglong window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = mainWindow()) != 0, longWait);
        QPoint origin = desktop->windowPosition(window);
        QTRY_VERIFY_WITH_TIMEOUT(backgroundPainted(desktop->grab(), origin), longWait);
        screenshot(QStringLiteral("window"));

        beginStep(QStringLiteral("the first-run dialog takes the default folder"));
        const QString locationTitle = QStringLiteral("Game Files Location");
        qulonglong dialog = 0;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = desktop->findWindow(locationTitle)) != 0, longWait);
        screenshot(QStringLiteral("first-run"));
        QVERIFY(desktop->pressKey(dialog, QStringLiteral("Return")));
        QTRY_VERIFY_WITH_TIMEOUT(desktop->findWindow(locationTitle) == 0, longWait);

        beginStep(QStringLiteral("Install is offered"));
        // The button reads "Install" before any check; the served manifest tells them apart.
        const QString manifestPath =
            QUrl(profile->updateUrl + QLatin1Char('/') + profile->manifestFile).path();
        QTRY_VERIFY_WITH_TIMEOUT(server->requestsServed().contains(manifestPath), longWait);
        QTRY_COMPARE_WITH_TIMEOUT(buttonFrame(desktop->grab(), origin), QStringLiteral("install"),
                                  longWait);
        screenshot(QStringLiteral("install-offered"));
        const QStringList protocols = server->protocolsSeen();
        QCOMPARE(protocols.count(QStringLiteral("HTTP/2.0")), protocols.size());

        beginStep(QStringLiteral("the player closes the launcher"));
        QVERIFY(desktop->click(window, QPoint(1329, 21)));
        QVERIFY(launcher.waitForFinished(longWait));
        QCOMPARE(launcher.exitCode(), 0);

        beginStep(QStringLiteral("a new launcher version is published"));
        const QString next = work.filePath(QStringLiteral("next launcher"));
        QVERIFY(QDir().mkpath(next));
        QString nextVersion;
        error = writeOtherVersion(launcherExe, next + QStringLiteral("/launcher"), profile->version,
                                  nextVersion);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(QFile::copy(updaterExe, next + QStringLiteral("/updater")));
        error = publishLauncher(next, nextVersion);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        beginStep(QStringLiteral("the launcher asks to update itself"));
        startLauncher(launcher);
        qulonglong question = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (question = desktop->findWindow(QStringLiteral("Launcher Update"))) != 0, longWait);
        screenshot(QStringLiteral("launcher-update-asked"));
        QVERIFY(desktop->pressKey(question, QStringLiteral("Return")));
        QVERIFY(launcher.waitForFinished(longWait));
        QCOMPARE(launcher.exitCode(), 0);

        beginStep(QStringLiteral("the updater replaces the launcher"));
        const QByteArray nextProgram = readFile(next + QStringLiteral("/launcher"));
        QTRY_VERIFY_WITH_TIMEOUT(readFile(launcherDir + QStringLiteral("/launcher")) == nextProgram,
                                 longWait);
        QTRY_VERIFY_WITH_TIMEOUT(
            processesRunning(launcherDir + QStringLiteral("/updater")).isEmpty(), longWait);

        beginStep(QStringLiteral("the new launcher starts without asking"));
        // The game check follows only a version check that lets the launcher go on.
        const qsizetype checks = server->requestsServed().count(manifestPath);
        startLauncher(launcher);
        QTRY_VERIFY_WITH_TIMEOUT(server->requestsServed().count(manifestPath) > checks, longWait);
        QVERIFY(!desktop->findWindow(QStringLiteral("Launcher Update")));
        QCOMPARE(launcher.state(), QProcess::Running);
        QVERIFY((window = mainWindow()) != 0);
        origin = desktop->windowPosition(window);
        QTRY_VERIFY_WITH_TIMEOUT(backgroundPainted(desktop->grab(), origin), longWait);
        QTRY_COMPARE_WITH_TIMEOUT(buttonFrame(desktop->grab(), origin), QStringLiteral("install"),
                                  longWait);
        screenshot(QStringLiteral("new-launcher"));
        QVERIFY(desktop->click(window, QPoint(1329, 21)));
        QVERIFY(launcher.waitForFinished(longWait));
        beginStep(QString());
        qInfo("journey: %.1f s", totalClock.elapsed() / 1000.0);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed() && desktop)
            qWarning("failed at step \"%s\"; screen kept as %s\nserver log:\n%s", qPrintable(step),
                     qPrintable(desktop->screenshot(QStringLiteral("failed"))),
                     qPrintable(server->log()));
    }

    void cleanupTestCase()
    {
        // Whatever the run left of the player's launcher and updater.
        if (launcherDir.isEmpty())
            return;
        for (const char *name : {"/launcher", "/updater"})
            for (qint64 pid : processesRunning(launcherDir + QLatin1String(name)))
                QProcess::execute(QStringLiteral("kill"), {"-9", QString::number(pid)});
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
