#include "downloadspeed.h"
#include "enginefixture.h"
#include "manifestcodec.h"
#include "patience.h"
#include "platform/platform.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

Q_DECLARE_METATYPE(TestHttpServer::Fault)

using FileMap = QMap<QString, QByteArray>;
using Step = QPair<qint64, qint64>; // time in ms, new bytes

namespace {

QByteArray contentOfSize(qint64 size, char seed)
{
    QByteArray content(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        content[i] = char(seed + i % 23);
    return content;
}

QString path(const QString &key)
{
    return QStringLiteral("/patch") + key;
}

TestHttpServer::Fault slowDrip()
{
    TestHttpServer::Fault fault;
    fault.dripBytes = 64;
    fault.dripIntervalMs = 20;
    return fault;
}

// Every file below `folder` by key, with its bytes.
FileMap filesIn(const QString &folder)
{
    FileMap tree;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        QFile read(file);
        tree.insert(QLatin1Char('/') + QDir(folder).relativeFilePath(file),
                    read.open(QIODevice::ReadOnly) ? read.readAll() : QByteArray("?"));
    }
    return tree;
}

TestHttpServer::Fault silence()
{
    TestHttpServer::Fault fault;
    fault.stallBeforeHeaders = true;
    return fault;
}

} // namespace

class TestEngineDownloads : public QObject
{
    Q_OBJECT

private:
    EngineFixture fixture;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<SignalLog> log;
    int savedMaxConcurrent = maxConcurrentDownloads;

    // Publishes, checks and waits until the engine knows what to fetch.
    void prepare(const FileMap &files, const QJsonObject &extra = {})
    {
        QVERIFY(fixture.publish(files, extra));
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        QVERIFY(!log->named(QStringLiteral("updateAvailable")).isEmpty());
        fixture.server->resetCounters();
        log->events.clear();
    }

    QStringList fileRequests() const
    {
        QStringList paths;
        for (const QString &requested : fixture.server->requestedPaths()) {
            // A run first asks for the build's chunk index, which these folders lack.
            if (requested != fixture.manifestPath() && !requested.contains("/.chunkstore/"))
                paths << requested;
        }
        return paths;
    }

    // The run's events without progress reports, which are queued and may
    // arrive after the run's last word.
    QStringList outcome() const
    {
        QStringList events;
        for (const QString &event : log->events) {
            if (!event.startsWith(QLatin1String("overallProgress(")) &&
                !event.startsWith(QLatin1String("downloadProgress(")))
                events << event;
        }
        return events;
    }

    bool runEnded() const
    {
        return log->count(QStringLiteral("updateComplete()")) > 0 ||
               log->events.contains(QStringLiteral("stateChanged(update)")) ||
               log->events.contains(QStringLiteral("stateChanged(install)"));
    }

private slots:
    void init()
    {
        QVERIFY(fixture.setUp());
        maxConcurrentDownloads = savedMaxConcurrent;
        updater = std::make_unique<Updater>();
        log = std::make_unique<SignalLog>(updater.get());
    }

    void cleanup()
    {
        qunsetenv("http_proxy");
        log.reset();
        updater.reset();
        maxConcurrentDownloads = savedMaxConcurrent;
        fixture.tearDown();
    }

    void nothingToFetch()
    {
        updater->startUpdate();
        QCOMPARE(log->events, QStringList{QStringLiteral("noUpdateAvailable()")});
    }

    void completeRunThenNothingLeft()
    {
        const FileMap files{{QStringLiteral("/game.exe"), contentOfSize(300000, 'g')},
                            {QStringLiteral("/data/level 1.pak"), contentOfSize(70000, 'l')},
                            {QStringLiteral("/data/sub/empty.txt"), QByteArray()},
                            {QStringLiteral("/.initcomplete"), QByteArray()}};
        prepare(files);
        // Another user's link at a fixed name in the shared temporary folder.
        const QString victim = fixture.tempDir() + QStringLiteral("/victim.txt");
        QVERIFY(writeFile(victim, "mine"));
        QVERIFY(QFile::link(victim, fixture.tempDir() + QStringLiteral("/.initcomplete")));
        QCOMPARE(log->events, QStringList());
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);

        const qint64 total = 370000;
        QCOMPARE(log->events.first(), QStringLiteral("stateChanged(installing)"));
        QCOMPARE(log->events.at(1), QStringLiteral("overallProgress(0,%1)").arg(total));
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QVERIFY(log->named(QStringLiteral("downloadError")).isEmpty());
        QVERIFY(updater->state() != Updater::State::Downloading);

        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            QCOMPARE(readFile(fixture.installDir() + it.key()), it.value());
        QVERIFY(updater->isInstalled());
        QCOMPARE(readFile(victim), QByteArray("mine"));
        QVERIFY(QFile::exists(Updater::privateDirectory() + QStringLiteral("/.initcomplete")));
        QVERIFY(!QFile::exists(Updater::stagingPath(QStringLiteral("/game.exe"))));
        QCOMPARE(fixture.server->lastHeader(path(QStringLiteral("/game.exe")), "User-Agent"),
                 QByteArray("Ashgrove PTR Launcher"));
        QCOMPARE(fixture.server->lastHeader(path(QStringLiteral("/game.exe")), "Accept-Encoding"),
                 QByteArray("identity"));
        // Empty entries are made in staging, not fetched.
        QCOMPARE(fixture.server->requestCount(path(QStringLiteral("/.initcomplete"))), 0);
        QCOMPARE(fixture.server->requestCount(path(QStringLiteral("/data/sub/empty.txt"))), 0);
        for (const QString &progress : log->named(QStringLiteral("overallProgress")))
            QVERIFY2(progress.endsWith(QStringLiteral(",%1)").arg(total)), qPrintable(progress));

        // A second check finds everything in place and fetches nothing.
        log->events.clear();
        fixture.server->resetCounters();
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(outcome().last(), QStringLiteral("noUpdateAvailable()"));
        QCOMPARE(fileRequests(), QStringList());
        updater->startUpdate();
        QCOMPARE(outcome().last(), QStringLiteral("noUpdateAvailable()"));
    }

    void updateOverInstalledGame()
    {
        QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));
        QVERIFY(fixture.install(QStringLiteral("/keep.pak"), "unchanged"));
        QVERIFY(fixture.install(QStringLiteral("/changed.pak"), "old"));
        prepare({{QStringLiteral("/.initcomplete"), QByteArray()},
                 {QStringLiteral("/keep.pak"), "unchanged"},
                 {QStringLiteral("/changed.pak"), "new"}});
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(log->events.first(), QStringLiteral("stateChanged(updating)"));
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QCOMPARE(fileRequests(), QStringList{path(QStringLiteral("/changed.pak"))});
        QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/changed.pak")),
                 QByteArray("new"));
    }

    // A new build drops files and turns files into folders and back; the folder
    // ends byte-equal to it, but for the player's files, which stay.
    void newBuild_data()
    {
        QTest::addColumn<FileMap>("first");
        QTest::addColumn<FileMap>("player"); // written between the builds
        QTest::addColumn<FileMap>("second");
        QTest::addColumn<QString>("refused"); // the player's entry an error names

        const QByteArray marker;
        const FileMap first{{"/.initcomplete", marker}, {"/a.pak", "a1"}, {"/readme.txt", "r"}};
        const FileMap second{{"/.initcomplete", marker}, {"/a.pak", "a2"}};
        QTest::newRow("dropped file removed") << first << FileMap() << second << "";
        QTest::newRow("dropped file the player changed kept")
            << first << FileMap{{"/readme.txt", "mine"}} << second << "";
        QTest::newRow("only dropped, nothing to fetch")
            << first << FileMap() << FileMap{{"/.initcomplete", marker}, {"/a.pak", "a1"}} << "";
        QTest::newRow("file becomes folder")
            << FileMap{{"/.initcomplete", marker}, {"/data", "d"}} << FileMap{{"/mine.sav", "s"}}
            << FileMap{{"/.initcomplete", marker}, {"/data/x", "x"}, {"/data/y/z", "z"}} << "";
        QTest::newRow("folder becomes file")
            << FileMap{{"/.initcomplete", marker}, {"/data/x", "x"}, {"/data/y/z", "z"}}
            << FileMap() << FileMap{{"/.initcomplete", marker}, {"/data", "d"}} << "";
        QTest::newRow("the player's file in the folder")
            << FileMap{{"/.initcomplete", marker}, {"/data/x", "x"}}
            << FileMap{{"/data/mine.sav", "s"}}
            << FileMap{{"/.initcomplete", marker}, {"/data", "d"}} << "mine.sav";
    }

    void newBuild()
    {
        QFETCH(FileMap, first);
        QFETCH(FileMap, player);
        QFETCH(FileMap, second);
        QFETCH(QString, refused);
        prepare(first);
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        for (auto it = player.constBegin(); it != player.constEnd(); ++it)
            QVERIFY(fixture.install(it.key(), it.value()));

        log->events.clear();
        // A new folder on the server: the first build's files would stand in the way there too.
        QVERIFY(QDir(fixture.patchDir()).removeRecursively());
        QVERIFY(fixture.publish(second));
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        const bool fetches = log->events.last().startsWith(QLatin1String("updateAvailable"));
        if (fetches) {
            log->events.clear();
            updater->startUpdate();
            QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        }
        const QStringList errors = log->named(QStringLiteral("downloadError"));
        FileMap expected = refused.isEmpty() ? second : first;
        for (auto it = player.constBegin(); it != player.constEnd(); ++it)
            expected.insert(it.key(), it.value()); // the player's own and what they changed
        QCOMPARE(filesIn(fixture.installDir()), expected);
        if (refused.isEmpty()) {
            QCOMPARE(errors, QStringList());
            QCOMPARE(outcome().last(), fetches ? QStringLiteral("updateComplete()")
                                               : QStringLiteral("noUpdateAvailable()"));
        } else {
            QCOMPARE(errors.size(), 1);
            QVERIFY2(errors.first().contains(refused), qPrintable(errors.first()));
        }
    }

    // The largest file starts first; whenever the largest running one ends, the
    // largest not yet started follows, wherever it is in the list.
    void schedulingOrder_data()
    {
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<QList<int>>("expectedOrder");

        // With one slot every finished download was the largest running one.
        QTest::newRow("10, 500, 500, 20") << QList<int>{10, 500, 500, 20} << QList<int>{1, 2, 3, 0};
        QTest::newRow("largest last") << QList<int>{5, 6, 7, 900} << QList<int>{3, 2, 1, 0};
        QTest::newRow("all equal") << QList<int>{50, 50, 50} << QList<int>{0, 1, 2};
        QTest::newRow("ascending") << QList<int>{1, 2, 3, 4, 5} << QList<int>{4, 3, 2, 1, 0};
    }

    void schedulingOrder()
    {
        QFETCH(QList<int>, sizes);
        QFETCH(QList<int>, expectedOrder);
        maxConcurrentDownloads = 1;
        FileMap files;
        for (int i = 0; i < sizes.size(); ++i)
            files.insert(QStringLiteral("/f%1.pak").arg(i),
                         contentOfSize(sizes.at(i), char('a' + i)));
        prepare(files);

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QStringList expected;
        for (const int index : expectedOrder)
            expected << path(QStringLiteral("/f%1.pak").arg(index));
        QCOMPARE(fileRequests(), expected);
    }

    // Over many files of mixed and equal sizes (and empty ones) with one slot,
    // every start follows the rule: largest waiting first, list order among equals,
    // empty files last in list order (staged without a request). The list keeps
    // the order they started in.
    void schedulingOrderManyFiles_data()
    {
        QTest::addColumn<QList<int>>("sizes");

        QList<int> mixed;
        for (int i = 0; i < 60; ++i)
            mixed << (i * 37 % 11) * 40; // 0 to 400, each size several times
        QTest::newRow("sixty mixed") << mixed;
        QList<int> tiedAtTop{300, 5, 300, 0, 300, 7, 7, 0, 300, 1};
        QTest::newRow("ties at the top") << tiedAtTop;
    }

    void schedulingOrderManyFiles()
    {
        QFETCH(QList<int>, sizes);
        maxConcurrentDownloads = 1;
        FileMap files;
        QMap<QString, int> sizeOf;
        for (int i = 0; i < sizes.size(); ++i) {
            const QString key = QStringLiteral("/d%1/f%2.pak").arg(i % 3).arg(i);
            files.insert(key, contentOfSize(sizes.at(i), char('a' + i % 20)));
            sizeOf.insert(key, sizes.at(i));
        }
        prepare(files);
        QStringList expected = files.keys(); // every file is missing, in manifest order
        std::stable_sort(expected.begin(), expected.end(), [&](const QString &a, const QString &b) {
            return sizeOf.value(a) > sizeOf.value(b);
        });

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 60000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QStringList requested;
        for (const QString &key : expected) {
            if (sizeOf.value(key) > 0)
                requested << path(key);
        }
        QCOMPARE(fileRequests(), requested);
    }

    // Files that end while a larger one still runs make way in list order.
    void smallerFilesFollowListOrder()
    {
        maxConcurrentDownloads = 2;
        prepare({{QStringLiteral("/big.pak"), contentOfSize(1600, 'b')},
                 {QStringLiteral("/f1.pak"), contentOfSize(10, '1')},
                 {QStringLiteral("/f2.pak"), contentOfSize(20, '2')},
                 {QStringLiteral("/f3.pak"), contentOfSize(30, '3')},
                 {QStringLiteral("/f4.pak"), contentOfSize(5, '4')}});
        TestHttpServer::Fault slow;
        slow.dripBytes = 16;
        slow.dripIntervalMs = 30;
        fixture.server->setFault(path(QStringLiteral("/big.pak")), slow);

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 60000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QCOMPARE(fileRequests(),
                 (QStringList{path(QStringLiteral("/big.pak")), path(QStringLiteral("/f1.pak")),
                              path(QStringLiteral("/f2.pak")), path(QStringLiteral("/f3.pak")),
                              path(QStringLiteral("/f4.pak"))}));
    }

    void slotLimit_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
        QTest::newRow("four") << 4;
    }

    void slotLimit()
    {
        QFETCH(int, limit);
        maxConcurrentDownloads = limit;
        FileMap files;
        for (int i = 0; i < 10; ++i)
            files.insert(QStringLiteral("/f%1.pak").arg(i), contentOfSize(320 + i, char('a' + i)));
        prepare(files);
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            fixture.server->setFault(path(it.key()), slowDrip());

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 60000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QCOMPARE(fileRequests().size(), 10);
        QCOMPARE(fixture.server->maxConcurrentRequests(), limit);
    }

    // A transfer that lasts a few seconds reports its speed and a rising total.
    void progressReports()
    {
        const QByteArray content = contentOfSize(6000, 'p');
        prepare({{QStringLiteral("/slow.pak"), content}});
        fixture.server->setFault(path(QStringLiteral("/slow.pak")), slowDrip());

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));

        const QStringList speeds = log->named(QStringLiteral("downloadProgress"));
        QVERIFY(!speeds.isEmpty());
        for (const QString &speed : speeds) {
            const qint64 value = speed.section(u'(', 1).chopped(1).toLongLong();
            QVERIFY2(value > 0 && value <= content.size(), qPrintable(speed));
        }
        qint64 previous = -1;
        for (const QString &report : log->named(QStringLiteral("overallProgress"))) {
            const QStringList values = report.section(u'(', 1).chopped(1).split(u',');
            QCOMPARE(values.at(1).toLongLong(), content.size());
            QVERIFY2(values.at(0).toLongLong() >= previous, qPrintable(report));
            previous = values.at(0).toLongLong();
        }
        QVERIFY(previous > 0);
    }

    // A failed transfer ends the run at once and stops the others.
    void failedTransfer_data()
    {
        QTest::addColumn<TestHttpServer::Fault>("fault");
        QTest::addColumn<QString>("message"); // start of the error text

        TestHttpServer::Fault missing;
        missing.status = 404;
        QTest::newRow("not found") << missing << QString(); // Qt's text, whatever it says
        TestHttpServer::Fault cut;
        cut.cutAfterBytes = 100;
        QTest::newRow("cut short") << cut << QString();
        TestHttpServer::Fault stalled;
        stalled.stallAfterBytes = 100;
        QTest::newRow("stops sending") << stalled << Updater::stalledServerMessage();
        QTest::newRow("never answers") << silence() << Updater::stalledServerMessage();
    }

    void failedTransfer()
    {
        QFETCH(TestHttpServer::Fault, fault);
        QFETCH(QString, message);
        maxConcurrentDownloads = 3;
        updater->setStallTimeout(500);
        FileMap files;
        for (int i = 0; i < 6; ++i)
            files.insert(QStringLiteral("/f%1.pak").arg(i), contentOfSize(1000 - i, char('a' + i)));
        prepare(files);
        fixture.server->setFault(path(QStringLiteral("/f1.pak")), fault);
        for (const QString &key : {QStringLiteral("/f0.pak"), QStringLiteral("/f2.pak")})
            fixture.server->setFault(path(key), silence());

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        const QStringList events = outcome();
        QCOMPARE(events.size(), 3);
        QCOMPARE(events.at(0), QStringLiteral("stateChanged(installing)"));
        QCOMPARE(events.at(1), QStringLiteral("stateChanged(install)"));
        const QString error = events.at(2);
        QVERIFY2(error.startsWith(QStringLiteral("downloadError(") + message), qPrintable(error));
        QVERIFY(!error.contains(QStringLiteral("Operation canceled")));
        QVERIFY(updater->state() != Updater::State::Downloading);
        QCOMPARE(log->count(QStringLiteral("updateComplete()")), 0);
        // Nothing beyond the first three ever started.
        QVERIFY(fileRequests().size() <= 3);
    }

    // A wrong file, or more bytes than the manifest promised, is refused.
    void refusedContent_data()
    {
        QTest::addColumn<TestHttpServer::Fault>("fault");
        QTest::addColumn<bool>("wrongChecksum");

        QTest::newRow("checksum mismatch") << TestHttpServer::Fault() << true;
        TestHttpServer::Fault longer;
        longer.body = contentOfSize(5000, 'x');
        longer.useBody = true;
        QTest::newRow("longer than the manifest") << longer << false;
        TestHttpServer::Fault endless;
        endless.endless = true;
        QTest::newRow("endless body") << endless << false;
        TestHttpServer::Fault lying;
        lying.announcedLength = 400;
        QTest::newRow("announces less") << lying << false;
    }

    void refusedContent()
    {
        QFETCH(TestHttpServer::Fault, fault);
        QFETCH(bool, wrongChecksum);
        maxConcurrentDownloads = 2;
        const QByteArray content = contentOfSize(1000, 'c');
        QJsonObject extra;
        if (wrongChecksum)
            extra.insert(QStringLiteral("/bad.pak"),
                         QJsonObject{{QStringLiteral("checksum"), QStringLiteral("00000bad")},
                                     {QStringLiteral("size"), 1000}});
        prepare({{QStringLiteral("/bad.pak"), content},
                 {QStringLiteral("/other.pak"), contentOfSize(900, 'o')}},
                extra);
        fixture.server->setFault(path(QStringLiteral("/bad.pak")), fault);
        fixture.server->setFault(path(QStringLiteral("/other.pak")), silence());

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        const QStringList tail = outcome().mid(outcome().size() - 2);
        QCOMPARE(tail, (QStringList{QStringLiteral("stateChanged(install)"),
                                    QStringLiteral("downloadError(File verification failed)")}));
        QVERIFY(updater->state() != Updater::State::Downloading);
        QVERIFY(QFileInfo(Updater::stagingPath(QStringLiteral("/bad.pak"))).size() <= 1000);
    }

    // A file far larger than the read buffers arrives in many pieces; the checksum
    // taken on the way must cover every one of them, the first and the last included.
    void largeFileInManyPieces_data()
    {
        QTest::addColumn<qint64>("changedByte"); // -1: served as published
        const qint64 size = 3 * 1024 * 1024 + 17;
        QTest::newRow("intact") << qint64(-1);
        QTest::newRow("first byte differs") << qint64(0);
        QTest::newRow("middle byte differs") << size / 2;
        QTest::newRow("last byte differs") << size - 1;
    }

    void largeFileInManyPieces()
    {
        QFETCH(qint64, changedByte);
        const QByteArray content = contentOfSize(3 * 1024 * 1024 + 17, 'L');
        prepare({{QStringLiteral("/large.pak"), content},
                 {QStringLiteral("/small.pak"), contentOfSize(5000, 's')}});
        if (changedByte >= 0) {
            TestHttpServer::Fault altered;
            altered.body = content;
            altered.body[changedByte] = char(altered.body.at(changedByte) ^ 0x5a);
            altered.useBody = true;
            fixture.server->setFault(path(QStringLiteral("/large.pak")), altered);
        }

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 60000);
        if (changedByte < 0) {
            QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
            QVERIFY(log->named(QStringLiteral("downloadError")).isEmpty());
            QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/large.pak")), content);
        } else {
            QCOMPARE(outcome().mid(outcome().size() - 2),
                     (QStringList{QStringLiteral("stateChanged(install)"),
                                  QStringLiteral("downloadError(File verification failed)")}));
            QCOMPARE(log->count(QStringLiteral("updateComplete()")), 0);
        }
    }

    // A run whose files cannot even be created in staging ends with its error and
    // moves nothing in, instead of leaving the window waiting for good.
    void unwritableStagingEndsRun_data()
    {
        QTest::addColumn<QString>(
            "blocker"); // staged path made a folder ("/" at the end) or a file
        QTest::addColumn<QString>("error");
        QTest::newRow("folder where the file goes")
            << "/b.pak/"
            << "Could not create temporary file for download";
        QTest::newRow("file where a folder goes") << "/sub"
                                                  << "Could not create directory path for download";
    }

    void unwritableStagingEndsRun()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, error);
        maxConcurrentDownloads = 1;
        prepare({{QStringLiteral("/a.pak"), contentOfSize(2000, 'a')},
                 {QStringLiteral("/b.pak"), contentOfSize(1000, 'b')},
                 {QStringLiteral("/sub/c.pak"), contentOfSize(500, 'c')}});
        if (blocker.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(Updater::stagingPath(blocker) + QStringLiteral("/inside")));
        else
            QVERIFY(writeFile(Updater::stagingPath(blocker), "in the way"));

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().mid(outcome().size() - 2),
                 (QStringList{QStringLiteral("stateChanged(install)"),
                              QStringLiteral("downloadError(%1)").arg(error)}));
        QVERIFY(updater->state() != Updater::State::Downloading);
        QCOMPARE(log->count(QStringLiteral("updateComplete()")), 0);
        QVERIFY(!QFileInfo::exists(fixture.installDir() + QStringLiteral("/a.pak")));
        // The next press starts a run again.
        QVERIFY(QFile::remove(Updater::stagingPath(blocker)) ||
                QDir(Updater::stagingPath(blocker)).removeRecursively());
        log->events.clear();
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
    }

    // Another user's staging folder (a link, or one they own) is refused; the
    // run never starts and nothing is written where it points.
    void plantedStagingRefused_data()
    {
        QTest::addColumn<QString>("plant");
        QTest::newRow("link to elsewhere") << "link";
        QTest::newRow("owned by another user") << "owner";
        QTest::newRow("engine folder is a link") << "root link";
    }

    void plantedStagingRefused()
    {
        if (platform::hostOs() == platform::Os::Windows)
            QSKIP("per-user temporary folders are private on Windows");
        QFETCH(QString, plant);
        prepare({{QStringLiteral("/a.pak"), contentOfSize(1000, 'a')}});
        const QString elsewhere = fixture.workDir() + QStringLiteral("/planted");
        QVERIFY(QDir().mkpath(elsewhere));
        const QString target = plant == QLatin1String("root link") ? Updater::privateDirectory()
                                                                   : Updater::stagingDirectory();
        QDir(target).removeRecursively();
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        if (plant == QLatin1String("owner")) {
            QVERIFY(QDir().mkpath(target));
            const passwd *nobody = getpwnam("nobody");
            QVERIFY(nobody);
            QCOMPARE(::chown(QFile::encodeName(target).constData(), nobody->pw_uid, nobody->pw_gid),
                     0);
        } else {
            QVERIFY(QFile::link(elsewhere, target));
        }

        updater->startUpdate();
        QCOMPARE(outcome(),
                 (QStringList{QStringLiteral("stateChanged(install)"),
                              QStringLiteral(
                                  "downloadError(Could not create directory path for download)")}));
        QVERIFY(updater->state() != Updater::State::Downloading);
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(fixture.server->totalRequests(), 0);
    }

    // A link planted in staging is replaced, never written through.
    void stagedLinkNotFollowed()
    {
        prepare({{QStringLiteral("/a.pak"), contentOfSize(1000, 'a')}});
        const QString outside = fixture.workDir() + QStringLiteral("/outside.txt");
        QVERIFY(writeFile(outside, "precious"));
        QVERIFY(QDir().mkpath(Updater::stagingDirectory()));
        QVERIFY(QFile::link(outside, Updater::stagingPath(QStringLiteral("/a.pak"))));

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QCOMPARE(readFile(outside), QByteArray("precious"));
        QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/a.pak")),
                 contentOfSize(1000, 'a'));
    }

    // A check asked for during a run neither touches the run's table nor is
    // forgotten: it runs once the run has ended.
    void checkIsKeptWhileUpdating()
    {
        const FileMap files{{QStringLiteral("/a.pak"), contentOfSize(6000, 'a')},
                            {QStringLiteral("/b.pak"), contentOfSize(3000, 'b')}};
        prepare(files);
        fixture.server->setFault(path(QStringLiteral("/a.pak")), slowDrip());
        updater->startUpdate();
        QCOMPARE(updater->state(), Updater::State::Downloading);
        checkNow(fixture, *updater);
        updater->startUpdate();
        QCOMPARE(outcome(), (QStringList{QStringLiteral("stateChanged(installing)"),
                                         QStringLiteral("noUpdateAvailable()")}));

        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().at(2), QStringLiteral("updateComplete()"));
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            QCOMPARE(readFile(fixture.installDir() + it.key()), it.value());
        QTRY_VERIFY(log->events.contains(QStringLiteral("checkingForUpdates()")));
        QTRY_COMPARE(outcome().last(), QStringLiteral("noUpdateAvailable()"));
    }

    // The game started during a long download: nothing is replaced under it;
    // the checked files wait in staging and go in once it is closed.
    void gameStartedDuringRun()
    {
        const QByteArray content = contentOfSize(30000, 'n');
        QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));
        prepare({{QStringLiteral("/.initcomplete"), QByteArray()},
                 {QStringLiteral("/new.pak"), content}});
        const QString game = fixture.installDir() + QLatin1Char('/') +
                             platform::executableFileName(fixture.settings->executableName);
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), game));
        QProcess running;
        connect(updater.get(), &Updater::stateChanged, this, [&](const QString &state) {
            if (state == QLatin1String("updating"))
                running.start(game, {QStringLiteral("60")});
        });

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(running.state(), QProcess::Running);
        QCOMPARE(outcome().mid(1),
                 (QStringList{"downloadError(" + Updater::gameStartedMessage() + ")",
                              QStringLiteral("stateChanged(update)")}));
        QVERIFY(!QFile::exists(fixture.installDir() + QStringLiteral("/new.pak")));
        QCOMPARE(readFile(Updater::stagingPath(QStringLiteral("/new.pak"))), content);

        running.kill();
        running.waitForFinished();
        log->events.clear();
        fixture.settings->lastUpdateCheck.clear();
        updater->startUpdate(); // asks for a fresh check first
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(outcome().last(), QStringLiteral("noUpdateAvailable()"));
        QCOMPARE(fixture.server->requestCount(path(QStringLiteral("/new.pak"))), 1);
        QCOMPARE(updater->installPendingFiles(), Updater::MoveIn::Installed);
        QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/new.pak")), content);
    }

    // A game file named like the manifest is a game file, not a new manifest.
    void fileNamedLikeManifest()
    {
        const QString key = QStringLiteral("/data/") + fixture.settings->manifestFile;
        prepare({{key, "not a manifest"}, {QStringLiteral("/a.pak"), "alpha"}});
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QVERIFY(log->named(QStringLiteral("verificationStarted")).isEmpty());
        QVERIFY(log->named(QStringLiteral("downloadError")).isEmpty());
        QCOMPARE(readFile(fixture.installDir() + key), QByteArray("not a manifest"));
    }

    void failedInstallAsksForRecheck()
    {
        prepare({{QStringLiteral("/a.pak"), "alpha"}});
        // A file where the game folder should be: the mover cannot move into it.
        QVERIFY(QDir(fixture.installDir()).removeRecursively());
        QVERIFY(writeFile(fixture.installDir(), "in the way"));

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        // The mover's own reason follows the message.
        QCOMPARE(outcome().mid(outcome().size() - 2),
                 (QStringList{QStringLiteral("downloadError(Installation process failed\n"
                                             "Cannot create the folder %1)")
                                  .arg(QDir::toNativeSeparators(fixture.installDir())),
                              QStringLiteral("stateChanged(install)")}));

        log->events.clear();
        fixture.settings->lastUpdateCheck.clear();
        updater->startUpdate();
        QCOMPARE(log->events, QStringList{QStringLiteral("checkingForUpdates()")});
    }

    void refusedWhileGameRuns()
    {
        prepare({{QStringLiteral("/a.pak"), "alpha"}});
        const QString game = fixture.installDir() + QLatin1Char('/') +
                             platform::executableFileName(fixture.settings->executableName);
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), game));
        QProcess running;
        running.start(game, {QStringLiteral("60")});
        QVERIFY(running.waitForStarted());

        updater->startUpdate();
        QCOMPARE(log->events,
                 QStringList{QStringLiteral("downloadError(Update cannot be performed while the "
                                            "game is running. Please close the game before "
                                            "updating.)")});
        QVERIFY(updater->state() != Updater::State::Downloading);
        running.kill();
        running.waitForFinished();
    }

    // Files come through the proxy the environment names, as they would for curl.
    void filesThroughEnvironmentProxy()
    {
        const QByteArray content = contentOfSize(5000, 'p');
        prepare({{QStringLiteral("/a.pak"), content}});
        qputenv("http_proxy", fixture.server->baseUrl().toLatin1());
        fixture.settings->updateUrl = QStringLiteral("http://patch.ashgrove.invalid/patch");
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QCOMPARE(fixture.server->requestCount(path(QStringLiteral("/a.pak"))), 1);
        QCOMPARE(readFile(fixture.installDir() + QStringLiteral("/a.pak")), content);
    }

    // A file partly staged by an interrupted run continues where it stopped when
    // the server takes ranges and still has the file the part was begun from
    // (If-Range on the recorded validator), and starts over otherwise; the
    // finished file is checked whole, and one that fails is not kept.
    void resumesStagedPart_data()
    {
        QTest::addColumn<QByteArray>("staged");
        QTest::addColumn<bool>("ignoreRange");
        QTest::addColumn<QByteArray>("range"); // the last request's Range header; empty for none
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<int>("served"); // bytes of the server's copy; -1: as published
        QTest::addColumn<int>("requests");
        QTest::addColumn<QByteArray>("validator"); // recorded with the part; empty: the server's

        const QByteArray published = contentOfSize(200000, 'r');
        QTest::newRow("range honoured")
            << published.left(120000) << false << QByteArray("bytes=120000-") << true << -1 << 1
            << QByteArray();
        QTest::newRow("range ignored")
            << published.left(120000) << true << QByteArray("bytes=120000-") << true << -1 << 1
            << QByteArray();
        QTest::newRow("server changed the file")
            << contentOfSize(120000, 'x') << false << QByteArray("bytes=120000-") << false << -1
            << 1 << QByteArray();
        // 416: the staged part is dropped and the whole (wrong) file fetched and refused.
        QTest::newRow("server's copy shorter than the staged part")
            << published.left(120000) << false << QByteArray() << false << 100000 << 2
            << QByteArray();
        QTest::newRow("full size but wrong") << contentOfSize(200000, 'x') << false << QByteArray()
                                             << true << -1 << 1 << QByteArray();
        QTest::newRow("longer than published")
            << published + "tail" << false << QByteArray() << true << -1 << 1 << QByteArray();
        // Another build was published between the stop and the resume: it starts over.
        QTest::newRow("published anew since the part was begun")
            << contentOfSize(120000, 'x') << false << QByteArray("bytes=120000-") << true << -1 << 1
            << QByteArray("\"earlier build\"");
        QTest::newRow("part without a record") << published.left(120000) << false << QByteArray()
                                               << true << -1 << 1 << QByteArray("none");
    }

    void resumesStagedPart()
    {
        QFETCH(QByteArray, staged);
        QFETCH(bool, ignoreRange);
        QFETCH(QByteArray, range);
        QFETCH(bool, succeeds);
        QFETCH(int, served);
        QFETCH(int, requests);
        QFETCH(QByteArray, validator);
        const QString key = QStringLiteral("/data/big.pak");
        const QByteArray published = contentOfSize(200000, 'r');
        prepare({{key, published}});
        if (served >= 0)
            QVERIFY(writeFile(fixture.patchDir() + key, published.left(served)));
        if (validator.isEmpty())
            validator = fixture.server->validator(path(key));
        QVERIFY(fixture.stage(key, staged, validator == "none" ? QByteArray() : validator));
        TestHttpServer::Fault fault;
        fault.ignoreRange = ignoreRange;
        fixture.server->setFault(path(key), fault);

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(fixture.server->requestCount(path(key)), requests);
        QCOMPARE(fixture.server->lastHeader(path(key), "Range"), range);
        QCOMPARE(fixture.server->lastHeader(path(key), "If-Range"),
                 range.isEmpty() ? QByteArray() : validator);
        if (succeeds) {
            QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
            QCOMPARE(readFile(fixture.installDir() + key), published);
            // Progress counts the staged part once: never past the total.
            for (const QString &progress : log->named(QStringLiteral("overallProgress"))) {
                const QStringList values = progress.mid(16, progress.size() - 17).split(u',');
                QVERIFY2(values.at(0).toLongLong() <= values.at(1).toLongLong(),
                         qPrintable(progress));
            }
        } else {
            QCOMPARE(outcome().mid(outcome().size() - 2),
                     (QStringList{QStringLiteral("stateChanged(install)"),
                                  QStringLiteral("downloadError(File verification failed)")}));
            QVERIFY(!QFile::exists(Updater::stagingPath(key)));
        }
    }

    // A run that stops mid-file leaves its bytes staged; the next run asks only for the rest.
    void interruptedRunResumes()
    {
        const QString key = QStringLiteral("/big.pak");
        const QByteArray published = contentOfSize(300000, 'b');
        prepare({{key, published}});
        TestHttpServer::Fault stopped;
        stopped.stallAfterBytes = 100000;
        fixture.server->setFault(path(key), stopped);
        updater->setStallTimeout(1000);
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QVERIFY(!log->named(QStringLiteral("downloadError")).isEmpty());
        const qint64 kept = QFileInfo(Updater::stagingPath(key)).size();
        QVERIFY2(kept > 0 && kept <= 100000, qPrintable(QString::number(kept)));

        fixture.server->clearFaults();
        log->events.clear();
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 30000);
        QCOMPARE(outcome().last(), QStringLiteral("updateComplete()"));
        QCOMPARE(fixture.server->lastHeader(path(key), "Range"),
                 "bytes=" + QByteArray::number(kept) + '-');
        QCOMPARE(readFile(fixture.installDir() + key), published);
    }

    void speedRule_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QList<int>>("reports");
        QTest::addColumn<qint64>("average");

        using R = DownloadSpeed::Report;
        const int none = int(R::None);
        const int overall = int(R::Overall);
        const int speed = int(R::Speed);
        QTest::newRow("first second") << QList<Step>{{10, 100}, {500, 100}, {1000, 800}}
                                      << QList<int>{none, overall, speed} << qint64(1000);
        QTest::newRow("held right after a sample")
            << QList<Step>{{1000, 500}, {1010, 50}, {1020, 50}, {2000, 1400}}
            << QList<int>{speed, none, none, speed} << qint64(1000);
        QTest::newRow("mean of the last three")
            << QList<Step>{{1000, 1000}, {2000, 2000}, {3000, 3000}, {4000, 7000}}
            << QList<int>{speed, speed, speed, speed} << qint64(4000);
        QTest::newRow("long gap") << QList<Step>{{4000, 8000}} << QList<int>{speed} << qint64(2000);
        QTest::newRow("nothing new") << QList<Step>{{1000, 0}, {1049, 0}, {1050, -5}}
                                     << QList<int>{speed, none, overall} << qint64(0);
    }

    void speedRule()
    {
        QFETCH(QList<Step>, steps);
        QFETCH(QList<int>, reports);
        QFETCH(qint64, average);
        DownloadSpeed meter;
        // An earlier run's samples must not weigh in.
        meter.restart(-5000);
        meter.add(0, 1 << 30);
        meter.restart(0);
        QList<int> actual;
        for (const Step &step : steps)
            actual << int(meter.add(step.first, step.second));
        QCOMPARE(actual, reports);
        QCOMPARE(meter.average(), average);
    }
};

ENGINE_TEST_MAIN(TestEngineDownloads)
#include "tst_engine_downloads.moc"
