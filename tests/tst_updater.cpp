#include "launcherupdater.h"
#include "patience.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "updaterwindow.h"
#include "ziparchive.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

struct Outcome
{
    QStringList statuses;
    QStringList errors;
    int finished = 0;
};

// Relative paths of every file and folder below `root`, sorted.
QStringList entriesBelow(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                      QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                      QFile::ExeOther;

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir work;
    std::unique_ptr<TestHttpServer> server;
    QString served;    // the server's folder
    QString target;    // the launcher's folder being updated
    QString elsewhere; // the working folder the updater is started in
    QString packageUrl;

    Outcome runUpdate(const QString &url, int stallTimeoutMs = 30000)
    {
        Outcome outcome;
        LauncherUpdater updater;
        updater.setStallTimeout(stallTimeoutMs);
        connect(&updater, &LauncherUpdater::status, this,
                [&](const QString &text) { outcome.statuses << text; });
        connect(&updater, &LauncherUpdater::error, this,
                [&](const QString &text) { outcome.errors << text; });
        QSignalSpy finished(&updater, &LauncherUpdater::finished);
        if (!updater.startUpdate(target + QStringLiteral("/launcher"), url, false))
            return outcome;
        if (finished.isEmpty())
            finished.wait(60000);
        // Anything emitted late would be a second outcome.
        QCoreApplication::processEvents();
        outcome.finished = int(finished.size());
        return outcome;
    }

    void servePackage(const QList<ZipEntry> &entries)
    {
        QVERIFY(writeZip(served + QStringLiteral("/launcher.zip"), entries));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        served = work.filePath(QStringLiteral("served"));
        QVERIFY(QDir().mkpath(served));
        server = std::make_unique<TestHttpServer>(served);
        QVERIFY(server->start());
        packageUrl = server->url(QStringLiteral("/launcher.zip")).toString();
    }

    void init()
    {
        target = work.filePath(QStringLiteral("game launcher"));
        elsewhere = work.filePath(QStringLiteral("shortcut folder"));
        QDir(target).removeRecursively();
        QDir(elsewhere).removeRecursively();
        QVERIFY(QDir().mkpath(target));
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(writeFile(target + QStringLiteral("/launcher"), "old launcher"));
        QVERIFY(writeFile(target + QStringLiteral("/keep.cfg"), "mine"));
        // A shortcut may start the launcher, and so the updater, in another folder.
        QVERIFY(QDir::setCurrent(elsewhere));
        server->clearFaults();
        server->resetCounters();
    }

    void windowProgress_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("bar");
        QTest::addColumn<QString>("label");
        QTest::newRow("half") << qint64(512) << qint64(1024) << 50 << "Downloading update... 50%";
        QTest::newRow("truncated") << qint64(1) << qint64(3) << 33 << "Downloading update... 33%";
        QTest::newRow("done") << qint64(3) << qint64(3) << 100 << "Downloading update... 100%";
        QTest::newRow("beyond 2 GiB")
            << qint64(3) * 1024 * 1024 * 1024 << qint64(4) * 1024 * 1024 * 1024 << 75
            << "Downloading update... 75%";
        QTest::newRow("size unknown") << qint64(100) << qint64(-1) << -1 << "Downloading update...";
        QTest::newRow("size zero") << qint64(0) << qint64(0) << -1 << "Downloading update...";
        QTest::newRow("more than announced")
            << qint64(2048) << qint64(1024) << 100 << "Downloading update... 100%";
    }

    void windowProgress()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        UpdaterWindow window;
        window.setProgress(received, total);
        QTEST(window.findChild<QProgressBar *>()->value(), "bar");
        QTEST(window.findChild<QLabel *>()->text(), "label");
    }

    void windowTexts()
    {
        UpdaterWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Launcher Update"));
        QCOMPARE(window.minimumSize(), QSize(300, 100));
        QCOMPARE(window.maximumSize(), QSize(300, 100));
        window.setProgress(1, 4);
        window.setError(QStringLiteral("Failed to open zip file"));
        QCOMPARE(window.findChild<QLabel *>()->text(),
                 QStringLiteral("Error: Failed to open zip file"));
        QCOMPARE(window.findChild<QProgressBar *>()->value(), 25);
        window.setStatus(QStringLiteral("Extracting files..."));
        QCOMPARE(window.findChild<QLabel *>()->text(), QStringLiteral("Extracting files..."));
    }

    void unpacksIntoLauncherFolder()
    {
        servePackage({{"launcher", "new launcher", executable},
                      {"updater", "new updater", executable},
                      {"platforms/libqxcb.so", "plugin"},
                      {"translations/", {}},
                      {"deep/er/still/file.txt", "deep"}});
        const Outcome outcome = runUpdate(packageUrl);
        QCOMPARE(outcome.errors, QStringList());
        QCOMPARE(outcome.statuses, (QStringList{"Downloading update...", "Extracting files...",
                                                "Update completed successfully!"}));
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(entriesBelow(target),
                 (QStringList{"deep", "deep/er", "deep/er/still", "deep/er/still/file.txt",
                              "keep.cfg", "launcher", "platforms", "platforms/libqxcb.so",
                              "translations", "updater"}));
        QCOMPARE(readFile(target + "/launcher"), QByteArray("new launcher"));
        QCOMPARE(readFile(target + "/keep.cfg"), QByteArray("mine"));
        QCOMPARE(readFile(target + "/deep/er/still/file.txt"), QByteArray("deep"));
        QVERIFY(QFileInfo(target + "/updater").isExecutable());
        QVERIFY(!QFileInfo(target + "/platforms/libqxcb.so").isExecutable());
        QCOMPARE(entriesBelow(elsewhere), QStringList());
        QCOMPARE(server->lastHeader("/launcher.zip", "User-Agent"),
                 QByteArray("Ashgrove PTR Launcher"));
        QCOMPARE(server->lastHeader("/launcher.zip", "Accept-Encoding"), QByteArray("identity"));
    }

    // A package with one bad entry, wherever it is, changes nothing: no file
    // is replaced, none is added, nothing lands outside, no hidden folder stays.
    void badPackageChangesNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("symlink");
        QTest::addColumn<bool>("corruptLast");
        QTest::newRow("parent") << "../escaped.txt" << false << false;
        QTest::newRow("parent inside") << "sub/../../escaped.txt" << false << false;
        QTest::newRow("absolute") << (work.path() + "/escaped.txt") << false << false;
        QTest::newRow("backslash parent") << "..\\escaped.txt" << false << false;
        QTest::newRow("drive") << "C:/escaped.txt" << false << false;
        QTest::newRow("link") << "link" << true << false;
        QTest::newRow("corrupt later entry") << "middle.txt" << false << true;
    }

    void badPackageChangesNothing()
    {
        QFETCH(QString, name);
        QFETCH(bool, symlink);
        QFETCH(bool, corruptLast);
        const QStringList before = entriesBelow(work.path());
        servePackage({{"launcher", "new launcher", executable},
                      {name, symlink ? work.path().toUtf8() : QByteArray("evil"),
                       QFile::ReadOwner | QFile::WriteOwner, symlink},
                      {"last.txt", "last"}});
        if (corruptLast) {
            // The last central-directory record's CRC no longer matches its data.
            QFile zip(served + QStringLiteral("/launcher.zip"));
            QVERIFY(zip.open(QIODevice::ReadWrite));
            QByteArray bytes = zip.readAll();
            const qsizetype record = bytes.lastIndexOf(QByteArray("PK\x01\x02", 4));
            QVERIFY(record > 0);
            bytes[record + 16] = char(bytes.at(record + 16) ^ 0xff);
            QVERIFY(zip.seek(0));
            QCOMPARE(zip.write(bytes), bytes.size());
        }
        const Outcome outcome = runUpdate(packageUrl);
        QCOMPARE(outcome.errors, QStringList{"Some files could not be updated"});
        QCOMPARE(outcome.statuses, (QStringList{"Downloading update...", "Extracting files..."}));
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(entriesBelow(work.path()), before);
        QCOMPARE(readFile(target + "/launcher"), QByteArray("old launcher"));
    }

    // An entry without Unix permissions keeps those of the file it replaces.
    void permissionsKeptWhenEntryHasNone()
    {
        QVERIFY(QFile::setPermissions(target + "/launcher", executable));
        servePackage({{"launcher", "new launcher", QFile::Permissions()},
                      {"fresh.txt", "fresh", QFile::Permissions()}});
        const Outcome outcome = runUpdate(packageUrl);
        QCOMPARE(outcome.errors, QStringList());
        QCOMPARE(readFile(target + "/launcher"), QByteArray("new launcher"));
        QVERIFY(QFileInfo(target + "/launcher").isExecutable());
        QVERIFY(QFileInfo(target + "/fresh.txt").isReadable());
        QVERIFY(!QFileInfo(target + "/fresh.txt").isExecutable());
    }

    void failures_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("stall");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("statuses");
        const QStringList downloading{"Downloading update..."};
        const QStringList extracting{"Downloading update...", "Extracting files..."};
        // Qt's own text for an HTTP status names the server's reason.
        QTest::newRow("not found") << 404 << QByteArray() << false << "Not Found" << downloading;
        QTest::newRow("server error")
            << 500 << QByteArray() << false << "Internal Server Error" << downloading;
        QTest::newRow("empty") << 0 << QByteArray("") << false << "Failed to open zip file"
                               << extracting;
        QTest::newRow("corrupt") << 0 << QByteArray("PK\x03\x04 this is not a zip archive") << false
                                 << "Failed to open zip file" << extracting;
        QTest::newRow("stalled") << 0 << QByteArray() << true
                                 << "The update server stopped responding." << downloading;
    }

    void failures()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, stall);
        QFETCH(QString, error);
        servePackage({{"launcher", "new launcher"}});
        TestHttpServer::Fault fault;
        fault.status = status;
        fault.body = body;
        fault.useBody = status == 0 && !stall;
        fault.stallAfterBytes = stall ? 10 : -1;
        server->setFault("/launcher.zip", fault);

        const Outcome outcome = runUpdate(packageUrl, stall ? 500 : 30000);
        QCOMPARE(outcome.errors.size(), 1);
        if (status)
            QVERIFY2(outcome.errors.first().contains(error), qPrintable(outcome.errors.first()));
        else
            QCOMPARE(outcome.errors.first(), error);
        QTEST(outcome.statuses, "statuses");
        QCOMPARE(outcome.finished, 1);
        QCOMPARE(readFile(target + "/launcher"), QByteArray("old launcher"));
    }

    void stopsOnlyTheLauncherInItsFolder()
    {
        servePackage({{"launcher", "new launcher", executable}});
        auto start = [](const QString &path) {
            auto process = std::make_unique<QProcess>();
            QFile::remove(path);
            QFile::copy(QStringLiteral(TEST_GAME_EXE), path);
            process->start(path, {QStringLiteral("--no-window")});
            return process;
        };
        QVERIFY(QDir().mkpath(work.filePath("other")));
        auto inTarget = start(target + "/launcher");
        auto other = start(work.filePath("other/launcher"));
        QVERIFY(inTarget->waitForStarted(busyMachinePatienceMs) &&
                other->waitForStarted(busyMachinePatienceMs));

        const Outcome outcome = runUpdate(packageUrl);
        QCOMPARE(outcome.errors, QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(inTarget->state(), QProcess::NotRunning, busyMachinePatienceMs);
        QCOMPARE(inTarget->exitStatus(), QProcess::CrashExit);
        QCOMPARE(other->state(), QProcess::Running);
        QCOMPARE(readFile(target + "/launcher"), QByteArray("new launcher"));
        other->kill();
        other->waitForFinished(10000);
    }
};

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
