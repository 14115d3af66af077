#include "programrun.h"
#include "testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

ProgramRun runLauncher(const QStringList &arguments)
{
    return runProgram(QStringLiteral(LAUNCHER_EXE), arguments, {}, 30000);
}

// Relative paths of every file below `root` (dot-files included), sorted.
QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestFileMover : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir work;
    QString source;
    QString dest;

    void makeSource(const QStringList &files)
    {
        for (const QString &file : files)
            QVERIFY(writeFile(source + QLatin1Char('/') + file, "new " + file.toUtf8()));
    }

private slots:
    void init()
    {
        QVERIFY(work.isValid());
        source = work.path() + QStringLiteral("/staging");
        dest = work.path() + QStringLiteral("/game");
        QDir(source).removeRecursively();
        QDir(dest).removeRecursively();
    }

    void moveOverwritesAndKeepsSkeleton()
    {
        makeSource({"a.txt", "bin/data.pak", "bin/deep/more.dat", ".initcomplete",
                    "bin/.hidden"});
        QVERIFY(writeFile(dest + QStringLiteral("/a.txt"), "old"));
        QVERIFY(writeFile(dest + QStringLiteral("/untouched.txt"), "stays"));

        const ProgramRun run = runLauncher({"--source", source, "--dest", dest});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.isEmpty()); // the mover prints nothing
        QCOMPARE(filesBelow(dest), (QStringList{".initcomplete", "a.txt", "bin/.hidden",
                                                "bin/data.pak", "bin/deep/more.dat",
                                                "untouched.txt"}));
        QCOMPARE(readFile(dest + QStringLiteral("/a.txt")), QByteArray("new a.txt"));
        QCOMPARE(readFile(dest + QStringLiteral("/untouched.txt")), QByteArray("stays"));
        QVERIFY(filesBelow(source).isEmpty());
        QVERIFY(QFileInfo(source + QStringLiteral("/bin/deep")).isDir());
    }

    void ignoreList_data()
    {
        QTest::addColumn<QString>("ignore");
        QTest::addColumn<QStringList>("keptInSource");
        QTest::newRow("exact entries") << "keep.txt,bin/skip.dat" << QStringList{"bin/skip.dat", "keep.txt"};
        QTest::newRow("case-sensitive") << "KEEP.TXT" << QStringList{};
        QTest::newRow("directory does not protect its files") << "bin" << QStringList{};
        QTest::newRow("backslash never matches") << "bin\\skip.dat" << QStringList{};
        QTest::newRow("empty parts match nothing") << ",," << QStringList{};
    }

    void ignoreList()
    {
        QFETCH(QString, ignore);
        QFETCH(QStringList, keptInSource);
        makeSource({"keep.txt", "bin/skip.dat", "bin/moved.dat"});
        QVERIFY(writeFile(dest + QStringLiteral("/keep.txt"), "installed"));

        QCOMPARE(runLauncher({"--source", source, "--dest", dest, "--ignore", ignore}).exitCode, 0);
        QCOMPARE(filesBelow(source), keptInSource);
        for (const QString &kept : keptInSource) {
            if (kept == QLatin1String("keep.txt"))
                QCOMPARE(readFile(dest + "/keep.txt"), QByteArray("installed"));
            else
                QVERIFY(!QFileInfo::exists(dest + QLatin1Char('/') + kept));
        }
        QVERIFY(QFileInfo::exists(dest + QStringLiteral("/bin/moved.dat")));
    }

    void quotesAreStripped()
    {
        makeSource({"a.txt"});
        const ProgramRun run = runLauncher({"--source", "\"" + source + "\"", "--dest", dest + "\"",
                                     "--ignore", ""});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(filesBelow(dest), QStringList{"a.txt"});
    }

    void unreplaceableTargetFailsButOthersMove()
    {
        makeSource({"a.txt", "blocked.txt", "z/last.txt"});
        // A non-empty folder where a file should go cannot be removed or replaced.
        QVERIFY(writeFile(dest + QStringLiteral("/blocked.txt/inside"), "x"));

        QCOMPARE(runLauncher({"--source", source, "--dest", dest}).exitCode, 1);
        QCOMPARE(filesBelow(source), QStringList{"blocked.txt"});
        QCOMPARE(filesBelow(dest), (QStringList{"a.txt", "blocked.txt/inside", "z/last.txt"}));
    }

    void deleteMode()
    {
        makeSource({"a.txt", ".initcomplete", "bin/data.pak", "bin/deep/more.dat", "empty/.keep"});
        QVERIFY(QDir().mkpath(source + QStringLiteral("/bare/inner")));

        QCOMPARE(runLauncher({"--source", source, "--dest", "", "--ignore", ""}).exitCode, 0);
        QVERIFY(!QFileInfo::exists(source));
    }

    void deleteModeRemovesLinksNotTargets()
    {
        const QString outside = work.path() + QStringLiteral("/outside");
        QVERIFY(writeFile(outside + QStringLiteral("/precious.txt"), "keep me"));
        makeSource({"a.txt"});
        QVERIFY(QFile::link(outside, source + QStringLiteral("/linked")));

        QCOMPARE(runLauncher({"--source", source, "--dest", ""}).exitCode, 0);
        QVERIFY(!QFileInfo::exists(source));
        QCOMPARE(readFile(outside + QStringLiteral("/precious.txt")), QByteArray("keep me"));
    }

    void missingSource_data()
    {
        QTest::addColumn<bool>("deleting");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("move") << false << 0;
        QTest::newRow("delete") << true << 1;
    }

    void missingSource()
    {
        QFETCH(bool, deleting);
        const QString target = deleting ? QString() : dest;
        QTEST(runLauncher({"--source", source, "--dest", target}).exitCode, "exitCode");
        if (!deleting)
            QVERIFY(QFileInfo(dest).isDir());
    }

    void standardOptions()
    {
        const ProgramRun version = runLauncher({"--version"});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.out.trimmed(), QStringLiteral("launcher 1.0.0.0"));

        const ProgramRun help = runLauncher({"--help"});
        QCOMPARE(help.exitCode, 0);
        for (const char *text : {"Ashgrove Launcher", "Source directory containing files to move",
                                 "Destination directory for files", "Files to ignore"})
            QVERIFY2(help.out.contains(QLatin1String(text)), text);

        QCOMPARE(runLauncher({"--bogus"}).exitCode, 1);
        QCOMPARE(runLauncher({"--source"}).exitCode, 1);
    }

    void incompleteMoverArgumentsStartTheWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("source only") << QStringList{"--source", "/nonexistent"};
        QTest::newRow("dest only") << QStringList{"--dest", ""};
        QTest::newRow("ignore only") << QStringList{"--ignore", "x"};
    }

    void incompleteMoverArgumentsStartTheWindow()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        process.start(QStringLiteral(LAUNCHER_EXE), arguments);
        QVERIFY(process.waitForStarted());
        // The mover would have exited at once; the window keeps running.
        QVERIFY(!process.waitForFinished(1500));
        process.kill();
        process.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestFileMover)
#include "tst_filemover.moc"
