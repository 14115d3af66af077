#include "enginefixture.h"
#include "movergate.h"
#include "pkexecstandin.h"
#include "platform/platform.h"
#include "presetprompter.h"
#include "unprivileged.h"
#include "updater.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

using FileMap = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(MoverGate::Verdict)

namespace {

// Relative paths of every file below `root`, sorted.
QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

bool writeFiles(const QString &root, const FileMap &files)
{
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (!writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

class PaintCounter final : public QWidget
{
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *) override { ++paints; }
};

} // namespace

class TestEngineInstall : public QObject
{
    Q_OBJECT

private:
    EngineFixture fixture;
    std::unique_ptr<Updater> updater;
    PresetPrompter prompter;
    std::unique_ptr<SignalLog> log;
    std::unique_ptr<MoverGate> gate;

    QString legacyDir() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QLatin1Char('/') + fixture.settings->legacyDir;
    }

    QString sourceDir() const { return fixture.workDir() + QStringLiteral("/source"); }

    // Every mover that arrives goes on at once with `verdict`.
    void passEveryMover(MoverGate::Verdict verdict)
    {
        connect(gate.get(), &MoverGate::arrived, this,
                [this, verdict](int index) { gate->release(index, verdict); });
    }

private slots:
    void initTestCase() { qRegisterMetaType<MoverGate::Verdict>(); }

    void init()
    {
        QVERIFY(fixture.setUp());
        prompter = PresetPrompter();
        gate = std::make_unique<MoverGate>();
        QVERIFY(gate->isListening());
        updater = std::make_unique<Updater>();
        updater->setPrompter(&prompter);
        log = std::make_unique<SignalLog>(updater.get());
    }

    void cleanup()
    {
        log.reset();
        updater.reset();
        gate.reset();
        QDir(legacyDir()).removeRecursively();
        fixture.tearDown();
    }

    void installFiles_data()
    {
        QTest::addColumn<QStringList>("ignore");
        QTest::addColumn<bool>("deleteMode");
        QTest::addColumn<MoverGate::Verdict>("verdict");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("sourceLeft");
        QTest::addColumn<QStringList>("moved");

        const QStringList all{".hidden", "bin/client", "config.otml", "data.bin"};
        const QStringList failed{"downloadError(Installation process failed)"};
        QTest::newRow("moved") << QStringList() << false << MoverGate::Verdict::Proceed << true
                               << QStringList() << QStringList() << all;
        QTest::newRow("two names ignored")
            << QStringList{"config.otml", "data.bin"} << false << MoverGate::Verdict::Proceed
            << true << QStringList() << QStringList{"config.otml", "data.bin"}
            << QStringList{".hidden", "bin/client"};
        // Only uninstall may delete, and only what the game owns.
        QTest::newRow("delete mode refused")
            << QStringList() << true << MoverGate::Verdict::Proceed << false
            << QStringList{"downloadError(" + Updater::relativeFolderMessage() + ")"} << all
            << QStringList();
        QTest::newRow("mover fails") << QStringList() << false << MoverGate::Verdict::Fail << false
                                     << failed << all << QStringList();
        QTest::newRow("mover killed") << QStringList() << false << MoverGate::Verdict::Kill << false
                                      << failed << all << QStringList();
    }

    void installFiles()
    {
        QFETCH(QStringList, ignore);
        QFETCH(bool, deleteMode);
        QFETCH(MoverGate::Verdict, verdict);
        QFETCH(bool, result);
        QFETCH(QStringList, events);
        QFETCH(QStringList, sourceLeft);
        QFETCH(QStringList, moved);
        QVERIFY(writeFiles(
            sourceDir(),
            {{".hidden", "h"}, {"bin/client", "c"}, {"config.otml", "cfg"}, {"data.bin", "d"}}));
        const QString destination = deleteMode ? QString() : fixture.installDir();
        passEveryMover(verdict);

        QCOMPARE(updater->installFiles(sourceDir(), destination, ignore), result);
        QCOMPARE(log->events, events);
        const QStringList arguments{"--source",  sourceDir(), "--dest",
                                    destination, "--ignore",  ignore.join(u',')};
        QCOMPARE(gate->arguments(),
                 deleteMode ? QList<QStringList>() : QList<QStringList>{arguments});
        QCOMPARE(filesBelow(sourceDir()), sourceLeft);
        if (!deleteMode)
            QCOMPARE(filesBelow(fixture.installDir()), moved);
    }

    void installPendingFiles_data()
    {
        QTest::addColumn<FileMap>("staged"); // "/" alone: an empty staging folder
        QTest::addColumn<FileMap>("published");
        QTest::addColumn<MoverGate::Verdict>("verdict");
        QTest::addColumn<Updater::MoveIn>("result");
        QTest::addColumn<int>("movers");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QStringList>("leftStaged");

        const FileMap level{{"/level.pak", "l"}};
        QTest::newRow("no staging folder")
            << FileMap() << level << MoverGate::Verdict::Proceed << Updater::MoveIn::NothingStaged
            << 0 << QStringList() << QStringList();
        QTest::newRow("only empty folders")
            << FileMap{{"/", ""}, {"/a/b/", ""}, {"/c/", ""}} << level
            << MoverGate::Verdict::Proceed << Updater::MoveIn::NothingStaged << 0 << QStringList()
            << QStringList();
        QTest::newRow("a file deep down")
            << FileMap{{"/a/", ""}, {"/a/b/level.pak", "l"}} << FileMap{{"/a/b/level.pak", "l"}}
            << MoverGate::Verdict::Proceed << Updater::MoveIn::Installed << 1
            << QStringList{"a/b/level.pak"} << QStringList();
        QTest::newRow("only a dot-file")
            << FileMap{{"/.initcomplete", ""}} << FileMap{{"/.initcomplete", ""}}
            << MoverGate::Verdict::Proceed << Updater::MoveIn::Installed << 1
            << QStringList{".initcomplete"} << QStringList();
        // A partial file of a current key stays for the next run; a stray goes.
        QTest::newRow("partial and stray files")
            << FileMap{{"/level.pak", "partial"}, {"/stray.pak", "s"}, {"/old/gone.pak", "g"}}
            << level << MoverGate::Verdict::Proceed << Updater::MoveIn::NothingStaged << 0
            << QStringList() << QStringList{"level.pak"};
        QTest::newRow("only checked files")
            << FileMap{{"/level.pak", "l"}, {"/stray.pak", "s"}} << level
            << MoverGate::Verdict::Proceed << Updater::MoveIn::Installed << 1
            << QStringList{"level.pak"} << QStringList();
        QTest::newRow("mover fails")
            << level << level << MoverGate::Verdict::Fail << Updater::MoveIn::Failed << 1
            << QStringList() << QStringList{"level.pak"};
    }

    void installPendingFiles()
    {
        QFETCH(FileMap, staged);
        QFETCH(FileMap, published);
        QFETCH(MoverGate::Verdict, verdict);
        QFETCH(Updater::MoveIn, result);
        QFETCH(int, movers);
        QFETCH(QStringList, installed);
        QFETCH(QStringList, leftStaged);
        for (auto it = staged.constBegin(); it != staged.constEnd(); ++it) {
            if (it.key().endsWith(QLatin1Char('/')))
                QVERIFY(QDir().mkpath(Updater::stagingPath(it.key())));
            else
                QVERIFY(fixture.stage(it.key(), it.value()));
        }
        QVERIFY(fixture.publish(published));
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        log->events.clear();
        passEveryMover(verdict);

        QCOMPARE(updater->installPendingFiles(), result);
        QCOMPARE(gate->arrivals(), movers);
        QCOMPARE(filesBelow(fixture.installDir()), installed);
        QCOMPARE(filesBelow(Updater::stagingDirectory()), leftStaged);
        if (result == Updater::MoveIn::Failed)
            QCOMPARE(log->events,
                     QStringList{QStringLiteral("downloadError(Installation process failed)")});
    }

    // Downloads carry no permission bits: programs and scripts get execute bits
    // in staging, before the move, whichever way the staged files are moved in.
    void executeBits_data()
    {
        QTest::addColumn<bool>("downloaded");
        QTest::newRow("staged earlier, moved by installPendingFiles") << false;
        QTest::newRow("downloaded, moved at the end of the run") << true;
    }

    void executeBits()
    {
        QFETCH(bool, downloaded);
        const QString game = platform::executableFileName(fixture.settings->executableName);
        const FileMap files{{'/' + game, "not a header"},
                            {"/bin/tool", QByteArray("\x7f"
                                                     "ELF\x02\x01",
                                                     6)},
                            {"/run.sh", "#!/bin/sh\n"},
                            {"/data/world.pak", "#x"},
                            {"/notes.txt", "ELF but no magic"}};
        const QStringList executable{'/' + game, "/bin/tool", "/run.sh"};
        passEveryMover(MoverGate::Verdict::Proceed);
        if (downloaded) {
            QVERIFY(fixture.publish(files));
            checkNow(fixture, *updater);
            QTRY_VERIFY(log->hasClosingSignal());
            updater->startUpdate();
            QTRY_VERIFY2_WITH_TIMEOUT(log->count(QStringLiteral("updateComplete()")) == 1,
                                      qPrintable(log->events.join(u' ')), 30000);
        } else {
            // Only staged copies a check found correct are moved in.
            for (auto it = files.constBegin(); it != files.constEnd(); ++it)
                QVERIFY(fixture.stage(it.key(), it.value()));
            QVERIFY(fixture.publish(files));
            checkNow(fixture, *updater);
            QTRY_VERIFY(log->hasClosingSignal());
            QCOMPARE(updater->installPendingFiles(), Updater::MoveIn::Installed);
        }
        for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
            const QFileInfo installed(fixture.installDir() + it.key());
            QVERIFY2(installed.exists(), qPrintable(it.key()));
            QCOMPARE(installed.isExecutable(), executable.contains(it.key()));
        }
    }

    // While a mover runs the window keeps painting and its timers keep firing,
    // and nothing that reaches the engine meanwhile starts a second mover,
    // a check or a run.
    void responsiveWhileMoving_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("result"); // -1: the operation has none
        QTest::addColumn<QStringList>("events");

        // The check asked for during the move is kept and runs once the move is over.
        const QString kept = QStringLiteral("checkingForUpdates()");
        QTest::newRow("installFiles") << "installFiles" << 1 << QStringList{kept};
        QTest::newRow("installPendingFiles") << "installPendingFiles" << 0 << QStringList{kept};
        QTest::newRow("uninstall")
            << "uninstall" << -1 << QStringList{"stateChanged(install)", kept}; // one check
        QTest::newRow("migrate") << "migrate" << 1 << QStringList{kept};
        QTest::newRow("download run")
            << "download run" << -1
            << QStringList{"stateChanged(installing)", "updateComplete()", kept};
    }

    void responsiveWhileMoving()
    {
        QFETCH(QString, operation);
        QFETCH(int, result);
        QFETCH(QStringList, events);
        QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));
        QVERIFY(fixture.stage(QStringLiteral("/staged.pak"), "staged"));
        QVERIFY(writeFiles(sourceDir(), {{"moved.pak", "m"}}));
        QVERIFY(writeFiles(legacyDir(), {{".initcomplete", ""}, {"old.pak", "o"}}));
        QVERIFY(fixture.publish({{QStringLiteral("/fetched.pak"), "fetched"},
                                 {QStringLiteral("/staged.pak"), "staged"}}));
        if (operation != QLatin1String("installFiles") && operation != QLatin1String("migrate")) {
            if (operation != QLatin1String("uninstall"))
                QVERIFY(QDir(fixture.installDir()).removeRecursively());
            checkNow(fixture, *updater);
            QTRY_VERIFY(log->hasClosingSignal());
        }
        log->events.clear();
        fixture.server->resetCounters();
        prompter.presetAnswer(true);

        PaintCounter window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // Once the mover is held: a few timer ticks, a repaint, then every entry
        // point once more, and only then the mover may go on.
        QTimer ticker;
        ticker.setInterval(1);
        int ticks = 0;
        int paintsBefore = 0;
        bool probed = false;
        QStringList eventsWhileHeld;
        bool secondInstall = true;
        Updater::MoveIn secondPending = Updater::MoveIn::Installed;
        bool secondMigrate = true;
        qsizetype boxesBefore = 0;
        connect(gate.get(), &MoverGate::arrived, this, [&](int index) {
            if (index > 0) {
                gate->release(index); // a second mover: let it end so the test can report it
                return;
            }
            paintsBefore = window.paints;
            ticker.start();
        });
        connect(&ticker, &QTimer::timeout, this, [&] {
            window.update();
            if (++ticks < 3 || window.paints == paintsBefore || probed)
                return;
            probed = true;
            ticker.stop();
            const QStringList before = log->events;
            boxesBefore = prompter.shown.size();
            secondInstall = updater->installFiles(sourceDir(), fixture.installDir(), {});
            secondPending = updater->installPendingFiles();
            secondMigrate = updater->migrateLegacyInstallation();
            updater->uninstall();
            checkNow(fixture, *updater);
            updater->startUpdate();
            eventsWhileHeld = log->events.mid(before.size());
            gate->release(0);
        });

        int outcome = -1;
        if (operation == QLatin1String("installFiles")) {
            outcome = updater->installFiles(sourceDir(), fixture.installDir(), {});
        } else if (operation == QLatin1String("installPendingFiles")) {
            outcome = int(updater->installPendingFiles()); // Installed: 0
        } else if (operation == QLatin1String("uninstall")) {
            updater->uninstall();
        } else if (operation == QLatin1String("migrate")) {
            outcome = updater->migrateLegacyInstallation();
        } else {
            updater->startUpdate();
            QTRY_VERIFY_WITH_TIMEOUT(log->count(QStringLiteral("updateComplete()")) > 0, 30000);
        }

        QVERIFY(probed);
        QVERIFY(ticks >= 3);
        QCOMPARE(gate->arrivals(), 1);
        QCOMPARE(secondInstall, false);
        QCOMPARE(secondPending, Updater::MoveIn::Busy);
        QCOMPARE(secondMigrate, false);
        QCOMPARE(prompter.shown.size(), boxesBefore);
        QCOMPARE(eventsWhileHeld, QStringList());
        QCOMPARE(outcome, result);
        const auto seen = [this] {
            QStringList events;
            for (const QString &event : std::as_const(log->events)) {
                if (!event.startsWith(QLatin1String("overallProgress(")) &&
                    !event.startsWith(QLatin1String("downloadProgress(")))
                    events << event;
            }
            return events;
        };
        QTRY_COMPARE(seen().mid(0, events.size()), events);
        QTRY_VERIFY(log->hasClosingSignal());
    }

    // A manifest that comes in while files are moved is verified only after
    // the move, against the folder as the move left it.
    void manifestDuringMoveWaits()
    {
        QVERIFY(fixture.publish({{QStringLiteral("/moved.pak"), "m"}}));
        QVERIFY(writeFiles(sourceDir(), {{"moved.pak", "m"}}));
        // The mover goes on once it is held and the manifest reply is in.
        bool replySeen = false;
        bool held = false;
        QStringList eventsAtRelease;
        const auto releaseWhenBoth = [&] {
            if (!replySeen || !held)
                return;
            eventsAtRelease = log->events;
            gate->release(0);
        };
        connect(&updater->network(), &QNetworkAccessManager::finished, this, [&] {
            replySeen = true;
            releaseWhenBoth();
        });
        connect(gate.get(), &MoverGate::arrived, this, [&] {
            held = true;
            releaseWhenBoth();
        });

        checkNow(fixture, *updater);
        QVERIFY(updater->installFiles(sourceDir(), fixture.installDir(), {}));
        QVERIFY(replySeen);
        QCOMPARE(eventsAtRelease, QStringList{QStringLiteral("checkingForUpdates()")});
        QCOMPARE(log->events, QStringList{QStringLiteral("checkingForUpdates()")});
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(log->events.last(), QStringLiteral("noUpdateAvailable()"));
    }

    // A folder the player cannot write is removed by an elevated mover, waited
    // for without a time limit: the same holds there. Run as an unprivileged
    // user, whose mover then fails to delete.
    void elevatedUninstallStaysResponsive()
    {
        PkexecStandIn pkexec(PkexecStandIn::Mode::Run);
        QVERIFY(fixture.install(QStringLiteral("/data/level.pak"), "level"));
        QVERIFY(fixture.publish({{QStringLiteral("/data/level.pak"), "level"}}));
        const QString home = fixture.workDir() + QStringLiteral("/nobody-home");
        const QString temp = fixture.workDir() + QStringLiteral("/nobody-tmp");
        QVERIFY(QDir().mkpath(home));
        QVERIFY(QDir().mkpath(temp));
        setFolderWritableByOthers(temp, true);
        setFolderWritableByOthers(home, true);
        for (const QString &path : {fixture.installDir(), home, temp,
                                    QStringLiteral(ENGINE_PROBE_EXE), QStringLiteral(LAUNCHER_EXE)})
            openPathForOthers(path);

        QProcess probe;
        runAsUnprivileged(probe, QStringLiteral(ENGINE_PROBE_EXE),
                          {QStringLiteral("--uninstall"), fixture.installDir(),
                           QStringLiteral("--answer"), QStringLiteral("yes"),
                           QStringLiteral("--update-url"), fixture.settings->updateUrl,
                           QStringLiteral("--hold")},
                          home);
        QProcessEnvironment environment = probe.processEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), temp);
        probe.setProcessEnvironment(environment);
        probe.start();
        QVERIFY(probe.waitForFinished(60000));
        const QStringList lines =
            QString::fromUtf8(probe.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(
            lines,
            (QStringList{"held, ticked 3 times; second uninstall asked 0; second move false",
                         "error Some files could not be removed during uninstall", "movers 1",
                         "box question Confirm Uninstall: Are you sure you want to uninstall? This "
                         "will remove all game files."}));
        QCOMPARE(pkexec.calls().size(), 1);
        QVERIFY(QFile::exists(fixture.installDir() + QStringLiteral("/data/level.pak")));
    }

    // The launcher killed (SIGKILL) in the middle of a run and started again:
    // the game folder ends exactly as published, with nothing stale or partial.
    void killedAndStartedAgain_data()
    {
        QTest::addColumn<QString>("when");
        QTest::addColumn<MoverGate::Verdict>("mover"); // what the first mover does after the kill
        QTest::newRow("during downloads") << "downloads" << MoverGate::Verdict::Proceed;
        QTest::newRow("during the move, mover finishes") << "move" << MoverGate::Verdict::Proceed;
        QTest::newRow("during the move, mover killed too") << "move" << MoverGate::Verdict::Kill;
    }

    void killedAndStartedAgain()
    {
        QFETCH(QString, when);
        QFETCH(MoverGate::Verdict, mover);
        FileMap build{{"/.initcomplete", ""},
                      {"/game.bin", QByteArray(200000, 'g')},
                      {"/data/big.pak", QByteArray(60000, 'b')},
                      {"/data/small.pak", "small"}};
        for (int i = 0; i < 8; ++i)
            build.insert(QStringLiteral("/data/level%1.pak").arg(i),
                         QByteArray(3000 + i, char('0' + i)));
        // An older version is installed: some files differ, one is cut short.
        QVERIFY(fixture.install(QStringLiteral("/game.bin"), "old game"));
        QVERIFY(fixture.install(QStringLiteral("/data/big.pak"), QByteArray(30000, 'b')));
        QVERIFY(fixture.publish(build));
        TestHttpServer::Fault drip;
        drip.dripBytes = 256;
        drip.dripIntervalMs = 20;
        fixture.server->setFault(QStringLiteral("/patch/game.bin"), drip);

        const auto startProbe = [this](QProcess &probe) {
            probe.setProcessChannelMode(QProcess::MergedChannels);
            probe.start(QStringLiteral(ENGINE_PROBE_EXE),
                        {QStringLiteral("--update"), fixture.installDir(),
                         QStringLiteral("--update-url"), fixture.settings->updateUrl});
            return probe.waitForStarted();
        };
        QProcess first;
        QVERIFY(startProbe(first));
        if (when == QLatin1String("downloads")) {
            // Some files are in, the dripping one is still partial.
            QTRY_VERIFY_WITH_TIMEOUT(
                fixture.server->requestCount(QStringLiteral("/patch/data/small.pak")) > 0 &&
                    fixture.server->requestCount(QStringLiteral("/patch/game.bin")) > 0,
                30000);
            first.kill();
            QVERIFY(first.waitForFinished());
        } else {
            fixture.server->clearFaults();
            QSignalSpy arrived(gate.get(), &MoverGate::arrived);
            QVERIFY(arrived.wait(60000));
            first.kill();
            QVERIFY(first.waitForFinished());
            QVERIFY(gate->release(0, mover));
        }
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);

        fixture.server->clearFaults();
        passEveryMover(MoverGate::Verdict::Proceed);
        QProcess second;
        QVERIFY(startProbe(second));
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 120000);
        QVERIFY2(second.exitCode() == 0, second.readAll().constData());

        QStringList expected;
        for (auto it = build.cbegin(); it != build.cend(); ++it) {
            expected << it.key().mid(1);
            QCOMPARE(readFile(fixture.installDir() + it.key()), it.value());
        }
        expected.sort();
        QCOMPARE(filesBelow(fixture.installDir()), expected);
    }

    // Quitting ends every event loop, the one waiting for the mover too; the
    // move must still finish before its result is read.
    void quitDuringMove()
    {
        QVERIFY(writeFiles(sourceDir(), {{"moved.pak", "m"}}));
        connect(gate.get(), &MoverGate::arrived, this, [this](int index) {
            QVERIFY(gate->release(index));
            QCoreApplication::exit(0);
        });

        const bool result = updater->installFiles(sourceDir(), fixture.installDir(), {});
        // Undo the quit for the tests that follow: a finished exec() clears it.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();

        QVERIFY(result);
        QCOMPARE(log->events, QStringList());
        QCOMPARE(filesBelow(fixture.installDir()), QStringList{QStringLiteral("moved.pak")});
        QCOMPARE(filesBelow(sourceDir()), QStringList());
    }
};

ENGINE_TEST_MAIN_APP(QApplication, TestEngineInstall)
#include "tst_engine_install.moc"
