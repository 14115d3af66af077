#include "enginefixture.h"
#include "pkexecstandin.h"
#include "platform/platform.h"
#include "presetprompter.h"
#include "unprivileged.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

#include <memory>

using FileMap = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(PkexecStandIn::Mode)

namespace {

// Relative paths of every file and folder below `root`, sorted; folders end with "/".
QStringList entriesBelow(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries << QDir(root).relativeFilePath(path) + (it.fileInfo().isDir() ? "/" : "");
    }
    entries.sort();
    return entries;
}

// Entry names ending with "/" become folder entries.
bool writeZip(const QString &path, const FileMap &entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QuaZipFile file(&zip);
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(it.key())))
            return false;
        file.write(it.value());
        file.close();
    }
    zip.close();
    return zip.getZipError() == 0;
}

} // namespace

class TestEngineMaintenance : public QObject
{
    Q_OBJECT

private:
    EngineFixture fixture;
    std::unique_ptr<Updater> updater;
    PresetPrompter prompter;
    std::unique_ptr<SignalLog> log;
    QList<QProcess *> games;

    QString legacyDir() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QLatin1Char('/') + fixture.settings->legacyDir;
    }

    bool startGame(const QString &folder, const QString &name)
    {
        const QString program = folder + QLatin1Char('/') + name;
        if (!QDir().mkpath(folder) || !QFile::copy(QStringLiteral("/bin/sleep"), program))
            return false;
        auto *game = new QProcess(this);
        games << game;
        game->start(program, {QStringLiteral("60")});
        return game->waitForStarted();
    }

    // The install path names a link to the folder the game runs from.
    bool startGameThroughLink(const QString &name)
    {
        const QString link = fixture.workDir() + QStringLiteral("/game-link");
        if (!QFile::link(fixture.installDir(), link))
            return false;
        fixture.settings->setInstallPath(link);
        return startGame(fixture.installDir(), name);
    }

private slots:
    void init()
    {
        QVERIFY(fixture.setUp());
        prompter = PresetPrompter();
        updater = std::make_unique<Updater>();
        updater->setPrompter(&prompter);
        log = std::make_unique<SignalLog>(updater.get());
    }

    void cleanup()
    {
        for (QProcess *game : std::as_const(games)) {
            game->kill();
            game->waitForFinished();
            delete game;
        }
        games.clear();
        log.reset();
        updater.reset();
        QDir(legacyDir()).removeRecursively();
        fixture.tearDown();
    }

    void gameRunning_data()
    {
        QTest::addColumn<QStringList>(
            "started"); // in order: "install", "other", "install, other case", "linked"
        QTest::addColumn<bool>("running");

        QTest::newRow("none") << QStringList() << false;
        QTest::newRow("from the install folder") << QStringList{"install"} << true;
        QTest::newRow("from another folder") << QStringList{"other"} << false;
        QTest::newRow("other letter case") << QStringList{"install, other case"} << false;
        QTest::newRow("another folder first") << QStringList{"other", "install"} << true;
        QTest::newRow("install folder set through a link") << QStringList{"linked"} << true;
    }

    void gameRunning()
    {
        QFETCH(QStringList, started);
        QFETCH(bool, running);
        const QString name = platform::executableFileName(fixture.settings->executableName);
        for (const QString &where : started) {
            if (where == QLatin1String("install"))
                QVERIFY(startGame(fixture.installDir(), name));
            else if (where == QLatin1String("other"))
                QVERIFY(startGame(fixture.workDir() + QStringLiteral("/elsewhere"), name));
            else if (where == QLatin1String("linked"))
                QVERIFY(startGameThroughLink(name));
            else
                QVERIFY(startGame(fixture.installDir(), name.toUpper()));
        }
        QCOMPARE(updater->isGameRunning(), running);
    }

    void uninstall_data()
    {
        QTest::addColumn<bool>("folderExists");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<bool>("manifestKnown"); // else the engine fetches one first
        QTest::addColumn<bool>("foreignFiles");
        QTest::addColumn<bool>("removed");

        QTest::newRow("confirmed") << true << true << true << false << true;
        QTest::newRow("confirmed, no manifest yet") << true << true << false << false << true;
        QTest::newRow("player's files kept") << true << true << true << true << true;
        QTest::newRow("player's files kept, no manifest yet")
            << true << true << false << true << true;
        QTest::newRow("declined") << true << false << true << false << false;
        QTest::newRow("nothing installed") << false << true << true << false << false;
    }

    void uninstall()
    {
        QFETCH(bool, folderExists);
        QFETCH(bool, confirmed);
        QFETCH(bool, manifestKnown);
        QFETCH(bool, foreignFiles);
        QFETCH(bool, removed);
        QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));
        QVERIFY(fixture.install(QStringLiteral("/data/sub/level.pak"), "level"));
        QVERIFY(fixture.publish({{QStringLiteral("/data/sub/level.pak"), "level"}}));
        if (foreignFiles) {
            // Another game, a photo, and a file an older build had.
            QVERIFY(fixture.install(QStringLiteral("/OtherGame/save.dat"), "save"));
            QVERIFY(fixture.install(QStringLiteral("/photo.jpg"), "photo"));
            QVERIFY(fixture.install(QStringLiteral("/data/dropped.pak"), "old"));
            QVERIFY(QDir().mkpath(fixture.installDir() + QStringLiteral("/EmptyOwn")));
        }
        if (!folderExists)
            QVERIFY(QDir(fixture.installDir()).removeRecursively());
        if (manifestKnown) {
            checkNow(fixture, *updater);
            QTRY_VERIFY(log->hasClosingSignal());
            log->events.clear();
        }
        fixture.settings->lastUpdateCheck.clear();
        prompter.presetAnswer(confirmed);

        updater->uninstall();
        QCOMPARE(prompter.shown.isEmpty(), !folderExists);
        if (!removed) {
            QCOMPARE(QDir(fixture.installDir()).exists(), folderExists);
            QCOMPARE(log->events, QStringList());
            return;
        }
        QCOMPARE(prompter.shown.first().title, QStringLiteral("Confirm Uninstall"));
        QTRY_VERIFY(log->events.contains(QStringLiteral("stateChanged(install)")));
        QCOMPARE(log->named(QStringLiteral("downloadError")), QStringList());
        QVERIFY(!QFileInfo::exists(fixture.installDir() + QStringLiteral("/data/sub")));
        QVERIFY(!QFileInfo::exists(fixture.installDir() + QStringLiteral("/.initcomplete")));
        if (foreignFiles) {
            QCOMPARE(entriesBelow(fixture.installDir()),
                     (QStringList{"EmptyOwn/", "OtherGame/", "OtherGame/save.dat", "data/",
                                  "data/dropped.pak", "photo.jpg"}));
            QTRY_COMPARE(prompter.shown.size(), 2);
            const PresetPrompter::Shown kept = prompter.shown.last();
            QCOMPARE(kept.kind, QStringLiteral("information"));
            QVERIFY(kept.text.contains(QDir::toNativeSeparators(fixture.installDir())));
        } else {
            QVERIFY(!QFileInfo::exists(fixture.installDir()));
            QCOMPARE(prompter.shown.size(), 1);
        }

        // The fresh check goes out now, or once the second since the last one is over.
        QTRY_COMPARE(log->events.last(), QStringLiteral("updateAvailable(install)"));
    }

    // Relocation moves what the game owns and nothing else; bad folder pairs
    // are refused with a reason and nothing touched. "@" names the install folder.
    void relocate_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("foreignFiles");
        QTest::addColumn<bool>("manifestKnown");
        QTest::addColumn<QString>("error");

        const QString overlap = Updater::overlappingFoldersMessage();
        QTest::newRow("game files only") << "%/moved" << false << true << QString();
        QTest::newRow("player's files stay") << "%/moved" << true << true << QString();
        QTest::newRow("same folder") << "@" << false << true << overlap;
        QTest::newRow("same, trailing separator") << "@/" << false << true << overlap;
        QTest::newRow("same, through dot segments") << "@/../game" << false << true << overlap;
        QTest::newRow("inside") << "@/sub" << false << true << overlap;
        QTest::newRow("containing") << "%" << false << true << overlap;
        QTest::newRow("relative") << "moved" << false << true << Updater::relativeFolderMessage();
        QTest::newRow("empty") << "" << false << true << Updater::relativeFolderMessage();
        QTest::newRow("no manifest yet") << "%/moved" << false << false
                                         << "The list of the game's files is not known yet. "
                                            "Please check for updates first.";
    }

    void relocate()
    {
        QFETCH(QString, destination);
        QFETCH(bool, foreignFiles);
        QFETCH(bool, manifestKnown);
        QFETCH(QString, error);
        destination.replace(QLatin1Char('@'), fixture.installDir());
        destination.replace(QLatin1Char('%'), fixture.workDir());
        const FileMap game{{"/.initcomplete", ""}, {"/data/level.pak", "level"}};
        for (auto it = game.cbegin(); it != game.cend(); ++it)
            QVERIFY(fixture.install(it.key(), it.value()));
        QVERIFY(fixture.publish({{"/data/level.pak", "level"}}));
        if (foreignFiles) {
            QVERIFY(fixture.install(QStringLiteral("/OtherGame/save.dat"), "save"));
            QVERIFY(fixture.install(QStringLiteral("/data/mine.txt"), "notes"));
        }
        if (manifestKnown) {
            checkNow(fixture, *updater);
            QTRY_VERIFY(log->hasClosingSignal());
        }
        log->events.clear();
        const QStringList before = entriesBelow(fixture.installDir());

        const Updater::MoveResult result = updater->relocateInstallation(destination);
        QCOMPARE(result.error, error);
        QCOMPARE(result.ok, error.isEmpty());
        QCOMPARE(log->events, QStringList());
        if (!result.ok) {
            QCOMPARE(entriesBelow(fixture.installDir()), before);
            return;
        }
        QCOMPARE(entriesBelow(destination),
                 (QStringList{".initcomplete", "data/", "data/level.pak"}));
        QCOMPARE(result.leftOtherFiles, foreignFiles);
        if (foreignFiles)
            QCOMPARE(entriesBelow(fixture.installDir()),
                     (QStringList{"OtherGame/", "OtherGame/save.dat", "data/", "data/mine.txt"}));
        else
            QVERIFY(!QFileInfo::exists(fixture.installDir()));
    }

    // A folder the player cannot write is removed by an elevated mover.
    void uninstallWithoutWriteAccess_data()
    {
        QTest::addColumn<PkexecStandIn::Mode>("mode");
        QTest::addColumn<QString>("outcome");

        QTest::newRow("elevated mover succeeds")
            << PkexecStandIn::Mode::Record << QStringLiteral("state install");
        QTest::newRow("elevation declined")
            << PkexecStandIn::Mode::Decline
            << QStringLiteral("error Failed to uninstall - could not get necessary permissions");
        QTest::newRow("mover fails")
            << PkexecStandIn::Mode::Run
            << QStringLiteral("error Some files could not be removed during uninstall");
    }

    void uninstallWithoutWriteAccess()
    {
        QFETCH(PkexecStandIn::Mode, mode);
        QFETCH(QString, outcome);
        PkexecStandIn pkexec(mode);
        QVERIFY(fixture.install(QStringLiteral("/data/level.pak"), "level"));
        QVERIFY(fixture.publish({{QStringLiteral("/data/level.pak"), "level"}}));
        const QString home = fixture.workDir() + QStringLiteral("/nobody-home");
        QVERIFY(QDir().mkpath(home));
        openPathForOthers(fixture.installDir());
        openPathForOthers(home);
        setFolderWritableByOthers(home, true); // the engine's private folder goes below it
        openPathForOthers(QStringLiteral(ENGINE_PROBE_EXE));
        openPathForOthers(QStringLiteral(LAUNCHER_EXE));

        QProcess probe;
        runAsUnprivileged(probe, QStringLiteral(ENGINE_PROBE_EXE),
                          {QStringLiteral("--uninstall"), fixture.installDir(),
                           QStringLiteral("--answer"), QStringLiteral("yes"),
                           QStringLiteral("--update-url"), fixture.settings->updateUrl},
                          home);
        probe.start();
        QVERIFY(probe.waitForFinished(60000));
        const QStringList lines =
            QString::fromUtf8(probe.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.value(0), outcome);
        QVERIFY(lines.contains(QStringLiteral("box question Confirm Uninstall: Are you sure you "
                                              "want to uninstall? This will remove all game "
                                              "files.")));
        QVERIFY(QFile::exists(fixture.installDir() + QStringLiteral("/data/level.pak")));

        const QList<QStringList> calls = pkexec.calls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls.first(),
                 (QStringList{QStringLiteral(ENGINE_PROBE_EXE), QStringLiteral("--source"),
                              fixture.installDir(), QStringLiteral("--dest"), QString(),
                              QStringLiteral("--ignore"), QString(), QStringLiteral("--list"),
                              calls.first().value(8)}));
    }

    void hasLegacyInstallation_data()
    {
        QTest::addColumn<FileMap>("files");
        QTest::addColumn<bool>("expected");
        QTest::newRow("marker") << FileMap{{".initcomplete", ""}, {"game.pak", "g"}} << true;
        QTest::newRow("files without marker") << FileMap{{"game.pak", "g"}} << false;
        QTest::newRow("no folder") << FileMap() << false;
    }

    void hasLegacyInstallation()
    {
        QFETCH(FileMap, files);
        QFETCH(bool, expected);
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            QVERIFY(writeFile(legacyDir() + QLatin1Char('/') + it.key(), it.value()));
        QCOMPARE(updater->hasLegacyInstallation(), expected);
    }

    void migrate_data()
    {
        QTest::addColumn<FileMap>("legacyFiles");
        QTest::addColumn<FileMap>("archive"); // empty: no data.bin
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("gameEntries");
        QTest::addColumn<QStringList>("legacyLeft");

        const FileMap legacy{{".initcomplete", ""}, {"config.otml", "cfg"}, {"bin/client", "c"}};
        QTest::newRow("without data.bin")
            << legacy << FileMap() << true << QStringList{".initcomplete", "bin/", "bin/client"}
            << QStringList{"bin/", "config.otml"};
        QTest::newRow("with data.bin")
            << legacy << FileMap{{"sub/x.dat", "x"}, {"top.dat", "t"}, {"empty/", ""}} << true
            << QStringList{".initcomplete", "bin/",      "bin/client", "empty/",
                           "sub/",          "sub/x.dat", "top.dat"}
            << QStringList{"bin/", "config.otml", "empty/", "sub/"};
        QTest::newRow("entry outside the folder")
            << legacy << FileMap{{"sub/x.dat", "x"}, {"../escaped.dat", "e"}} << false
            << QStringList()
            << QStringList{".initcomplete", "bin/", "bin/client", "config.otml", "data.bin"};
        QTest::newRow("absolute entry")
            << legacy << FileMap{{"/tmp/absolute.dat", "a"}} << false << QStringList()
            << QStringList{".initcomplete", "bin/", "bin/client", "config.otml", "data.bin"};
        QTest::newRow("Windows parent entry")
            << legacy << FileMap{{"..\\escaped.dat", "e"}} << false << QStringList()
            << QStringList{".initcomplete", "bin/", "bin/client", "config.otml", "data.bin"};
        // Many read chunks: a piece lost or repeated at a chunk's edge shows.
        QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
        for (qsizetype i = 0; i < large.size(); ++i)
            large[i] = char(i * 7919 % 251);
        QTest::newRow("large entry")
            << legacy << FileMap{{"big.dat", large}} << true
            << QStringList{".initcomplete", "big.dat", "bin/", "bin/client"}
            << QStringList{"bin/", "config.otml"};
    }

    void migrate()
    {
        QFETCH(FileMap, legacyFiles);
        QFETCH(FileMap, archive);
        QFETCH(bool, result);
        QFETCH(QStringList, gameEntries);
        QFETCH(QStringList, legacyLeft);
        QVERIFY(QDir(fixture.installDir()).removeRecursively());
        for (auto it = legacyFiles.constBegin(); it != legacyFiles.constEnd(); ++it)
            QVERIFY(writeFile(legacyDir() + QLatin1Char('/') + it.key(), it.value()));
        if (!archive.isEmpty())
            QVERIFY(writeZip(legacyDir() + QStringLiteral("/data.bin"), archive));

        QCOMPARE(updater->migrateLegacyInstallation(), result);
        QCOMPARE(entriesBelow(fixture.installDir()), gameEntries);
        QCOMPARE(entriesBelow(legacyDir()), legacyLeft);
        QVERIFY(!QFile::exists(QFileInfo(legacyDir()).path() + QStringLiteral("/escaped.dat")));
        for (const QString &entry : gameEntries) {
            if (archive.contains(entry) && !entry.endsWith(QLatin1Char('/')))
                QCOMPARE(readFile(fixture.installDir() + QLatin1Char('/') + entry),
                         archive.value(entry));
        }
    }
};

ENGINE_TEST_MAIN(TestEngineMaintenance)
#include "tst_engine_maintenance.moc"
