#include "desktop.h"
#include "patience.h"
#include "platform/platform.h"
#include "programrun.h"
#include "settings.h"
#include "testenvironment.h"
#include "tlsnginx.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

const QString launcherExe = QStringLiteral(LAUNCHER_EXE);
const QString updaterExe = QStringLiteral(UPDATER_EXE);
const QString patchtoolExe = QStringLiteral(PATCHTOOL_EXE);
// Every wait covers installs, checks and program starts on a machine shared
// with another suite.
constexpr int longWait = 2 * busyMachinePatienceMs;

using GameFiles = QMap<QString, QByteArray>;

// Where the player clicks, inside the launcher's window.
const QPoint actionButton(225, 723);
// Two presses on one spot within the double-click time are one double-click to
// Qt, which the button does not take as a press: clicks alternate with this one.
const QPoint actionButtonAside(265, 723);
const QPoint settingsButton(457, 724);
const QPoint closeButton(1329, 21);
// The location dialog's Browse (end of the path row) and Confirm (bottom right).
const QPoint browseButton(440, 31);
const QPoint confirmButton(440, 119);

// The settings menu's entries as the Down key reaches them while a game is installed.
enum class MenuEntry
{
    CheckForUpdates = 3,
    ModifyInstall = 5,
    Uninstall = 6
};

// What the launcher logs with the button's category switched on.
const QByteArray buttonLogPrefix = "launcher.button: ";

QByteArray pseudoRandom(quint32 seed, qsizetype size)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// The first way the folder differs from the files (keys relative to it); empty when none.
QString difference(const QString &folder, const GameFiles &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = folder + QLatin1Char('/') + it.key();
        if (!QFileInfo::exists(path))
            return it.key() + QStringLiteral(" is missing");
        if (readFile(path) != it.value())
            return it.key() + QStringLiteral(" differs from the published file");
    }
    return {};
}

QStringList filesBelow(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(folder).relativeFilePath(it.next());
    return found;
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

    QProcess launcher;
    int launcherStarts = 0;
    QString launcherLog;
    // Lines of the button's log already waited past.
    qsizetype buttonSeen = 0;
    qulonglong window = 0;
    QString manifestPath;
    GameFiles published;
    QString gameDir;
    int actionClicks = 0;

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

    QString gameProgramName() const
    {
        return platform::executableFileName(profile->executableName);
    }

    // A game build: data files, the sample game's instructions (a window titled
    // as the launcher expects, open until the player closes it) and the program.
    GameFiles gameBuild(const GameFiles &data) const
    {
        GameFiles files = data;
        const QJsonObject config{{"title", profile->applicationName}, {"seconds", 0}};
        files.insert(QStringLiteral("samplegame.json"), QJsonDocument(config).toJson());
        files.insert(gameProgramName(), readFile(QStringLiteral(TEST_GAME_EXE)));
        return files;
    }

    QString publishGame(const GameFiles &files)
    {
        const QString game = work.filePath(QStringLiteral("game"));
        QDir(game).removeRecursively();
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (!writeFile(game + QLatin1Char('/') + it.key(), it.value()))
                return QStringLiteral("cannot write %1").arg(it.key());
        QFile::setPermissions(game + QLatin1Char('/') + gameProgramName(),
                              QFile::permissions(QStringLiteral(TEST_GAME_EXE)));
        const QString out = servedPath(profile->updateUrl);
        QDir(out).removeRecursively();
        const ProgramRun run = runProgram(patchtoolExe, {"publish", game, out});
        if (run.exitCode != 0)
            return run.output();
        published = files;
        return {};
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

    // The player's launcher, started as a desktop shortcut would start it; what
    // its button shows goes to a log of its own.
    void startLauncher()
    {
        launcherLog = work.filePath(QStringLiteral("launcher-%1.log").arg(++launcherStarts));
        buttonSeen = 0;
        launcher.setProgram(launcherDir + QStringLiteral("/launcher"));
        launcher.setWorkingDirectory(launcherDir);
        launcher.setProcessChannelMode(QProcess::SeparateChannels);
        launcher.setStandardOutputFile(QProcess::nullDevice());
        launcher.setStandardErrorFile(launcherLog);
        launcher.start();
    }

    QStringList buttonShown() const
    {
        QStringList shown;
        for (const QByteArray &line : readFile(launcherLog).split('\n'))
            if (line.startsWith(buttonLogPrefix))
                shown << QString::fromUtf8(line.mid(buttonLogPrefix.size()));
        return shown;
    }

    QString launcherEnd() const
    {
        if (launcher.state() != QProcess::NotRunning)
            return QStringLiteral("running");
        return launcher.exitStatus() == QProcess::CrashExit
                   ? QStringLiteral("crashed")
                   : QStringLiteral("ended with exit code %1").arg(launcher.exitCode());
    }

    // What the launcher said besides its button, for a failure's report.
    QByteArray launcherMessages() const
    {
        QByteArrayList lines;
        for (const QByteArray &line : readFile(launcherLog).split('\n'))
            if (!line.startsWith(buttonLogPrefix))
                lines << line;
        return lines.mid(qMax<qsizetype>(0, lines.size() - 40)).join('\n');
    }

    // Waits until the button shows `state` after the last state waited for, so
    // that a sequence is followed in order; empty once it has, else what it showed.
    QString buttonShows(const QString &state)
    {
        const bool shown = QTest::qWaitFor(
            [&] {
                const qsizetype at = buttonShown().indexOf(state, buttonSeen);
                if (at >= 0)
                    buttonSeen = at + 1;
                return at >= 0;
            },
            longWait);
        if (shown)
            return {};
        return QStringLiteral("no \"%1\" after: %2")
            .arg(state, buttonShown().join(QStringLiteral(", ")));
    }

    bool clickActionButton()
    {
        actionClicks ^= 1;
        return desktop->click(window, actionClicks ? actionButton : actionButtonAside);
    }

    qulonglong mainWindow() const
    {
        return desktop->findWindow(profile->applicationName + QStringLiteral(" Launcher"));
    }

    // A value of the launcher's preferences file.
    QVariant stored(const QString &key) const
    {
        const QString file = qEnvironmentVariable("XDG_CONFIG_HOME") + QLatin1Char('/') +
                             profile->companyName + QLatin1Char('/') + profile->applicationName +
                             QStringLiteral(" Launcher.conf");
        return QSettings(file, QSettings::IniFormat).value(key);
    }

    // The folders below `root` that hold the game's program.
    QStringList foldersWithGame(const QString &root) const
    {
        QStringList folders;
        for (const QString &file : filesBelow(root))
            if (QFileInfo(file).fileName() == gameProgramName())
                folders << QDir::cleanPath(root + QLatin1Char('/') + QFileInfo(file).path());
        return folders;
    }

    QList<qint64> gamesRunning() const
    {
        return processesRunning(gameDir + QLatin1Char('/') + gameProgramName());
    }

    // Opens the settings menu and picks an entry with the keyboard.
    QString chooseFromMenu(MenuEntry entry)
    {
        const QList<qulonglong> before = desktop->windowsOf(launcher.processId());
        if (!desktop->click(window, settingsButton))
            return QStringLiteral("cannot click the settings button");
        qulonglong menu = 0;
        const bool opened = QTest::qWaitFor(
            [&] {
                for (qulonglong shown : desktop->windowsOf(launcher.processId()))
                    if (!before.contains(shown))
                        menu = shown;
                return menu != 0;
            },
            longWait);
        if (!opened)
            return QStringLiteral("the settings menu did not open");
        QStringList keys(int(entry), QStringLiteral("Down"));
        keys << QStringLiteral("Return");
        if (!desktop->pressKeys(keys))
            return QStringLiteral("cannot press keys");
        if (!QTest::qWaitFor(
                [&] { return !desktop->windowsOf(launcher.processId()).contains(menu); }, longWait))
            return QStringLiteral("the settings menu stayed open");
        return {};
    }

    // Answers the question or notice titled `title` with its default button.
    QString answer(const QString &title)
    {
        qulonglong box = 0;
        if (!QTest::qWaitFor([&] { return (box = desktop->findWindow(title)) != 0; }, longWait))
            return QStringLiteral("no window titled \"%1\"").arg(title);
        screenshot(title.toLower().replace(QLatin1Char(' '), QLatin1Char('-')));
        if (!desktop->pressKey(box, QStringLiteral("Return")))
            return QStringLiteral("cannot press Return");
        if (!QTest::qWaitFor([&] { return desktop->findWindow(title) == 0; }, longWait))
            return QStringLiteral("\"%1\" stayed open").arg(title);
        return {};
    }

    void install()
    {
        beginStep(QStringLiteral("publish the game and the launcher"));
        QString error = publishGame(gameBuild({{"data/world.pak", pseudoRandom(1, 3 << 20)},
                                               {"data/textures.pak", pseudoRandom(2, 1 << 20)},
                                               {"config/defaults.ini", "[video]\nwidth=1280\n"}}));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = publishLauncher(launcherDir, profile->version);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        beginStep(QStringLiteral("the launcher opens"));
        startLauncher();
        QTRY_VERIFY_WITH_TIMEOUT((window = mainWindow()) != 0, longWait);
        const QPoint origin = desktop->windowPosition(window);
        QTRY_VERIFY_WITH_TIMEOUT(backgroundPainted(desktop->grab(), origin), longWait);
        screenshot(QStringLiteral("window"));

        beginStep(QStringLiteral("the first-run dialog takes the default folder"));
        const QString locationTitle = QStringLiteral("Game Files Location");
        qulonglong dialog = 0;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = desktop->findWindow(locationTitle)) != 0, longWait);
        screenshot(QStringLiteral("first-run"));
        QVERIFY(desktop->pressKey(dialog, QStringLiteral("Return")));
        QTRY_VERIFY_WITH_TIMEOUT(desktop->findWindow(locationTitle) == 0, longWait);
        QTRY_VERIFY_WITH_TIMEOUT(stored(QStringLiteral("hasSelectedInstallPath")).toBool(),
                                 longWait);

        beginStep(QStringLiteral("Install is offered"));
        manifestPath = QUrl(profile->updateUrl + QLatin1Char('/') + profile->manifestFile).path();
        QCOMPARE(buttonShows(QStringLiteral("checking")), QString());
        QCOMPARE(buttonShows(QStringLiteral("install")), QString());
        QVERIFY(server->requestsServed().contains(manifestPath));
        screenshot(QStringLiteral("install-offered"));
        const QStringList protocols = server->protocolsSeen();
        QCOMPARE(protocols.count(QStringLiteral("HTTP/2.0")), protocols.size());

        beginStep(QStringLiteral("the player installs the game"));
        QVERIFY(clickActionButton());
        QCOMPARE(buttonShows(QStringLiteral("installing")), QString());
        QCOMPARE(buttonShows(QStringLiteral("play")), QString());
        // The default folder lies below the player's data folder.
        const QStringList installed = foldersWithGame(environment.home());
        QCOMPARE(installed.size(), 1);
        gameDir = installed.first();
        QVERIFY(gameDir.startsWith(qEnvironmentVariable("XDG_DATA_HOME") + QLatin1Char('/')));
        QCOMPARE(difference(gameDir, published), QString());
        screenshot(QStringLiteral("installed"));
    }

    void play()
    {
        beginStep(QStringLiteral("Play starts the game"));
        QVERIFY(clickActionButton());
        QCOMPARE(buttonShows(QStringLiteral("launching")), QString());
        qulonglong game = 0;
        QTRY_VERIFY_WITH_TIMEOUT((game = desktop->findWindow(profile->applicationName)) != 0,
                                 longWait);
        QCOMPARE(gamesRunning().size(), 1);
        QCOMPARE(buttonShows(QStringLiteral("playing")), QString());
        screenshot(QStringLiteral("playing"));

        beginStep(QStringLiteral("the player closes the game"));
        QVERIFY(desktop->closeWindow(game));
        QTRY_VERIFY_WITH_TIMEOUT(gamesRunning().isEmpty(), longWait);
        QCOMPARE(buttonShows(QStringLiteral("play")), QString());
        // Back from the game, the launcher looks at the files again.
        QCOMPARE(buttonShows(QStringLiteral("checking")), QString());
        QCOMPARE(buttonShows(QStringLiteral("play")), QString());
        screenshot(QStringLiteral("game-closed"));
    }

    struct Step
    {
        QString name;
        QString screenshot;
    };

    // A check from the menu offers "Update"; the button brings the game folder
    // back to the published build.
    void checkAndUpdate(const Step &offered, const Step &updated)
    {
        beginStep(offered.name);
        const QString menuError = chooseFromMenu(MenuEntry::CheckForUpdates);
        QVERIFY2(menuError.isEmpty(), qPrintable(menuError));
        QCOMPARE(buttonShows(QStringLiteral("checking")), QString());
        QCOMPARE(buttonShows(QStringLiteral("update")), QString());
        screenshot(offered.screenshot);

        beginStep(updated.name);
        QVERIFY(clickActionButton());
        QCOMPARE(buttonShows(QStringLiteral("updating")), QString());
        QCOMPARE(buttonShows(QStringLiteral("play")), QString());
        QCOMPARE(difference(gameDir, published), QString());
        screenshot(updated.screenshot);
    }

    void update()
    {
        beginStep(QStringLiteral("a second version of the game is published"));
        // One file changed, one added, one removed (data/textures.pak).
        const QString error =
            publishGame(gameBuild({{"data/world.pak", pseudoRandom(3, 3 << 20)},
                                   {"data/sounds.pak", pseudoRandom(4, 1 << 19)},
                                   {"config/defaults.ini", "[video]\nwidth=1280\n"}}));
        QVERIFY2(error.isEmpty(), qPrintable(error));

        checkAndUpdate({QStringLiteral("a check offers Update"), QStringLiteral("update-offered")},
                       {QStringLiteral("the player updates the game"), QStringLiteral("updated")});
    }

    void repair()
    {
        beginStep(QStringLiteral("an installed file is damaged"));
        const QString damaged = QStringLiteral("data/world.pak");
        QByteArray bytes = readFile(gameDir + QLatin1Char('/') + damaged);
        QVERIFY(bytes.size() > 4096);
        bytes[4096] = char(~bytes[4096]);
        QVERIFY(writeFile(gameDir + QLatin1Char('/') + damaged, bytes));

        checkAndUpdate(
            {QStringLiteral("a check finds the damaged file"), QStringLiteral("repair-offered")},
            {QStringLiteral("the player repairs the game"), QStringLiteral("repaired")});
    }

    void relocate()
    {
        beginStep(QStringLiteral("Modify Install opens the location dialog"));
        const QString oldDir = gameDir;
        const QString newDir = environment.home() + QStringLiteral("/Games/Ashgrove");
        QVERIFY(QDir().mkpath(newDir));
        QString error = chooseFromMenu(MenuEntry::ModifyInstall);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const QString locationTitle = QStringLiteral("Game Files Location");
        qulonglong dialog = 0;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = desktop->findWindow(locationTitle)) != 0, longWait);
        screenshot(QStringLiteral("modify-install"));

        beginStep(QStringLiteral("the player chooses a new folder"));
        QVERIFY(desktop->click(dialog, browseButton));
        const QString browseTitle = QStringLiteral("Select Game Files Directory");
        qulonglong browse = 0;
        QTRY_VERIFY_WITH_TIMEOUT((browse = desktop->findWindow(browseTitle)) != 0, longWait);
        // With the closing "/" the empty folder offers no completion to take the Return.
        QVERIFY(desktop->typeText(browse, newDir + QLatin1Char('/')));
        screenshot(QStringLiteral("folder-typed"));
        QVERIFY(desktop->pressKey(browse, QStringLiteral("Return")));
        QTRY_VERIFY_WITH_TIMEOUT(desktop->findWindow(browseTitle) == 0, longWait);
        screenshot(QStringLiteral("folder-chosen"));

        beginStep(QStringLiteral("the player confirms and moves the files"));
        QVERIFY(desktop->click(dialog, confirmButton));
        error = answer(QStringLiteral("Confirm Location Change"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = answer(QStringLiteral("Success"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(desktop->findWindow(locationTitle) == 0, longWait);

        beginStep(QStringLiteral("the game is in the new folder only"));
        QTRY_COMPARE_WITH_TIMEOUT(QDir::cleanPath(stored(QStringLiteral("installPath")).toString()),
                                  newDir, longWait);
        gameDir = newDir;
        QCOMPARE(difference(gameDir, published), QString());
        // The file the second build dropped went with that update: nothing stays.
        QCOMPARE(filesBelow(oldDir), QStringList());
        QCOMPARE(buttonShows(QStringLiteral("checking")), QString());
        QCOMPARE(buttonShows(QStringLiteral("play")), QString());
        screenshot(QStringLiteral("relocated"));
    }

    void uninstall()
    {
        beginStep(QStringLiteral("Uninstall removes only the game"));
        const QString foreign = gameDir + QStringLiteral("/my notes.txt");
        QVERIFY(writeFile(foreign, "the player's own file\n"));
        QString error = chooseFromMenu(MenuEntry::Uninstall);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = answer(QStringLiteral("Confirm Uninstall"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // The folder stays for the player's file, and the launcher says so.
        error = answer(QStringLiteral("Uninstall"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(buttonShows(QStringLiteral("install")), QString());
        QCOMPARE(filesBelow(gameDir), QStringList{QStringLiteral("my notes.txt")});
        QCOMPARE(readFile(foreign), QByteArray("the player's own file\n"));
        screenshot(QStringLiteral("uninstalled"));

        beginStep(QStringLiteral("the player closes the launcher"));
        QVERIFY(desktop->click(window, closeButton));
        QVERIFY(launcher.waitForFinished(longWait));
        QCOMPARE(launcher.exitCode(), 0);
    }

    void updateLauncher()
    {
        beginStep(QStringLiteral("a new launcher version is published"));
        const QString next = work.filePath(QStringLiteral("next launcher"));
        QVERIFY(QDir().mkpath(next));
        QString nextVersion;
        QString error = writeOtherVersion(launcherExe, next + QStringLiteral("/launcher"),
                                          profile->version, nextVersion);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(QFile::copy(updaterExe, next + QStringLiteral("/updater")));
        error = publishLauncher(next, nextVersion);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        beginStep(QStringLiteral("the launcher asks to update itself"));
        startLauncher();
        qulonglong question = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (question = desktop->findWindow(QStringLiteral("Launcher Update"))) != 0, longWait);
        screenshot(QStringLiteral("launcher-update-asked"));
        const qsizetype checks = server->requestsServed().count(manifestPath);
        QVERIFY(desktop->pressKey(question, QStringLiteral("Return")));
        // It quits, or the updater stops it first.
        QVERIFY(launcher.waitForFinished(longWait));

        beginStep(QStringLiteral("the updater replaces the launcher"));
        const QByteArray nextProgram = readFile(next + QStringLiteral("/launcher"));
        QTRY_VERIFY_WITH_TIMEOUT(readFile(launcherDir + QStringLiteral("/launcher")) == nextProgram,
                                 longWait);
        QTRY_VERIFY_WITH_TIMEOUT(
            processesRunning(launcherDir + QStringLiteral("/updater")).isEmpty(), longWait);

        beginStep(QStringLiteral("the updater starts the new launcher, which does not ask"));
        // The game check follows only a version check that lets the launcher go on;
        // the new launcher logs where the old one did.
        QTRY_VERIFY_WITH_TIMEOUT(server->requestsServed().count(manifestPath) > checks, longWait);
        QVERIFY(!desktop->findWindow(QStringLiteral("Launcher Update")));
        QCOMPARE(processesRunning(launcherDir + QStringLiteral("/launcher")).size(), 1);
        QVERIFY((window = mainWindow()) != 0);
        QTRY_VERIFY_WITH_TIMEOUT(
            backgroundPainted(desktop->grab(), desktop->windowPosition(window)), longWait);
        QCOMPARE(buttonShows(QStringLiteral("checking")), QString());
        QCOMPARE(buttonShows(QStringLiteral("install")), QString());
        screenshot(QStringLiteral("new-launcher"));
        QVERIFY(desktop->click(window, closeButton));
        QTRY_VERIFY_WITH_TIMEOUT(
            processesRunning(launcherDir + QStringLiteral("/launcher")).isEmpty(), longWait);
    }

private slots:
    void initTestCase()
    {
        totalClock.start();
        QVERIFY(work.isValid());
        if (!inPrivateNamespaces())
            QSKIP("needs private mount and network namespaces (run through CTest, as root)");
        // What the launcher's button shows, logged for the steps to wait on.
        qputenv("QT_LOGGING_RULES", "launcher.button.info=true");
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
        for (void (TestEndToEnd::*phase)() :
             {&TestEndToEnd::install, &TestEndToEnd::play, &TestEndToEnd::update,
              &TestEndToEnd::repair, &TestEndToEnd::relocate, &TestEndToEnd::uninstall,
              &TestEndToEnd::updateLauncher}) {
            (this->*phase)();
            if (QTest::currentTestFailed())
                return;
        }
        beginStep(QString());
        qInfo("journey: %.1f s", totalClock.elapsed() / 1000.0);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed() && desktop)
            qWarning("failed at step \"%s\"; screen kept as %s\nlauncher: %s\nbutton: %s\n"
                     "launcher log:\n%s\nserver log:\n%s",
                     qPrintable(step), qPrintable(desktop->screenshot(QStringLiteral("failed"))),
                     qPrintable(launcherEnd()),
                     qPrintable(buttonShown().join(QStringLiteral(", "))),
                     launcherMessages().constData(), qPrintable(server->log()));
    }

    void cleanupTestCase()
    {
        // Whatever the run left of the player's launcher, updater and game.
        if (launcherDir.isEmpty())
            return;
        QStringList programs{launcherDir + QStringLiteral("/launcher"),
                             launcherDir + QStringLiteral("/updater")};
        if (!gameDir.isEmpty())
            programs << gameDir + QLatin1Char('/') + gameProgramName();
        for (const QString &program : programs)
            for (qint64 pid : processesRunning(program))
                QProcess::execute(QStringLiteral("kill"), {"-9", QString::number(pid)});
        if (launcher.state() != QProcess::NotRunning)
            launcher.waitForFinished(10000);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
