#include "installfolderpolicy.h"
#include "testenvironment.h"
#include "weblink.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(FolderVerdict)

class TestUiFolderPolicy : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir root;
    InstallFolderContext context;

    QString at(const QString &relative) const { return root.filePath(relative); }

private slots:
    void initTestCase()
    {
        for (const char *folder :
             {"home/Documents", "home/Downloads", "home/Desktop", "apps/launcher",
              "tmp/Duskmere Games/Ashgrove PTR", "roaming/Ashgrove/ashgrove_ptr",
              "games/current/data", "games/other"})
            QVERIFY(QDir().mkpath(at(QLatin1String(folder))));
        QVERIFY(writeFile(at(QStringLiteral("games/current/.initcomplete")), {}));
        QVERIFY(writeFile(at(QStringLiteral("games/a-file")), "x"));
        QVERIFY(QFile::link(at(QStringLiteral("games/current")), at(QStringLiteral("games/link"))));
        QVERIFY(
            QFile::link(at(QStringLiteral("apps/launcher")), at(QStringLiteral("launcherlink"))));

        context.currentInstall = at(QStringLiteral("games/current"));
        context.launcherFolder = at(QStringLiteral("apps/launcher"));
        context.legacyFolder = at(QStringLiteral("roaming/Ashgrove/ashgrove_ptr"));
        context.stagingFolder = at(QStringLiteral("tmp/Duskmere Games/Ashgrove PTR"));
        context.temporaryFolders << at(QStringLiteral("tmp"));
        context.userFolders << at(QStringLiteral("home")) << at(QStringLiteral("home/Documents"))
                            << at(QStringLiteral("home/Downloads"))
                            << at(QStringLiteral("home/Desktop"));
    }

    void verdicts_data()
    {
        QTest::addColumn<QString>("candidate"); // below the test folder; "/" is the real root
        QTest::addColumn<FolderVerdict>("verdict");
        const auto row = [](const char *name, const char *candidate, FolderVerdict verdict) {
            QTest::newRow(name) << QString::fromUtf8(candidate) << verdict;
        };
        row("new folder beside the game", "games/new", FolderVerdict::Acceptable);
        row("existing sibling", "games/other", FolderVerdict::Acceptable);
        row("inside a user folder is fine", "home/Documents/Games/Ashgrove",
            FolderVerdict::Acceptable);
        row("the current folder", "games/current", FolderVerdict::Unchanged);
        row("current, written with a trailing slash", "games/current/", FolderVerdict::Unchanged);
        row("current, written with dots", "games/./other/../current", FolderVerdict::Unchanged);
        row("current, reached through a link", "games/link", FolderVerdict::Unchanged);
        row("file system root", "/", FolderVerdict::DriveRoot);
        row("a file", "games/a-file", FolderVerdict::NotAFolder);
        row("launcher folder", "apps/launcher", FolderVerdict::LauncherFolder);
        row("launcher folder with a trailing slash", "apps/launcher//",
            FolderVerdict::LauncherFolder);
        row("launcher folder through a link", "launcherlink", FolderVerdict::LauncherFolder);
        row("above the launcher", "apps", FolderVerdict::AboveLauncher);
        row("home", "home", FolderVerdict::UserFolder);
        row("documents", "home/Documents", FolderVerdict::UserFolder);
        row("downloads", "home/Downloads/", FolderVerdict::UserFolder);
        row("desktop", "home/Desktop", FolderVerdict::UserFolder);
        row("temporary folder", "tmp", FolderVerdict::TemporaryFolder);
        row("staging folder", "tmp/Duskmere Games/Ashgrove PTR", FolderVerdict::TemporaryFolder);
        row("inside staging", "tmp/Duskmere Games/Ashgrove PTR/x", FolderVerdict::TemporaryFolder);
        row("above staging", "tmp/Duskmere Games", FolderVerdict::TemporaryFolder);
        row("legacy folder", "roaming/Ashgrove/ashgrove_ptr", FolderVerdict::LegacyFolder);
        row("inside legacy", "roaming/Ashgrove/ashgrove_ptr/game", FolderVerdict::LegacyFolder);
        row("above legacy", "roaming/Ashgrove", FolderVerdict::LegacyFolder);
        row("inside the install", "games/current/data", FolderVerdict::InsideOrAboveInstall);
        row("inside the install through a link", "games/link/new",
            FolderVerdict::InsideOrAboveInstall);
        row("above the install", "games", FolderVerdict::InsideOrAboveInstall);
    }

    void verdicts()
    {
        QFETCH(QString, candidate);
        QFETCH(FolderVerdict, verdict);
        const QString path = candidate == QLatin1String("/") ? candidate : at(candidate);
        QCOMPARE(judgeInstallFolder(path, context), verdict);
        QCOMPARE(judgeInstallFolder(QDir::toNativeSeparators(path), context), verdict);
    }

    void missingInstallFolderAllowsItsParent()
    {
        InstallFolderContext fresh = context;
        fresh.currentInstall = at(QStringLiteral("games/not-yet"));
        QCOMPARE(judgeInstallFolder(at(QStringLiteral("games")), fresh), FolderVerdict::Acceptable);
    }

    void foreignFiles()
    {
        QVERIFY(!holdsForeignFiles(at(QStringLiteral("games/current")))); // an installation
        QVERIFY(!holdsForeignFiles(at(QStringLiteral("games/other"))));   // empty
        QVERIFY(!holdsForeignFiles(at(QStringLiteral("games/missing"))));
        QVERIFY(writeFile(at(QStringLiteral("games/other/.hidden")), "x"));
        QVERIFY(holdsForeignFiles(at(QStringLiteral("games/other"))));
    }

    void nearestExisting_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected"); // relative to the test folder; "-" for none
        QTest::newRow("existing") << at(QStringLiteral("games")) << "games";
        QTest::newRow("two levels missing") << at(QStringLiteral("games/x/y")) << "games";
        QTest::newRow("drive that does not exist") << QStringLiteral("Q:\\Games\\Ashgrove") << "-";
        QTest::newRow("empty") << QString() << "-";
    }

    void nearestExisting()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(nearestExistingFolder(path),
                 expected == QLatin1String("-") ? QString() : at(expected));
    }

    void webLinks_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https") << "https://www.ashgrove.example/news/1" << true;
        QTest::newRow("http with port") << "http://127.0.0.1:8080/x" << true;
        QTest::newRow("upper-case scheme") << "HTTPS://www.ashgrove.example/" << true;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("UNC path") << "\\\\server\\share\\setup.exe" << false;
        QTest::newRow("scheme-relative share") << "//server/share" << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false;
        QTest::newRow("ftp") << "ftp://files.example/a" << false;
        QTest::newRow("http without host") << "http:///etc/passwd" << false;
        QTest::newRow("relative") << "news/1" << false;
        QTest::newRow("empty") << "" << false;
    }

    void webLinks()
    {
        QFETCH(QString, address);
        QFETCH(bool, opens);
        QCOMPARE(isWebLink(address), opens);
    }
};

QTEST_GUILESS_MAIN(TestUiFolderPolicy)
#include "tst_ui_folderpolicy.moc"
