#include "testenvironment.h"
#include "testhttpserver.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <sys/resource.h>

#include <memory>

namespace {

constexpr qint64 entryBytes = qint64(1) << 30;
constexpr long peakLimitKiB = 100 * 1024;

// A stored (uncompressed) entry of incompressible bytes, written in pieces so
// the test itself stays small.
bool writeLargePackage(const QString &path)
{
    QuaZip zip(path);
    zip.setZip64Enabled(true);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QuaZipFile file(&zip);
    QuaZipNewInfo info(QStringLiteral("data/huge.pak"));
    info.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (!file.open(QIODevice::WriteOnly, info, nullptr, 0, 0, 0))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    quint64 state = 0x9E3779B97F4A7C15ull;
    for (qint64 written = 0; written < entryBytes; written += chunk.size()) {
        auto *words = reinterpret_cast<quint64 *>(chunk.data());
        for (qsizetype i = 0; i < chunk.size() / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        if (file.write(chunk) != chunk.size())
            return false;
    }
    file.close();
    zip.close();
    return file.getZipError() == 0 && zip.getZipError() == 0;
}

} // namespace

// The updater's peak memory does not follow the package's size: a 1 GiB entry
// streams through bounded buffers from the server to its place.
class TestUpdaterMemory : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;

private slots:
    void peakMemoryFlatInEntrySize()
    {
        QTemporaryDir work;
        QVERIFY(work.isValid());
        const QString served = work.filePath(QStringLiteral("served"));
        const QString target = work.filePath(QStringLiteral("launcher dir"));
        QVERIFY(QDir().mkpath(served));
        QVERIFY(QDir().mkpath(target));
        QVERIFY(writeFile(target + QStringLiteral("/launcher"), "old launcher"));
        QVERIFY(writeLargePackage(served + QStringLiteral("/launcher.zip")));
        TestHttpServer server(served);
        QVERIFY(server.start());

        QProcess updater;
        updater.setWorkingDirectory(work.path());
        updater.start(QStringLiteral(UPDATER_EXE),
                      {QStringLiteral("--path"), target + QStringLiteral("/launcher"),
                       QStringLiteral("--url"),
                       server.url(QStringLiteral("/launcher.zip")).toString()});
        QVERIFY(updater.waitForStarted(30000));
        // The test's own loop must run: the server lives in it.
        QTRY_COMPARE_WITH_TIMEOUT(updater.state(), QProcess::NotRunning, 280000);
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(QFileInfo(target + QStringLiteral("/data/huge.pak")).size(), entryBytes);

        rusage usage = {};
        QCOMPARE(getrusage(RUSAGE_CHILDREN, &usage), 0);
        qInfo("updater peak resident set: %ld KiB", usage.ru_maxrss);
        QVERIFY2(usage.ru_maxrss < peakLimitKiB,
                 qPrintable(QStringLiteral("peak %1 KiB").arg(usage.ru_maxrss)));
    }
};

QTEST_GUILESS_MAIN(TestUpdaterMemory)
#include "tst_updater_memory.moc"
