#include "checksum.h"
#include "manifestcodec.h"
#include "programrun.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

ProgramRun patchtool(const QStringList &arguments)
{
    return runProgram(QStringLiteral(PATCHTOOL_EXE), arguments);
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->generate());
    return bytes;
}

QJsonObject entry(const QString &checksum, qint64 size)
{
    return QJsonObject{{QStringLiteral("checksum"), checksum}, {QStringLiteral("size"), size}};
}

} // namespace

class TestPatchtool : public QObject
{
    Q_OBJECT

    TestEnvironment environment;
    QTemporaryDir work;
    QString game;
    QMap<QString, QByteArray> contents; // key -> bytes

private slots:
    void initTestCase()
    {
        game = work.filePath(QStringLiteral("game"));
        contents = {{"/game.exe", randomBytes(3 * 1024 * 1024 + 17)},
                    {"/bin/data 1.pak", "pak"},
                    {"/.hidden/.settings", "dot"},
                    {"/música/ñ.ogg", "ogg"},
                    {"/empty", ""}};
        for (auto it = contents.cbegin(); it != contents.cend(); ++it)
            QVERIFY(writeFile(game + it.key(), it.value()));
        QVERIFY(QDir(game).mkpath(QStringLiteral("empty folder")));
    }

    void publishThenVerify()
    {
        const QString out = work.filePath(QStringLiteral("out"));
        const ProgramRun publish = patchtool({"publish", game, out});
        QVERIFY2(publish.exitCode == 0, qPrintable(publish.err));

        const DecodedManifest manifest =
            decodeManifest(readFile(out + QStringLiteral("/checksums.txt.gz")));
        QVERIFY2(manifest.ok(), qPrintable(manifest.detail));
        QJsonObject expected{{"/.initcomplete", entry("00000000", 0)}};
        for (auto it = contents.cbegin(); it != contents.cend(); ++it) {
            expected.insert(it.key(), entry(fileChecksum(game + it.key()), it.value().size()));
            QCOMPARE(readFile(out + it.key()), it.value());
        }
        QCOMPARE(manifest.files, expected);
        QVERIFY(QFileInfo(out + QStringLiteral("/.initcomplete")).isFile());
        QCOMPARE(QFileInfo(out + QStringLiteral("/.initcomplete")).size(), 0);

        // The published folder is exactly what an installed copy holds.
        const QString manifestPath = out + QStringLiteral("/checksums.txt.gz");
        QCOMPARE(patchtool({"verify", manifestPath, out}).exitCode, 0);
        // The source folder lacks only the installation marker.
        const ProgramRun source = patchtool({"verify", manifestPath, game});
        QCOMPARE(source.exitCode, 1);
        QCOMPARE(source.out, QStringLiteral("missing /.initcomplete\n"));

        QVERIFY(writeFile(out + QStringLiteral("/bin/data 1.pak"), "PAK"));
        QVERIFY(QFile::remove(out + QStringLiteral("/música/ñ.ogg")));
        QVERIFY(QFile::remove(out + QStringLiteral("/empty")));
        QVERIFY(QDir(out).mkdir(QStringLiteral("empty"))); // a folder in place of a file
        const ProgramRun changed = patchtool({"verify", manifestPath, out});
        QCOMPARE(changed.exitCode, 1);
        QCOMPARE(changed.out, QStringLiteral("differs /bin/data 1.pak\n"
                                             "differs /empty\n"
                                             "missing /música/ñ.ogg\n"));

        // Only the manifest when asked; the copies of the earlier run stay untouched.
        const QString second = work.filePath(QStringLiteral("manifest-only"));
        QCOMPARE(patchtool({"publish", "--manifest-only", game, second}).exitCode, 0);
        QCOMPARE(QDir(second).entryList(QDir::Files | QDir::Hidden),
                 QStringList({".initcomplete", "checksums.txt.gz"}));
        QCOMPARE(readFile(second + QStringLiteral("/checksums.txt.gz")), readFile(manifestPath));
    }

    void verifyBadInput_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<bool>("gameExists");
        const QByteArray good = encodeManifest({{"/a", entry("00000000", 0)}});
        QTest::newRow("not framed") << QByteArray("{\"files\":{}}") << true;
        QTest::newRow("gzip bytes") << QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8) << true;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("no files") << qCompress("{\"binary\":{}}") << true;
        QTest::newRow("hostile key")
            << encodeManifest({{"/../../etc/passwd", entry("00000000", 0)}}) << true;
        QTest::newRow("no game folder") << good << false;
    }

    void verifyBadInput()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(bool, gameExists);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("checksums.txt.gz"));
        QVERIFY(writeFile(path, manifest));
        const ProgramRun run = patchtool(
            {"verify", path, gameExists ? game : dir.filePath(QStringLiteral("nothing"))});
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY(run.err.contains(QStringLiteral("patchtool verify:")));
    }

    void publishRefuses_data()
    {
        QTest::addColumn<QString>("name");   // file to add to a copy of the game
        QTest::addColumn<QString>("linkTo"); // make it a link to this path instead
        QTest::addColumn<QString>("message");

        QTest::newRow("backslash") << "evil\\..\\x.dll"
                                   << ""
                                   << "cannot be published safely";
        QTest::newRow("colon") << "data.pak:stream"
                               << ""
                               << "cannot be published safely";
        QTest::newRow("control character") << "a\x01.pak"
                                           << ""
                                           << "/a?.pak";
        QTest::newRow("link outside") << "passwd"
                                      << "/etc/passwd"
                                      << "leads outside";
        QTest::newRow("folder link outside") << "etc"
                                             << "/etc"
                                             << "leads outside";
        QTest::newRow("link loop") << "loop" << "." << "loops back";
        QTest::newRow("broken link") << "gone"
                                     << "/nonexistent/file"
                                     << "broken link";
        QTest::newRow("same name in other case on Windows") << "GOOD.pak"
                                                            << ""
                                                            << "name the same file on Windows";
        QTest::newRow("manifest name") << "checksums.txt.gz"
                                       << ""
                                       << "in place of the manifest";
    }

    void publishRefuses()
    {
        QFETCH(QString, name);
        QFETCH(QString, linkTo);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("game"));
        QVERIFY(writeFile(source + QStringLiteral("/good.pak"), "good"));
        if (linkTo.isEmpty())
            QVERIFY(writeFile(source + QLatin1Char('/') + name, "x"));
        else
            QVERIFY(QFile::link(linkTo, source + QLatin1Char('/') + name));

        const QString out = dir.filePath(QStringLiteral("out"));
        QVERIFY(writeFile(out + QStringLiteral("/checksums.txt.gz"), "stale"));
        const ProgramRun run = patchtool({"publish", source, out});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(QStringLiteral("refused")), qPrintable(run.err));
        QFETCH(QString, message);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(!QFileInfo::exists(out + QStringLiteral("/checksums.txt.gz")));
        QVERIFY(!QFileInfo::exists(out + QStringLiteral("/good.pak")));
    }

    void publishKeepsInternalLinks()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("game"));
        QVERIFY(writeFile(source + QStringLiteral("/real/file.pak"), "real"));
        QVERIFY(QFile::link(source + QStringLiteral("/real/file.pak"),
                            source + QStringLiteral("/alias.pak")));
        const QString out = dir.filePath(QStringLiteral("out"));
        QCOMPARE(patchtool({"publish", source, out}).exitCode, 0);
        QCOMPARE(readFile(out + QStringLiteral("/alias.pak")), QByteArray("real"));
        QVERIFY(!QFileInfo(out + QStringLiteral("/alias.pak")).isSymLink());
    }

    void publishBadArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("unknown command") << QStringList({"unpublish", "a", "b"});
        QTest::newRow("one folder") << QStringList({"publish", "a"});
        QTest::newRow("missing game") << QStringList({"publish", "/nonexistent/game", "out"});
        QTest::newRow("out inside game") << QStringList({"publish", "@game", "@game/out"});
        QTest::newRow("game inside out") << QStringList({"publish", "@game", "@"});
        QTest::newRow("verify one argument") << QStringList({"verify", "x"});
    }

    void publishBadArguments()
    {
        QFETCH(QStringList, arguments);
        for (QString &argument : arguments)
            argument.replace(QLatin1Char('@'), work.path() + QLatin1Char('/'));
        const ProgramRun run = patchtool(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(!run.err.isEmpty());
        QVERIFY(!QFileInfo::exists(game + QStringLiteral("/out")));
    }
};

QTEST_GUILESS_MAIN(TestPatchtool)
#include "tst_patchtool.moc"
