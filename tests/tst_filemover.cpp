#include "programrun.h"
#include "testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <tuple>
#include <unistd.h>

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
        makeSource({"a.txt", "bin/data.pak", "bin/deep/more.dat", ".initcomplete", "bin/.hidden"});
        QVERIFY(writeFile(dest + QStringLiteral("/a.txt"), "old"));
        QVERIFY(writeFile(dest + QStringLiteral("/untouched.txt"), "stays"));

        const ProgramRun run = runLauncher({"--source", source, "--dest", dest});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.isEmpty()); // the mover prints nothing
        QCOMPARE(filesBelow(dest),
                 (QStringList{".initcomplete", "a.txt", "bin/.hidden", "bin/data.pak",
                              "bin/deep/more.dat", "untouched.txt"}));
        QCOMPARE(readFile(dest + QStringLiteral("/a.txt")), QByteArray("new a.txt"));
        QCOMPARE(readFile(dest + QStringLiteral("/untouched.txt")), QByteArray("stays"));
        QVERIFY(filesBelow(source).isEmpty());
        QVERIFY(QFileInfo(source + QStringLiteral("/bin/deep")).isDir());
    }

    void ignoreList_data()
    {
        QTest::addColumn<QString>("ignore");
        QTest::addColumn<QStringList>("keptInSource");
        QTest::newRow("exact entries")
            << "keep.txt,bin/skip.dat" << QStringList{"bin/skip.dat", "keep.txt"};
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

    // Quotes, dashes, spaces and non-ASCII are part of a folder's name: update
    // and uninstall work on exactly that folder, never on a look-alike beside it.
    void exactFolderNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("quotes") << "My \"Game\"";
        QTest::newRow("quote at the end") << "My Game\"";
        QTest::newRow("leading dashes") << "--dest";
        QTest::newRow("non-ASCII") << "Jogo – ação 游戏";
    }

    void exactFolderNames()
    {
        QFETCH(QString, name);
        const QString game = work.path() + QStringLiteral("/Games/") + name;
        const QString lookAlike = work.path() + QStringLiteral("/Games/My Game");
        QVERIFY(writeFile(lookAlike + QStringLiteral("/a.txt"), "look-alike"));
        makeSource({"a.txt", "bin/b.dat"});
        const QString list = work.path() + QStringLiteral("/list.txt");
        QVERIFY(writeFile(list, "a.txt\nbin/b.dat\n"));

        QCOMPARE(runLauncher({"--source", source, "--dest", game, "--ignore", ""}).exitCode, 0);
        QCOMPARE(filesBelow(game), (QStringList{"a.txt", "bin/b.dat"}));
        QCOMPARE(runLauncher({"--source", game, "--dest", "", "--list", list}).exitCode, 0);
        QVERIFY(!QFileInfo::exists(game));
        QCOMPARE(filesBelow(lookAlike), QStringList{"a.txt"});
        QVERIFY(QDir(work.path() + QStringLiteral("/Games")).removeRecursively());
    }

    // A folder in the game folder that links elsewhere is never written through.
    void linkInDestinationRefused()
    {
        const QString outside = work.path() + QStringLiteral("/outside");
        QVERIFY(writeFile(outside + QStringLiteral("/precious.txt"), "keep me"));
        makeSource({"a.txt", "bin/precious.txt"});
        QVERIFY(QDir().mkpath(dest));
        QVERIFY(QFile::link(outside, dest + QStringLiteral("/bin")));
        const QString list = work.path() + QStringLiteral("/list.txt");
        QVERIFY(writeFile(list, "a.txt\nbin/precious.txt\n"));

        for (const QStringList &listed : {QStringList(), QStringList{"--list", list}}) {
            const ProgramRun run =
                runLauncher(QStringList{"--source", source, "--dest", dest} + listed);
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains(QStringLiteral("is a link")), qPrintable(run.err));
            QCOMPARE(readFile(outside + QStringLiteral("/precious.txt")), QByteArray("keep me"));
            QCOMPARE(filesBelow(source), (QStringList{"a.txt", "bin/precious.txt"}));
        }
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

    // The game folder on another file system than the staging folder: a small
    // tmpfs mounted in this test's own mount namespace, which needs root.
    void acrossFileSystems_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("listed");   // as a relocation moves the game's own files
        QTest::addColumn<QString>("error"); // empty: the move succeeds
        QTest::newRow("update") << "size=4m" << false << "";
        QTest::newRow("relocation") << "size=4m" << true << "";
        QTest::newRow("disk too small") << "size=600k" << false << "needed";
        QTest::newRow("no room for another file") << "size=4m,nr_inodes=5" << false << "Cannot";
    }

    void acrossFileSystems()
    {
        QFETCH(QString, options);
        QFETCH(bool, listed);
        QFETCH(QString, error);
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        static const bool privateMounts =
            ::unshare(CLONE_NEWNS) == 0 &&
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        QVERIFY(privateMounts);
        const QByteArray disk = QFile::encodeName(work.path() + QStringLiteral("/disk"));
        QVERIFY(QDir().mkpath(QFile::decodeName(disk)));
        QVERIFY(::mount("tmpfs", disk.constData(), "tmpfs", 0, options.toLatin1().constData()) ==
                0);
        const auto unmount = qScopeGuard([&disk] { ::umount2(disk.constData(), MNT_DETACH); });
        dest = QFile::decodeName(disk) + QStringLiteral("/game");

        const QFile::Permissions program(QFlag(0x7755)), data(QFlag(0x6644)), secret(QFlag(0x6600));
        using Files = QList<std::tuple<QString, QByteArray, QFile::Permissions>>;
        const Files built{{"game", QByteArray(200 * 1024, 'n'), program},
                          {"data/level.pak", QByteArray(500 * 1024, 'n'), data},
                          {"private.cfg", "n", secret}};
        const Files installed{{"game", QByteArray(200 * 1024, 'o'), program},
                              {"data/level.pak", QByteArray(100 * 1024, 'o'), data}};
        for (const auto &[root, files] : {std::pair(source, built), std::pair(dest, installed)}) {
            for (const auto &[name, bytes, permissions] : files)
                QVERIFY(writeFile(root + QLatin1Char('/') + name, bytes) &&
                        QFile::setPermissions(root + QLatin1Char('/') + name, permissions));
        }
        const QString list = work.path() + QStringLiteral("/list.txt");
        QVERIFY(writeFile(list, "game\ndata/level.pak\nprivate.cfg\n"));

        const ProgramRun run = runLauncher(QStringList{"--source", source, "--dest", dest} +
                                           (listed ? QStringList{"--list", list} : QStringList()));
        QCOMPARE(run.exitCode, error.isEmpty() ? 0 : 1);
        QVERIFY2(run.err.contains(error), qPrintable(run.err));
        // Every file is either the old one or the whole new one, with its mode.
        for (const auto &[name, bytes, permissions] : error.isEmpty() ? built : installed) {
            QCOMPARE(readFile(dest + QLatin1Char('/') + name), bytes);
            QCOMPARE(QFile::permissions(dest + QLatin1Char('/') + name) & 0x7777, permissions);
        }
        QCOMPARE(filesBelow(source).size(), error.isEmpty() ? 0 : built.size());
        QCOMPARE(filesBelow(dest).size(), error.isEmpty() ? built.size() : installed.size());
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

    // With a list only the named entries move or go; emptied folders are removed.
    void listedEntries_data()
    {
        QTest::addColumn<bool>("deleting");
        QTest::addColumn<QStringList>("leftInSource");
        QTest::addColumn<QStringList>("inDest");
        QTest::newRow("move") << false << QStringList{"other/keep.txt", "photo.jpg"}
                              << QStringList{".initcomplete", "bin/data.pak", "old.txt"};
        QTest::newRow("delete") << true << QStringList{"other/keep.txt", "photo.jpg"}
                                << QStringList{"old.txt"};
    }

    void listedEntries()
    {
        QFETCH(bool, deleting);
        QFETCH(QStringList, leftInSource);
        QFETCH(QStringList, inDest);
        makeSource({".initcomplete", "bin/data.pak", "photo.jpg", "other/keep.txt"});
        QVERIFY(writeFile(dest + QStringLiteral("/old.txt"), "old"));
        const QString list = work.path() + QStringLiteral("/list.txt");
        QVERIFY(writeFile(list, ".initcomplete\nbin/data.pak\nnot/there.dat\n"));

        const QString target = deleting ? QString() : dest;
        QCOMPARE(runLauncher({"--source", source, "--dest", target, "--list", list}).exitCode, 0);
        QCOMPARE(filesBelow(source), leftInSource);
        QCOMPARE(filesBelow(dest), inDest);
        QVERIFY(!QFileInfo::exists(source + QStringLiteral("/bin")));

        // Once nothing else is left the folder itself goes too.
        QVERIFY(writeFile(list, "photo.jpg\nother/keep.txt\n"));
        QCOMPARE(runLauncher({"--source", source, "--dest", target, "--list", list}).exitCode, 0);
        QVERIFY(!QFileInfo::exists(source));
    }

    // One bad entry refuses the whole list before anything is touched.
    void refusedListEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("parent") << "../outside/precious.txt";
        QTest::newRow("parent inside") << "bin/../../outside/precious.txt";
        QTest::newRow("absolute") << "/etc/hostname";
        QTest::newRow("through a link") << "linked/precious.txt";
        QTest::newRow("dot segment") << "./a.txt";
        QTest::newRow("backslash") << "bin\\data.pak";
    }

    void refusedListEntries()
    {
        QFETCH(QString, entry);
        const QString outside = work.path() + QStringLiteral("/outside");
        QVERIFY(writeFile(outside + QStringLiteral("/precious.txt"), "keep me"));
        makeSource({"a.txt"});
        QFile::remove(source + QStringLiteral("/linked"));
        QVERIFY(QFile::link(outside, source + QStringLiteral("/linked")));
        const QString list = work.path() + QStringLiteral("/list.txt");
        QVERIFY(writeFile(list, "a.txt\n" + entry.toUtf8() + "\n"));

        for (const QString &target : {QString(), dest}) {
            QCOMPARE(runLauncher({"--source", source, "--dest", target, "--list", list}).exitCode,
                     1);
            QCOMPARE(filesBelow(source), QStringList{"a.txt"});
            QCOMPARE(readFile(outside + QStringLiteral("/precious.txt")), QByteArray("keep me"));
            QVERIFY(!QFileInfo::exists(dest));
        }
    }

    // A folder moved into itself or its own sub-folder would be emptied or nested.
    void overlappingFoldersRefused_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::newRow("same") << "staging"
                              << "staging";
        QTest::newRow("trailing separator") << "staging"
                                            << "staging/";
        QTest::newRow("dot segments") << "staging"
                                      << "game/../staging";
        QTest::newRow("through a link") << "staging"
                                        << "staging-link";
        QTest::newRow("destination inside") << "staging"
                                            << "staging/sub";
        QTest::newRow("source inside") << "staging/sub"
                                       << "staging";
        QTest::newRow("relative delete") << "staging"
                                         << "";
        QTest::newRow("relative destination") << "staging"
                                              << "@game";
    }

    void overlappingFoldersRefused()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        makeSource({"a.txt", "sub/b.txt"});
        QFile::remove(work.path() + QStringLiteral("/staging-link"));
        QVERIFY(QFile::link(source, work.path() + QStringLiteral("/staging-link")));
        // The relative row names its source relative to the working folder.
        const QString fromPath = to.isEmpty() ? from : work.path() + QLatin1Char('/') + from;
        QString toPath = to.isEmpty() ? QString() : work.path() + QLatin1Char('/') + to;
        if (to.startsWith(QLatin1Char('@')))
            toPath = to.mid(1);
        const ProgramRun run = runProgram(QStringLiteral(LAUNCHER_EXE),
                                          {"--source", fromPath, "--dest", toPath, "--ignore", ""},
                                          work.path(), 30000);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(filesBelow(source), (QStringList{"a.txt", "sub/b.txt"}));
        QVERIFY(!QFileInfo::exists(dest));
    }

    // pkexec drops DISPLAY: a command line for the mover, malformed or not, needs
    // none, and one that is malformed says why.
    void noDisplayNeeded_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("source without value") << QStringList{"--source"} << 1;
        QTest::newRow("list without value")
            << QStringList{"--source", "/x", "--dest", "", "--list"} << 1;
        QTest::newRow("unknown option") << QStringList{"--source", "/x", "--bogus"} << 1;
        QTest::newRow("source only") << QStringList{"--source", "/nonexistent"} << 1;
        QTest::newRow("dest only") << QStringList{"--dest", ""} << 1;
        QTest::newRow("ignore only") << QStringList{"--ignore", "x"} << 1;
        QTest::newRow("list only") << QStringList{"--list", "/x"} << 1;
        QTest::newRow("valid move")
            << QStringList{"--source", "/nonexistent-src", "--dest", ""} << 1;
        QTest::newRow("version") << QStringList{"--version"} << 0;
    }

    void noDisplayNeeded()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(LAUNCHER_EXE), arguments);
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
        QCOMPARE(process.readAllStandardError().trimmed().isEmpty(), exitCode == 0);
    }
};

QTEST_GUILESS_MAIN(TestFileMover)
#include "tst_filemover.moc"
