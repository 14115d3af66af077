#include "batches.h"
#include "enginefixture.h"
#include "installrecordstore.h"
#include "manifestcodec.h"
#include "updater.h"
#include "verification.h"

#include <QDir>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <optional>

using FileMap = QMap<QString, QByteArray>;
using ChecksumMap = QMap<QString, QString>;

namespace {

// Big enough that checking it takes a while, so work is still under way.
QByteArray largeContent(char fill)
{
    return QByteArray(48 * 1024 * 1024, fill);
}

} // namespace

class TestEngineVerify : public QObject
{
    Q_OBJECT

private:
    EngineFixture fixture;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<SignalLog> log;

    // Publishes `published` with `overrides` replacing checksums, then checks.
    void publishAndCheck(const FileMap &published, const ChecksumMap &overrides)
    {
        QJsonObject extra;
        for (auto it = overrides.constBegin(); it != overrides.constEnd(); ++it) {
            QJsonObject entry = EngineFixture::entryFor(published.value(it.key()));
            entry.insert(QStringLiteral("checksum"), it.value());
            extra.insert(it.key(), entry);
        }
        QVERIFY(fixture.publish(published, extra));
        checkNow(fixture, *updater);
    }

    // What a verification of the game folder against the published manifest finds to fetch.
    QList<QString> toFetch()
    {
        const QString manifest =
            fixture.patchDir() + QLatin1Char('/') + fixture.settings->manifestFile;
        Verification verification;
        std::optional<VerificationResult> result;
        connect(&verification, &Verification::finished, this,
                [&result](const VerificationResult &done) { result = done; });
        VerificationOptions options;
        options.stagingFolder = Updater::stagingDirectory();
        verification.start(fixture.installDir(), decodeManifest(readFile(manifest)).files, options);
        if (!QTest::qWaitFor([&result] { return result.has_value(); }, 30000))
            return {QStringLiteral("(no result)")};
        return result->bad;
    }

private slots:
    void init()
    {
        QVERIFY(fixture.setUp());
        updater = std::make_unique<Updater>();
        log = std::make_unique<SignalLog>(updater.get());
    }

    void cleanup()
    {
        log.reset();
        updater.reset();
        fixture.tearDown();
    }

    void verify_data()
    {
        QTest::addColumn<FileMap>("published");
        QTest::addColumn<ChecksumMap>("overrides");
        QTest::addColumn<FileMap>("installed");
        QTest::addColumn<FileMap>("staged");
        QTest::addColumn<QStringList>("directories");
        QTest::addColumn<QStringList>("expectedBad");

        const QString a = QStringLiteral("/a.pak");
        const QString b = QStringLiteral("/data/b.pak");
        const QString c = QStringLiteral("/data/sub/c.pak");
        const FileMap three{{a, "alpha"}, {b, "bravo"}, {c, "charlie"}};

        QTest::newRow("good file")
            << FileMap{{a, "alpha"}} << ChecksumMap() << FileMap{{a, "alpha"}} << FileMap()
            << QStringList() << QStringList();
        QTest::newRow("missing file") << FileMap{{a, "alpha"}} << ChecksumMap() << FileMap()
                                      << FileMap() << QStringList() << QStringList{a};
        QTest::newRow("changed file")
            << FileMap{{a, "alpha"}} << ChecksumMap() << FileMap{{a, "alpha!"}} << FileMap()
            << QStringList() << QStringList{a};
        QTest::newRow("upper-case checksum")
            << FileMap{{a, "alpha"}}
            << ChecksumMap{{a, EngineFixture::checksumOf("alpha").toUpper()}}
            << FileMap{{a, "alpha"}} << FileMap() << QStringList() << QStringList{a};
        QTest::newRow("empty file, eight zeros")
            << FileMap{{a, QByteArray()}} << ChecksumMap{{a, QStringLiteral("00000000")}}
            << FileMap{{a, QByteArray()}} << FileMap() << QStringList() << QStringList();
        QTest::newRow("directory in place of file")
            << FileMap{{a, "alpha"}} << ChecksumMap() << FileMap() << FileMap() << QStringList{a}
            << QStringList{a};
        QTest::newRow("good staged copy")
            << FileMap{{a, "alpha"}} << ChecksumMap() << FileMap() << FileMap{{a, "alpha"}}
            << QStringList() << QStringList();
        QTest::newRow("bad staged copy")
            << FileMap{{a, "alpha"}} << ChecksumMap() << FileMap() << FileMap{{a, "alpha?"}}
            << QStringList() << QStringList{a};
        QTest::newRow("staged copy beats a damaged install")
            << FileMap{{a, "alpha"}} << ChecksumMap() << FileMap{{a, "damaged"}}
            << FileMap{{a, "alpha"}} << QStringList() << QStringList();
        QTest::newRow("several, in key order") << three << ChecksumMap() << FileMap{{b, "bravo"}}
                                               << FileMap() << QStringList() << QStringList{a, c};
        QTest::newRow("unusable entries skipped")
            << FileMap{{a, "alpha"}}
            << ChecksumMap{{QStringLiteral("/"), QStringLiteral("12345678")}, {b, QString()}}
            << FileMap() << FileMap() << QStringList() << QStringList{a};
    }

    void verify()
    {
        QFETCH(FileMap, published);
        QFETCH(ChecksumMap, overrides);
        QFETCH(FileMap, installed);
        QFETCH(FileMap, staged);
        QFETCH(QStringList, directories);
        QFETCH(QStringList, expectedBad);

        for (auto it = installed.constBegin(); it != installed.constEnd(); ++it)
            QVERIFY(fixture.install(it.key(), it.value()));
        for (auto it = staged.constBegin(); it != staged.constEnd(); ++it)
            QVERIFY(fixture.stage(it.key(), it.value()));
        for (const QString &directory : directories)
            QVERIFY(QDir().mkpath(fixture.installDir() + directory));
        QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));

        publishAndCheck(published, overrides);
        QTRY_VERIFY(log->hasClosingSignal());

        const int total = static_cast<int>(published.size());
        QStringList expected{QStringLiteral("checkingForUpdates()"),
                             QStringLiteral("verificationStarted(%1)").arg(total)};
        for (int i = 1; i <= total; ++i)
            expected << QStringLiteral("verificationProgress(%1,%2)").arg(i).arg(total);
        expected << (expectedBad.isEmpty() ? QStringLiteral("noUpdateAvailable()")
                                           : QStringLiteral("updateAvailable(update)"));
        QCOMPARE(log->events, expected);
        QCOMPARE(toFetch(), QList<QString>(expectedBad));
    }

    // The automatic check trusts the record for files unchanged since; the
    // player's check reads them all. A record it cannot use only costs speed.
    void quickCheck_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("quickFinds");
        QTest::newRow("none") << "none" << false;
        QTest::newRow("damaged, same size and time") << "damage" << false;
        QTest::newRow("damaged, time changed") << "damage time" << true;
        QTest::newRow("damaged, record corrupt") << "damage corrupt" << true;
        QTest::newRow("damaged, record of another folder") << "damage foreign" << true;
        QTest::newRow("new build of the file") << "build" << true;
    }

    void quickCheck()
    {
        QFETCH(QString, change);
        QFETCH(bool, quickFinds);
        const QString a = QStringLiteral("/a.pak");
        const QString path = fixture.installDir() + a;
        QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));
        QVERIFY(fixture.install(a, "alpha"));
        // Whole seconds, so that setting the time back restores it exactly.
        const QDateTime time = QDateTime::fromSecsSinceEpoch(1700000000);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
        file.close();
        QVERIFY(fixture.publish({{a, "alpha"}}));
        checkNow(fixture, *updater); // reads the file and records it
        QTRY_VERIFY(log->hasClosingSignal());

        if (change.startsWith(QLatin1String("damage"))) {
            QVERIFY(file.open(QIODevice::ReadWrite));
            QCOMPARE(file.write("ALPHA"), 5);
            QVERIFY(file.flush()); // or closing it would set the time again
            QVERIFY(
                file.setFileTime(change.contains(QLatin1String("time")) ? time.addSecs(-9) : time,
                                 QFileDevice::FileModificationTime));
            file.close();
        }
        const InstallRecordStore store(InstallRecordStore::defaultFolder());
        const QStringList records =
            QDir(InstallRecordStore::defaultFolder()).entryList(QDir::Files);
        QCOMPARE(records.size(), 1);
        const QString recordFile = InstallRecordStore::defaultFolder() + '/' + records.first();
        if (change.contains(QLatin1String("corrupt")) ||
            change.contains(QLatin1String("foreign"))) {
            InstallRecord foreign = store.load(fixture.installDir());
            QVERIFY(!foreign.isEmpty());
            QByteArray bytes = InstallRecord(fixture.workDir(), foreign.build()).serialize();
            if (change.contains(QLatin1String("corrupt")))
                bytes = foreign.serialize().chopped(1);
            QFile damaged(recordFile);
            QVERIFY(damaged.open(QIODevice::WriteOnly));
            QCOMPARE(damaged.write(bytes), bytes.size());
        }
        if (change == QLatin1String("build"))
            QVERIFY(fixture.publish({{a, "ALPHA"}}));

        log->events.clear();
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(log->named(QStringLiteral("verificationProgress")).last(),
                 QStringLiteral("verificationProgress(1,1)"));
        QCOMPARE(log->events.last(), quickFinds ? QStringLiteral("updateAvailable(update)")
                                                : QStringLiteral("noUpdateAvailable()"));

        log->events.clear();
        fixture.settings->lastUpdateCheck.clear();
        updater->checkAllFiles();
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(log->events.last(), change != QLatin1String("none")
                                         ? QStringLiteral("updateAvailable(update)")
                                         : QStringLiteral("noUpdateAvailable()"));
    }

    void installOrUpdate_data()
    {
        QTest::addColumn<bool>("marker");
        QTest::addColumn<QString>("expected");
        QTest::newRow("installed") << true << QStringLiteral("updateAvailable(update)");
        QTest::newRow("not installed") << false << QStringLiteral("updateAvailable(install)");
    }

    void installOrUpdate()
    {
        QFETCH(bool, marker);
        QFETCH(QString, expected);
        if (marker)
            QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));
        publishAndCheck({{QStringLiteral("/a.pak"), "alpha"}}, {});
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(log->events.last(), expected);
    }

    void nothingToCheck_data()
    {
        QTest::addColumn<ChecksumMap>("entries");
        QTest::newRow("empty table") << ChecksumMap();
        QTest::newRow("only unusable entries")
            << ChecksumMap{{QStringLiteral("/"), QStringLiteral("12345678")},
                           {QStringLiteral("/a.pak"), QString()}};
    }

    // Such a manifest has nothing to fetch; the window must not wait for ever.
    void nothingToCheck()
    {
        QFETCH(ChecksumMap, entries);
        QJsonObject extra;
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it)
            extra.insert(it.key(), QJsonObject{{QStringLiteral("checksum"), it.value()},
                                               {QStringLiteral("size"), 1}});
        QVERIFY(fixture.publish({}, extra));
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(log->events, (QStringList{QStringLiteral("checkingForUpdates()"),
                                           QStringLiteral("noUpdateAvailable()")}));
    }

    void batches_data()
    {
        QTest::addColumn<int>("items");
        QTest::addColumn<int>("batchSize");
        QTest::addColumn<QList<int>>("sizes");
        QTest::newRow("ten by four") << 10 << 4 << QList<int>{4, 4, 2};
        QTest::newRow("exact") << 8 << 4 << QList<int>{4, 4};
        QTest::newRow("fewer than a batch") << 3 << 4 << QList<int>{3};
        QTest::newRow("none") << 0 << 4 << QList<int>{};
        QTest::newRow("one at a time") << 3 << 1 << QList<int>{1, 1, 1};
    }

    void batches()
    {
        QFETCH(int, items);
        QFETCH(int, batchSize);
        QFETCH(QList<int>, sizes);
        QList<int> input;
        for (int i = 0; i < items; ++i)
            input << i;
        const QList<QList<int>> result = splitIntoBatches(input, batchSize);
        QList<int> resultSizes;
        QList<int> flattened;
        for (const QList<int> &batch : result) {
            resultSizes << static_cast<int>(batch.size());
            flattened << batch;
        }
        QCOMPARE(resultSizes, sizes);
        QCOMPARE(flattened, input);
    }

    // The first batch holds the large files and so ends last; the list stays in key order.
    void resultsInManifestOrder()
    {
        FileMap published;
        QStringList expectedBad;
        for (int i = 0; i < 24; ++i) {
            const QString key = QStringLiteral("/f%1.pak").arg(i, 2, 10, QLatin1Char('0'));
            const QByteArray content =
                i < 2 ? largeContent(char('a' + i)) : QByteArray::number(i).repeated(100);
            published.insert(key, content);
            if (i == 0) // as large, but damaged: read to its end before it counts as bad
                QVERIFY(fixture.install(key, largeContent('z')));
            else if (i % 3 != 0)
                QVERIFY(fixture.install(key, content));
            if (i % 3 == 0)
                expectedBad << key;
        }

        publishAndCheck(published, {});
        QTRY_VERIFY_WITH_TIMEOUT(log->hasClosingSignal(), 30000);
        QCOMPARE(toFetch(), QList<QString>(expectedBad));
        const QStringList progress = log->named(QStringLiteral("verificationProgress"));
        QCOMPARE(progress.size(), 24);
        QCOMPARE(progress.last(), QStringLiteral("verificationProgress(24,24)"));
    }

    void restartWhileRunning()
    {
        const QByteArray big = largeContent('r');
        FileMap published{{QStringLiteral("/big.pak"), big}};
        for (int i = 0; i < 6; ++i)
            published.insert(QStringLiteral("/small%1.pak").arg(i), QByteArray::number(i));
        QVERIFY(fixture.install(QStringLiteral("/big.pak"), big));
        QVERIFY(fixture.install(QStringLiteral("/small0.pak"), "0"));

        bool restarted = false;
        connect(updater.get(), &Updater::verificationStarted, this, [&] {
            if (!restarted) {
                restarted = true;
                updater->verifyInstallation();
            }
        });
        publishAndCheck(published, {});
        QTRY_VERIFY_WITH_TIMEOUT(log->hasClosingSignal(), 30000);

        QCOMPARE(log->named(QStringLiteral("verificationStarted")).size(), 2);
        // The second run counts on its own; its last report closes the progress.
        QCOMPARE(log->named(QStringLiteral("verificationProgress")).last(),
                 QStringLiteral("verificationProgress(7,7)"));
        QList<QString> expected;
        for (int i = 1; i < 6; ++i)
            expected << QStringLiteral("/small%1.pak").arg(i);
        QCOMPARE(toFetch(), expected);

        // Only one run ever publishes a result, even once everything has settled.
        checkNow(fixture, *updater);
        QTRY_VERIFY_WITH_TIMEOUT(
            log->named(QStringLiteral("verificationStarted")).size() == 3 &&
                log->events.last().startsWith(QLatin1String("updateAvailable")),
            30000);
        QCOMPARE(log->named(QStringLiteral("updateAvailable")).size(), 2);
        QCOMPARE(log->named(QStringLiteral("noUpdateAvailable")).size(), 0);
    }

    // The window deletes Settings before the engine it holds by value; batches
    // still under way at that point must not need it.
    void teardownAfterSettingsAreGone()
    {
        const QByteArray big = largeContent('t');
        FileMap published;
        for (int i = 0; i < 4; ++i) {
            const QString key = QStringLiteral("/big%1.pak").arg(i);
            published.insert(key, big);
            QVERIFY(fixture.install(key, big));
        }
        QSignalSpy started(updater.get(), &Updater::verificationStarted);
        publishAndCheck(published, {});
        QVERIFY(started.wait());

        Settings::instance = nullptr;
        updater.reset();
        Settings::instance = fixture.settings.get();
        QVERIFY(!log->hasClosingSignal());
    }
};

QTEST_MAIN(TestEngineVerify)
#include "tst_engine_verify.moc"
