#include "checksum.h"
#include "installrecordstore.h"
#include "ownedfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A body with a correct trailer: damage the checksum cannot catch.
QByteArray sealed(QByteArray body)
{
    char crc[4];
    qToLittleEndian(crc32Update(0, body.constData(), body.size()), crc);
    return body.append(crc, 4);
}

} // namespace

class TestInstallRecord : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    QString game;
    QString storeFolder;

    InstallRecord sample(const QString &folder) const
    {
        InstallRecord record(folder, QStringLiteral("0badf00d"));
        record.recordFile(QStringLiteral("/a.bin"), 0x11111111);
        record.recordFile(QStringLiteral("/sub/b.bin"), 0x22222222);
        return record;
    }

    // Records the game's files with their real checksums.
    InstallRecord recordOf(const QStringList &keys) const
    {
        InstallRecord record(game, QString());
        for (const QString &key : keys)
            record.recordFile(key, *parseCrc32Hex(fileChecksum(game + key)));
        return record;
    }

private slots:
    void init()
    {
        QVERIFY(temp.isValid());
        game = QDir(temp.path()).canonicalPath() + QStringLiteral("/game");
        storeFolder = temp.path() + QStringLiteral("/records");
        writeFile(game + QStringLiteral("/a.bin"), "alpha");
        writeFile(game + QStringLiteral("/sub/b.bin"), "beta");
    }

    void cleanup() { QDir(temp.path()).removeRecursively(); }

    void roundTrip()
    {
        const InstallRecordStore store(storeFolder);
        QVERIFY(store.load(game).isEmpty());
        const InstallRecord record = sample(game);
        QCOMPARE(record.files().size(), 2);
        QVERIFY(store.save(record));
        QVERIFY(store.save(record)); // over the first
        // Reached through another spelling of the same folder.
        const InstallRecord loaded = store.load(game + QStringLiteral("/sub/.."));
        QCOMPARE(loaded.installFolder(), game);
        QCOMPARE(loaded.build(), record.build());
        QCOMPARE(loaded.files(), record.files());
        QCOMPARE(QDir(storeFolder).entryList(QDir::Files | QDir::Hidden).size(), 1);
        QVERIFY(store.remove(game));
        QVERIFY(store.load(game).isEmpty());
    }

    // Whatever lies where the record should be, it is at worst no record.
    void unusable_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = sample(game).serialize();
        const QByteArray body = good.chopped(4);
        // Magic, version, the folder and the build as length and text, then the count.
        const qsizetype countAt = 8 + 4 + 4 + game.toUtf8().size() + 4 + 8;
        const auto patched = [&body](qsizetype at, quint32 value) {
            QByteArray bytes = body;
            qToLittleEndian(value, bytes.data() + at);
            return sealed(bytes);
        };
        const auto withKey = [this](const QString &key) {
            InstallRecord record(game, QString());
            record.insert(key, {});
            return record.serialize();
        };
        QByteArray flipped = good;
        flipped[good.size() / 2] = char(flipped[good.size() / 2] ^ 0x40);

        QTest::newRow("empty") << QByteArray();
        QTest::newRow("other magic") << QByteArray("X") + good.mid(1);
        QTest::newRow("byte flipped") << flipped;
        QTest::newRow("cut short") << good.chopped(1);
        QTest::newRow("bytes after it") << good + 'x';
        QTest::newRow("newer version") << patched(8, 2);
        QTest::newRow("count beyond the bytes") << patched(countAt, 0xffffffffu);
        QTest::newRow("count short of the bytes") << patched(countAt, 1);
        QTest::newRow("key leading outside") << withKey(QStringLiteral("/../escape"));
        QTest::newRow("key not normalised") << withKey(QStringLiteral("sub//b.bin"));
        QTest::newRow("key naming no file") << withKey(QStringLiteral("/"));
        QTest::newRow("another folder") << sample(temp.path()).serialize();
        QTest::newRow("noise") << QByteArray(100000, '\xa5');
    }

    void unusable()
    {
        QFETCH(QByteArray, bytes);
        const InstallRecordStore store(storeFolder);
        QVERIFY(store.save(sample(game)));
        const QStringList files = QDir(storeFolder).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        writeFile(storeFolder + QLatin1Char('/') + files.first(), bytes);
        QVERIFY(store.load(game).isEmpty());
    }

    // Only what the launcher installed, as it left it, is its own to remove or move.
    void owned_data()
    {
        QTest::addColumn<bool>("withRecord");
        QTest::addColumn<QString>("rewrite"); // rewritten with other bytes of the same size
        QTest::addColumn<QString>("touch");   // same bytes, other time
        QTest::addColumn<QStringList>("owned");
        QTest::addColumn<QStringList>("changed");
        const QStringList both{"/a.bin", "/sub/b.bin"};
        QTest::newRow("record") << true << ""
                                << "" << both << QStringList();
        QTest::newRow("record, touched") << true << ""
                                         << "/a.bin" << both << QStringList();
        QTest::newRow("record, rewritten")
            << true << "/a.bin"
            << "" << QStringList{"/sub/b.bin"} << QStringList{"/a.bin"};
        // The manifest also lists the player's save, with other content.
        QTest::newRow("no record") << false << ""
                                   << "" << both << QStringList{"/mine.sav"};
        QTest::newRow("no record, rewritten")
            << false << "/sub/b.bin"
            << "" << QStringList{"/a.bin"} << QStringList{"/mine.sav", "/sub/b.bin"};
    }

    void owned()
    {
        QFETCH(bool, withRecord);
        QFETCH(QString, rewrite);
        QFETCH(QString, touch);
        writeFile(game + QStringLiteral("/mine.sav"), "player");
        const QJsonObject manifest{
            {"/a.bin", QJsonObject{{"checksum", fileChecksum(game + "/a.bin")}, {"size", 5}}},
            {"/sub/b.bin",
             QJsonObject{{"checksum", fileChecksum(game + "/sub/b.bin")}, {"size", 4}}},
            {"/mine.sav", QJsonObject{{"checksum", "00000000"}, {"size", 6}}}};
        const InstallRecord record =
            withRecord ? recordOf({"/a.bin", "/sub/b.bin"}) : InstallRecord();
        if (!rewrite.isEmpty())
            writeFile(game + rewrite, QByteArray(QFileInfo(game + rewrite).size(), 'z'));
        if (!touch.isEmpty()) {
            QFile file(game + touch);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                     QFileDevice::FileModificationTime));
        }
        OwnedFiles owned = ownedFiles(record, manifest, game);
        owned.keys.sort();
        owned.changed.sort();
        QTEST(owned.keys, "owned");
        QTEST(owned.changed, "changed");
    }

    // A file where a folder must go, or a folder where a file must go.
    void inTheWay_data()
    {
        QTest::addColumn<QStringList>("recorded");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QString>("refused"); // the entry named when it is the player's

        QTest::newRow("nothing") << QStringList{"/a.bin"} << QStringList{"/a.bin", "/c/d"}
                                 << QStringList() << "";
        QTest::newRow("file becomes folder")
            << QStringList{"/a.bin"} << QStringList{"/a.bin/x"} << QStringList{"a.bin"} << "";
        QTest::newRow("folder becomes file")
            << QStringList{"/sub/b.bin"} << QStringList{"/sub"} << QStringList{"sub/b.bin"} << "";
        QTest::newRow("player's file in the way")
            << QStringList() << QStringList{"/a.bin/x"} << QStringList() << "a.bin";
        QTest::newRow("player's file in the folder")
            << QStringList() << QStringList{"/sub"} << QStringList() << "b.bin";
    }

    void inTheWay()
    {
        QFETCH(QStringList, recorded);
        QFETCH(QStringList, keys);
        QFETCH(QString, refused);
        const Result<QStringList> found = entriesInTheWay(keys, recordOf(recorded), game);
        QCOMPARE(found.ok(), refused.isEmpty());
        if (found)
            QTEST(*found, "removed");
        else
            QVERIFY2(found.message().contains(refused), qPrintable(found.message()));
    }

    // What the quick check trusts: size, time and identity as recorded.
    void unchanged_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("unchanged");
        QTest::newRow("none") << "none" << true;
        QTest::newRow("time") << "time" << false;
        QTest::newRow("size") << "size" << false;
        QTest::newRow("another file in its place, same size and time") << "replaced" << false;
        QTest::newRow("link to it in its place") << "link" << false;
        QTest::newRow("gone") << "gone" << false;
    }

    void unchanged()
    {
        QFETCH(QString, change);
        const QString path = game + QStringLiteral("/a.bin");
        const QDateTime time = QFileInfo(path).lastModified();
        const InstallRecord record = sample(game);
        QFile file(path);
        if (change == QLatin1String("time")) {
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(time.addSecs(-60), QFileDevice::FileModificationTime));
        } else if (change == QLatin1String("size")) {
            QVERIFY(file.open(QIODevice::Append));
            QCOMPARE(file.write("!"), 1);
        } else if (change == QLatin1String("replaced") || change == QLatin1String("link")) {
            const QString other = game + QStringLiteral("/other");
            writeFile(other, "ALPHA");
            QFile moved(other);
            QVERIFY(moved.open(QIODevice::ReadWrite));
            QVERIFY(moved.setFileTime(time, QFileDevice::FileModificationTime));
            moved.close();
            QVERIFY(QFile::remove(path));
            QVERIFY(change == QLatin1String("link") ? QFile::link(other, path)
                                                    : QFile::rename(other, path));
        } else if (change == QLatin1String("gone")) {
            QVERIFY(QFile::remove(path));
        }
        file.close();
        const std::optional<platform::FileStat> now = platform::regularFileStat(path);
        QTEST(now && record.isUnchanged(QStringLiteral("/a.bin"), *now), "unchanged");
    }
};

QTEST_GUILESS_MAIN(TestInstallRecord)
#include "tst_installrecord.moc"
