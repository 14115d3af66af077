#include "checksum.h"
#include "chunkindex.h"
#include "manifestcodec.h"
#include "programrun.h"
#include "testenvironment.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
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

ChunkIndex publishedIndex(const QString &out, const QByteArray &manifestBody)
{
    const Result<ChunkIndex> index =
        decodeChunkIndex(readFile(out + buildIndexPath(sha256Of(manifestBody))));
    return index ? index.value() : ChunkIndex{};
}

QSet<ChunkId> chunkIds(const ChunkIndex &index)
{
    QSet<ChunkId> ids;
    for (const IndexedChunk &chunk : index.chunks)
        ids.insert(chunk.id);
    return ids;
}

QSet<ChunkId> storedChunks(const QString &out)
{
    QSet<ChunkId> ids;
    QDirIterator it(out + QStringLiteral("/.chunkstore/chunks"), QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        ids.insert(QByteArray::fromHex(QFileInfo(it.next()).fileName().toLatin1()));
    return ids;
}

// Every file the index lists, put together from the stored chunks.
QMap<QString, QByteArray> assembled(const QString &out, const ChunkIndex &index)
{
    QMap<QString, QByteArray> files;
    for (const IndexedFile &file : index.files) {
        QByteArray &bytes = files[file.key];
        for (const ChunkRef &ref : file.chunks) {
            const IndexedChunk &chunk = index.chunks[ref.chunk];
            const QByteArray stored = readFile(out + chunkPath(chunk.id));
            if (stored.size() != chunk.storedSize)
                return {};
            bytes += unpackChunk(stored, chunk.size, chunk.id).value();
        }
    }
    return files;
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

        // The store's chunks make up every published file.
        const ChunkIndex index = publishedIndex(out, readFile(manifestPath));
        QCOMPARE(index.files.size(), contents.size() + 1);
        QMap<QString, QByteArray> expectedFiles = contents;
        expectedFiles.insert(QStringLiteral("/.initcomplete"), QByteArray());
        QCOMPARE(assembled(out, index), expectedFiles);
        QCOMPARE(storedChunks(out), chunkIds(index));

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
        QTest::newRow("link loop") << "loop"
                                   << "."
                                   << "loops back";
        QTest::newRow("broken link") << "gone"
                                     << "/nonexistent/file"
                                     << "broken link";
        QTest::newRow("same name in other case on Windows") << "GOOD.pak"
                                                            << ""
                                                            << "name the same file on Windows";
        QTest::newRow("manifest name") << "checksums.txt.gz"
                                       << ""
                                       << "in place of the manifest";
        QTest::newRow("chunk store's folder") << ".chunkstore/chunks/00/x"
                                              << ""
                                              << "chunk store";
        QTest::newRow("chunk store's folder, other case") << ".ChunkStore"
                                                          << ""
                                                          << "chunk store";
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

    void publishAgainAndPrune_data()
    {
        QTest::addColumn<QStringList>("arguments"); // of prune
        QTest::addColumn<int>("current");           // the build the manifest names at the end
        QTest::addColumn<QList<int>>("kept");
        QTest::newRow("default") << QStringList() << 3 << QList<int>{3, 2};
        QTest::newRow("keep 1") << QStringList{"--keep", "1"} << 3 << QList<int>{3};
        QTest::newRow("keep 3") << QStringList{"--keep", "3"} << 3 << QList<int>{3, 2, 1};
        QTest::newRow("manifest put back") << QStringList{"--keep", "1"} << 1 << QList<int>{1};
    }

    // Three builds into one folder: each publish stores only chunks the store
    // lacks, and prune keeps whatever a kept build needs, the current one first.
    void publishAgainAndPrune()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, current);
        QFETCH(QList<int>, kept);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("game"));
        const QString out = dir.filePath(QStringLiteral("out"));
        QByteArray archive = randomBytes(4 * 1024 * 1024);
        QMap<int, QByteArray> manifests;
        QMap<int, ChunkIndex> indexes;
        for (int build = 1; build <= 3; ++build) {
            if (build > 1)
                archive.insert(1000 * build, randomBytes(100)); // near the start
            QVERIFY(writeFile(source + QStringLiteral("/data.pak"), archive));
            QVERIFY(writeFile(source + QStringLiteral("/version.txt"), QByteArray::number(build)));
            const ProgramRun publish = patchtool({"publish", source, out});
            QVERIFY2(publish.exitCode == 0, qPrintable(publish.err));
            manifests[build] = readFile(out + QStringLiteral("/checksums.txt.gz"));
            indexes[build] = publishedIndex(out, manifests[build]);
            QCOMPARE(indexes[build].files.size(), 3);
            if (build > 1) {
                // The insertion and the rewritten small file: three new chunks at most.
                const QSet<ChunkId> fresh = chunkIds(indexes[build]) - chunkIds(indexes[build - 1]);
                QVERIFY2(fresh.size() <= 3, qPrintable(publish.out));
                QVERIFY2(publish.out.contains(QStringLiteral(" %1 new chunks").arg(fresh.size())),
                         qPrintable(publish.out));
            }
        }
        QCOMPARE(assembled(out, indexes[3]).value(QStringLiteral("/data.pak")), archive);
        QVERIFY(writeFile(out + QStringLiteral("/checksums.txt.gz"), manifests[current]));
        // A chunk a killed publish left half written.
        const QString part = out + chunkPath(sha256Of("x")) + QStringLiteral(".part");
        QVERIFY(writeFile(part, "x"));

        const ProgramRun prune = patchtool(QStringList{"prune"} + arguments + QStringList{out});
        QVERIFY2(prune.exitCode == 0, qPrintable(prune.err));
        QSet<ChunkId> needed;
        for (int build = 1; build <= 3; ++build) {
            const bool keep = kept.contains(build);
            QCOMPARE(QFileInfo::exists(out + buildIndexPath(sha256Of(manifests[build]))), keep);
            if (keep) {
                needed += chunkIds(indexes[build]);
                QVERIFY(!assembled(out, indexes[build]).isEmpty());
            }
        }
        QCOMPARE(storedChunks(out), needed);
        QVERIFY(!QFileInfo::exists(part));
    }

    void publishSameWhateverTheThreads_data()
    {
        QTest::addColumn<QString>("threads");
        QTest::addColumn<bool>("emptyChunk"); // left in the store by an earlier publish
        QTest::newRow("two threads") << "2" << false;
        QTest::newRow("more threads than files") << "7" << false;
        QTest::newRow("over an empty chunk") << "2" << true;
    }

    // Files larger than one read, the same chunks in two files at once: the
    // folder comes out as one thread writes it, the index's publish time aside.
    void publishSameWhateverTheThreads()
    {
        QFETCH(QString, threads);
        QFETCH(bool, emptyChunk);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("game"));
        const QByteArray big = randomBytes(9 * 1024 * 1024 + 5);
        QVERIFY(writeFile(source + QStringLiteral("/big.pak"), big));
        QVERIFY(writeFile(source + QStringLiteral("/copy/big.pak"), big));
        QVERIFY(writeFile(source + QStringLiteral("/text.txt"), QByteArray(300000, 'x')));
        QVERIFY(writeFile(source + QStringLiteral("/empty"), {}));
        const auto published = [&](const QString &out) {
            QMap<QString, QByteArray> tree = treeOf(out);
            for (auto it = tree.begin(); it != tree.end(); ++it) {
                if (const Result<ChunkIndex> decoded = decodeChunkIndex(it.value())) {
                    ChunkIndex index = decoded.value();
                    index.publishedAt = 0;
                    it.value() = encodeChunkIndex(index);
                }
            }
            return tree;
        };
        const QString one = dir.filePath(QStringLiteral("one"));
        QCOMPARE(patchtool({"publish", "--threads", "1", source, one}).exitCode, 0);
        // Cut where the launcher's own cutter cuts.
        const ChunkIndex index =
            publishedIndex(one, readFile(one + QStringLiteral("/checksums.txt.gz")));
        QCOMPARE(assembled(one, index).value(QStringLiteral("/big.pak")), big);
        QList<qint64> cuts;
        for (const ChunkRef &ref : index.files.value(1).chunks)
            cuts.append(ref.offset);
        QBuffer device;
        device.setData(big);
        QVERIFY(device.open(QIODevice::ReadOnly));
        ChunkStream stream(&device, index.limits);
        QList<qint64> expected;
        while (stream.next().value().size() > 0)
            expected.append(stream.offset());
        QCOMPARE(cuts, expected);
        const QString out = dir.filePath(QStringLiteral("out"));
        if (emptyChunk) {
            QCOMPARE(patchtool({"publish", source, out}).exitCode, 0);
            const ChunkIndex index =
                publishedIndex(out, readFile(out + QStringLiteral("/checksums.txt.gz")));
            QVERIFY(writeFile(out + chunkPath(index.chunks.last().id), {}));
        }
        const ProgramRun run = patchtool({"publish", "--threads", threads, source, out});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QCOMPARE(published(out), published(one));
    }

    void pruneRefuses_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("unreadable index") << "index" << 1 << "nothing was removed";
        QTest::newRow("chunks folder is a link") << "link" << 2 << "not a folder";
        QTest::newRow("no store") << "none" << 2 << "missing";
        QTest::newRow("chunks folder others can write") << "shared" << 2 << "other users";
    }

    // Nothing is removed when prune cannot tell what a build needs, or would
    // have to work through a link.
    void pruneRefuses()
    {
        QFETCH(QString, damage);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("game"));
        const QString out = dir.filePath(QStringLiteral("out"));
        QVERIFY(writeFile(source + QStringLiteral("/a.pak"), randomBytes(1000)));
        const QStringList options =
            damage == QLatin1String("none") ? QStringList{"--no-chunks"} : QStringList();
        QCOMPARE(patchtool(QStringList{"publish"} + options + QStringList{source, out}).exitCode,
                 0);
        const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(
            writeFile(elsewhere + QStringLiteral("/00/") + QString(64, QLatin1Char('0')), "keep"));
        if (damage == QLatin1String("index"))
            QVERIFY(writeFile(out + QStringLiteral("/.chunkstore/builds/old.index"), "garbage"));
        if (damage == QLatin1String("link")) {
            QVERIFY(QDir(out + QStringLiteral("/.chunkstore/chunks")).removeRecursively());
            QVERIFY(QFile::link(elsewhere, out + QStringLiteral("/.chunkstore/chunks")));
            QCOMPARE(patchtool({"publish", source, out}).exitCode, 1);
        }
        if (damage == QLatin1String("shared"))
            QVERIFY(QFile::setPermissions(out + QStringLiteral("/.chunkstore/chunks/00"),
                                          QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::WriteOther |
                                              QFileDevice::ExeOther));
        const QSet<ChunkId> before = storedChunks(out);
        const ProgramRun prune = patchtool({"prune", "--keep", "1", out});
        QTEST(prune.exitCode, "exitCode");
        QFETCH(QString, message);
        QVERIFY2(prune.err.contains(message), qPrintable(prune.err));
        QCOMPARE(storedChunks(out), before);
        QVERIFY(
            QFileInfo::exists(elsewhere + QStringLiteral("/00/") + QString(64, QLatin1Char('0'))));
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
        QTest::newRow("no thread") << QStringList({"publish", "--threads", "0", "@game", "@x"});
        QTest::newRow("too many threads")
            << QStringList({"publish", "--threads", "100000", "@game", "@x"});
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
