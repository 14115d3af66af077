#include "singleinstance.h"
#include "testenvironment.h"

#include <QDir>
#include <QDirIterator>
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

    QString lockOwner() const
    {
        QDirIterator it(environment.home(), {QStringLiteral("Duskmere_Games-Ashgrove_PTR.lock")},
                        QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        QFile lock(it.hasNext() ? it.next() : QString());
        if (!lock.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(lock.readLine().trimmed());
    }

    // `runtimeFolder` empty: started where XDG_RUNTIME_DIR is not set at all.
    bool startLauncher(QProcess &process, const QString &runtimeFolder)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        if (!runtimeFolder.isEmpty())
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder);
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

    // The real launcher: a second start ends at once and leaves the first running,
    // whatever runtime folder its session names; a first one that was killed
    // leaves a lock that the next start takes over.
    void secondLauncherStartLeavesOneWindow_data()
    {
        QTest::addColumn<QString>("secondRuntime");
        QTest::newRow("same runtime folder") << "first";
        QTest::newRow("another runtime folder") << "second";
        QTest::newRow("no runtime folder") << "";
    }

    void secondLauncherStartLeavesOneWindow()
    {
        QFETCH(QString, secondRuntime);
        QTemporaryDir first, second;
        for (const QTemporaryDir *runtime : {&first, &second})
            QFile::setPermissions(runtime->path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString secondFolder = secondRuntime.isEmpty()                   ? QString()
                                     : secondRuntime == QLatin1String("first") ? first.path()
                                                                               : second.path();
        QProcess running;
        QVERIFY(startLauncher(running, first.path()));
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), QString::number(running.processId()), 30000);

        QProcess again;
        QVERIFY(startLauncher(again, secondFolder));
        QVERIFY(again.waitForFinished(30000));
        QCOMPARE(again.exitStatus(), QProcess::NormalExit);
        QCOMPARE(again.exitCode(), 0);
        QCOMPARE(running.state(), QProcess::Running);

        running.kill();
        QVERIFY(running.waitForFinished());
        QProcess third;
        QVERIFY(startLauncher(third, secondFolder));
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), QString::number(third.processId()), 30000);
        QCOMPARE(third.state(), QProcess::Running);
        third.kill();
        third.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
