#include "chunkindex.h"
#include "enginefixture.h"
#include "manifestcodec.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

// What patchtool publishes, served by a plain static web server, installs a
// game through the launcher's engine: the layout matches its per-key requests.
// Updates take what they can from the chunk store and fall back to whole files.
class TestPatchtoolServed : public QObject
{
    Q_OBJECT

    EngineFixture fixture;
    QProcess webServer;

    // python3's http.server on an ephemeral port; 0 when it did not come up.
    quint16 startWebServer(const QString &folder)
    {
        webServer.setProgram(QStringLiteral("python3"));
        webServer.setArguments(
            {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", folder});
        webServer.start();
        const QRegularExpression portLine(QStringLiteral("port (\\d+)"));
        QByteArray output;
        while (webServer.waitForReadyRead(20000)) {
            output += webServer.readAllStandardOutput();
            const QRegularExpressionMatch match = portLine.match(QString::fromUtf8(output));
            if (match.hasMatch())
                return quint16(match.captured(1).toUInt());
        }
        return 0;
    }

private slots:
    void init() { QVERIFY(fixture.setUp()); }

    void cleanup()
    {
        webServer.kill();
        webServer.waitForFinished();
        fixture.tearDown();
    }

    static QByteArray randomBytes(qsizetype size, quint32 seed)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator generator(seed);
        for (char &c : bytes)
            c = char(generator.generate());
        return bytes;
    }

    // Publishes `files` into the fixture's patch folder (the builds of one game share it).
    bool publish(const QMap<QString, QByteArray> &files, const QStringList &options = {})
    {
        const QString source = fixture.workDir() + QStringLiteral("/source");
        QDir(source).removeRecursively();
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!writeFile(source + it.key(), it.value()))
                return false;
        }
        QProcess tool;
        tool.start(QStringLiteral(PATCHTOOL_EXE),
                   QStringList{"publish"} + options + QStringList{source, fixture.patchDir()});
        return tool.waitForFinished(60000) && tool.exitCode() == 0;
    }

    // Server paths of the chunks stored so far.
    QStringList storedChunks() const
    {
        QStringList paths;
        QDirIterator it(fixture.patchDir() + QStringLiteral("/.chunkstore/chunks"), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            paths.append(QStringLiteral("/patch") + it.next().mid(fixture.patchDir().size()));
        return paths;
    }

    // Checks and installs what the server offers; the errors the run reported.
    QStringList update(Updater &updater)
    {
        SignalLog log(&updater);
        checkNow(fixture, updater);
        if (!QTest::qWaitFor([&] { return log.hasClosingSignal(); }, 30000))
            return {QStringLiteral("no answer to the check")};
        updater.startUpdate();
        const bool ended = QTest::qWaitFor(
            [&] {
                return log.count(QStringLiteral("updateComplete()")) > 0 ||
                       !log.named(QStringLiteral("downloadError")).isEmpty();
            },
            60000);
        if (!ended)
            return {QStringLiteral("no end")};
        return log.named(QStringLiteral("downloadError"));
    }

    bool installedIs(const QMap<QString, QByteArray> &files) const
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (readFile(fixture.installDir() + it.key()) != it.value())
                return false;
        }
        return true;
    }

    // A game and the next build of it: an insertion near the start of a large
    // file, a rewritten file, a renamed one, a removed one.
    static QMap<QString, QByteArray> firstBuild()
    {
        return {{"/data/big.pak", randomBytes(3 * 1024 * 1024, 1)},
                {"/notes.txt", QByteArray(20000, 'n')},
                {"/old/name.bin", randomBytes(300000, 2)},
                {"/gone.txt", "gone"}};
    }
    static QMap<QString, QByteArray> secondBuild()
    {
        QMap<QString, QByteArray> files = firstBuild();
        files["/data/big.pak"].insert(50000, randomBytes(150000, 3));
        files["/notes.txt"] = QByteArray(20000, 'm');
        files["/new/name.bin"] = files.take("/old/name.bin");
        files.remove("/gone.txt");
        return files;
    }

    void publishedFolderInstalls_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("with the chunk store") << QStringList();
        QTest::newRow("without") << QStringList{"--no-chunks"};
    }

    void publishedFolderInstalls()
    {
        QFETCH(QStringList, options);
        QByteArray large(2 * 1024 * 1024 + 5, Qt::Uninitialized);
        for (char &c : large)
            c = char(QRandomGenerator::global()->generate());
        const QMap<QString, QByteArray> files{{"/game.exe", large},
                                              {"/bin/data 1.pak", "pak"},
                                              {"/.config/settings.ini", "[a]"},
                                              {"/música/ñ 100%.ogg", "ogg"},
                                              {"/empty.txt", ""}};
        const QString source = fixture.workDir() + QStringLiteral("/source");
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeFile(source + it.key(), it.value()));

        QProcess publish;
        publish.start(QStringLiteral(PATCHTOOL_EXE),
                      QStringList{"publish"} + options + QStringList{source, fixture.patchDir()});
        QVERIFY(publish.waitForFinished(60000));
        QVERIFY2(publish.exitCode() == 0, publish.readAllStandardError().constData());
        QCOMPARE(QFileInfo(fixture.patchDir() + QStringLiteral("/.chunkstore/builds")).isDir(),
                 options.isEmpty());

        const quint16 port = startWebServer(fixture.workDir() + QStringLiteral("/www"));
        QVERIFY(port != 0);
        fixture.settings->updateUrl = QStringLiteral("http://127.0.0.1:%1/patch").arg(port);

        Updater updater;
        SignalLog log(&updater);
        checkNow(fixture, updater);
        QTRY_VERIFY_WITH_TIMEOUT(log.hasClosingSignal(), 30000);
        QCOMPARE(log.named(QStringLiteral("updateAvailable")),
                 QStringList{QStringLiteral("updateAvailable(install)")});

        updater.startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("updateComplete()")) > 0 ||
                                     !log.named(QStringLiteral("downloadError")).isEmpty(),
                                 60000);
        QCOMPARE(log.named(QStringLiteral("downloadError")), QStringList());
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QCOMPARE(readFile(fixture.installDir() + it.key()), it.value());
        QVERIFY(updater.isInstalled());
        QVERIFY(!QFileInfo::exists(fixture.installDir() + QStringLiteral("/.chunkstore")));

        log.events.clear();
        checkNow(fixture, updater);
        QTRY_VERIFY_WITH_TIMEOUT(log.hasClosingSignal(), 30000);
        QCOMPARE(log.named(QStringLiteral("noUpdateAvailable")).size(), 1);
    }

    void updateFromChunks_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("sound store") << "";
        QTest::newRow("corrupt chunk") << "corrupt";
        QTest::newRow("missing chunk") << "missing";
        QTest::newRow("oversized chunk") << "oversized";
        QTest::newRow("hostile index") << "index";
    }

    void updateFromChunks()
    {
        QFETCH(QString, fault);
        QVERIFY(publish(firstBuild()));
        {
            Updater updater;
            QCOMPARE(update(updater), QStringList());
        }
        const QStringList before = storedChunks();
        QVERIFY(publish(secondBuild()));
        QStringList added = storedChunks();
        for (const QString &path : before)
            added.removeOne(path);
        QVERIFY(added.size() >= 2); // the insertion and the rewritten file
        std::sort(added.begin(), added.end(), [&](const QString &a, const QString &b) {
            return QFileInfo(fixture.workDir() + "/www" + a).size() >
                   QFileInfo(fixture.workDir() + "/www" + b).size();
        });
        const QString chunk = added.first(); // one of the large file's
        const QByteArray stored = readFile(fixture.workDir() + "/www" + chunk);
        TestHttpServer::Fault broken;
        broken.useBody = true;
        if (fault == "corrupt")
            broken.body = QByteArray(stored).replace(stored.size() / 2, 8, "XXXXXXXX");
        else if (fault == "oversized")
            broken.body = stored + stored;
        else if (fault == "missing")
            broken.status = 404;
        if (fault == "index") {
            QDirIterator index(fixture.patchDir() + QStringLiteral("/.chunkstore/builds"),
                               {"*.index"}, QDir::Files);
            while (index.hasNext()) {
                Result<ChunkIndex> hostile = decodeChunkIndex(readFile(index.next()));
                QVERIFY(hostile.ok());
                hostile.value().chunks[0].size = largestChunkMax + 1;
                broken.body = encodeChunkIndex(hostile.value());
                fixture.server->setFault(index.filePath().mid(fixture.workDir().size() + 4),
                                         broken);
            }
        } else if (!fault.isEmpty()) {
            fixture.server->setFault(chunk, broken);
        }
        fixture.server->resetCounters();

        Updater updater;
        QCOMPARE(update(updater), QStringList());
        QVERIFY(installedIs(secondBuild()));
        QVERIFY(!QFileInfo::exists(fixture.installDir() + QStringLiteral("/gone.txt")));
        QCOMPARE(fixture.server->requestCount("/patch/new/name.bin"), fault == "index" ? 1 : 0);
        QCOMPARE(fixture.server->requestCount("/patch/data/big.pak"), fault.isEmpty() ? 0 : 1);
        // Only the chunks the installed build lacks: the renamed file is made of installed ones.
        const QStringList chunks =
            fixture.server->requestedPaths().filter(QStringLiteral("/.chunkstore/chunks/"));
        QCOMPARE(chunks.size(), fault == "index" ? 0 : added.size());
        for (const QString &path : std::as_const(added))
            QCOMPARE(fixture.server->requestCount(path), fault == "index" ? 0 : 1);
    }

    void killedUpdateResumes()
    {
        QVERIFY(publish(firstBuild()));
        {
            Updater updater;
            QCOMPARE(update(updater), QStringList());
        }
        QMap<QString, QByteArray> next = firstBuild();
        next["/data/big.pak"].insert(100000, randomBytes(1024 * 1024, 4));
        const QStringList before = storedChunks();
        QVERIFY(publish(next));
        QStringList added = storedChunks();
        for (const QString &path : before)
            added.removeOne(path);
        QVERIFY(added.size() > 4);
        // One chunk never comes: the run is stopped with the others fetched.
        const QString held = added.takeLast();
        TestHttpServer::Fault silent;
        silent.stallBeforeHeaders = true;
        fixture.server->setFault(held, silent);
        {
            Updater updater;
            SignalLog log(&updater);
            checkNow(fixture, updater);
            QTRY_VERIFY_WITH_TIMEOUT(log.hasClosingSignal(), 30000);
            updater.startUpdate();
            const QString cache = Updater::privateDirectory() + QStringLiteral("/chunks/");
            QTRY_VERIFY_WITH_TIMEOUT(
                std::all_of(added.cbegin(), added.cend(),
                            [&](const QString &path) {
                                return QFileInfo(cache + path.section('/', -1)).size() ==
                                       QFileInfo(fixture.workDir() + "/www" + path).size();
                            }),
                30000);
        }
        fixture.server->clearFaults();
        fixture.server->resetCounters();
        Updater updater;
        QCOMPARE(update(updater), QStringList());
        QVERIFY(installedIs(next));
        QCOMPARE(fixture.server->requestCount(held), 1);
        for (const QString &path : std::as_const(added))
            QCOMPARE(fixture.server->requestCount(path), 0);
        QCOMPARE(fixture.server->requestCount("/patch/data/big.pak"), 0);
    }
};

ENGINE_TEST_MAIN(TestPatchtoolServed)
#include "tst_patchtool_served.moc"
