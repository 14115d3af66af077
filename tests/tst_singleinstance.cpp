#include "singleinstance.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// One launcher window per user and product.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir runtime;

    QString lockOwner() const
    {
        QFile lock(runtime.path() + QStringLiteral("/Duskmere_Games-Ashgrove_PTR.lock"));
        if (!lock.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(lock.readLine().trimmed());
    }

    bool startLauncher(QProcess &process)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(LAUNCHER_EXE), QStringList());
        return process.waitForStarted();
    }

private slots:
    void secondClaimRaisesTheFirst()
    {
        QTemporaryDir folder;
        SingleInstance first(folder.path(), QStringLiteral("Company-Product"));
        QVERIFY(first.claim());
        QSignalSpy raised(&first, &SingleInstance::raiseRequested);

        SingleInstance second(folder.path(), QStringLiteral("Company-Product"));
        QVERIFY(!second.claim());
        QTRY_COMPARE(raised.size(), 1);

        // Another product is another window.
        SingleInstance other(folder.path(), QStringLiteral("Company-Other"));
        QVERIFY(other.claim());
    }

    // The real launcher: a second start ends at once and leaves the first running;
    // a first one that was killed leaves a lock that the next start takes over.
    void secondLauncherStartLeavesOneWindow()
    {
        QVERIFY(runtime.isValid());
        QFile::setPermissions(runtime.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcess first;
        QVERIFY(startLauncher(first));
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), QString::number(first.processId()), 30000);

        QProcess second;
        QVERIFY(startLauncher(second));
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        first.kill();
        QVERIFY(first.waitForFinished());
        QProcess third;
        QVERIFY(startLauncher(third));
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), QString::number(third.processId()), 30000);
        QCOMPARE(third.state(), QProcess::Running);
        third.kill();
        third.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
