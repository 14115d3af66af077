#include "checksum.h"

#include <QDir>
#include <QFile>
#include <QFutureSynchronizer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <zlib.h>

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    for (qsizetype i = size / 4 * 4; i < size; ++i)
        bytes[i] = char(generator.generate());
    return bytes;
}

QString zlibHex(const QByteArray &bytes)
{
    const uLong crc = crc32_z(0, reinterpret_cast<const Bytef *>(bytes.constData()), bytes.size());
    return QString::number(quint32(crc), 16).rightJustified(8, QLatin1Char('0'));
}

} // namespace

class TestChecksum : public QObject
{
    Q_OBJECT

private slots:
    void vectors_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QByteArray() << "00000000";
        QTest::newRow("check string") << QByteArray("123456789") << "cbf43926";
        QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                             << "414fa339";
        QTest::newRow("one zero byte") << QByteArray(1, '\0') << "d202ef8d";
        // Leading zeros must survive formatting.
        QTest::newRow("leading zeros") << QByteArray("62") << "0012d20a";
    }

    void vectors()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        const quint32 crc = crc32Update(0, data.constData(), data.size());
        QCOMPARE(crc32Hex(crc), expected);
        QCOMPARE(parseCrc32Hex(expected), std::optional<quint32>(crc));

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("f"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
        file.close();
        QCOMPARE(fileChecksum(path), expected);
    }

    // Manifests compare checksums as text: no other spelling may pass for one.
    void otherSpellingsAreNoChecksum()
    {
        for (const char *text : {"CBF43926", "cbf4392", "0cbf43926", "0xf43926", "cbf4392g", ""})
            QVERIFY2(!parseCrc32Hex(QString::fromLatin1(text)), text);
    }

    void chainingMatchesOnePass()
    {
        const QByteArray data = randomBytes(100003, 7);
        const quint32 whole = crc32Update(0, data.constData(), data.size());
        for (const qsizetype piece : {1, 3, 64, 4095, 65536}) {
            quint32 crc = 0;
            for (qsizetype at = 0; at < data.size(); at += piece)
                crc = crc32Update(crc, data.constData() + at, qMin(piece, data.size() - at));
            QCOMPARE(crc, whole);
        }
        QCOMPARE(crc32Hex(whole), zlibHex(data));
    }

    // Several buffer refills, a tail that is not a multiple of anything, and
    // several threads at once sharing nothing but the function.
    void largeFilesFromManyThreads()
    {
        QTemporaryDir dir;
        QList<QString> paths;
        QList<QString> expected;
        for (int i = 0; i < 3; ++i) {
            const QByteArray data = randomBytes(5 * 1024 * 1024 + 3 + i, 100 + i);
            paths << dir.filePath(QStringLiteral("big%1").arg(i));
            QFile file(paths.last());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(data), data.size());
            expected << zlibHex(data);
        }
        QList<QString> repeated;
        QList<QString> repeatedExpected;
        for (int round = 0; round < 4; ++round) {
            repeated += paths;
            repeatedExpected += expected;
        }
        const QList<QString> results = QtConcurrent::blockingMapped(repeated, fileChecksum);
        QCOMPARE(results, repeatedExpected);
    }

    void unreadable_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << "missing.bin";
        QTest::newRow("directory") << "folder";
        QTest::newRow("empty path") << "";
    }

    void unreadable()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        const QString path = name.isEmpty() ? QString() : dir.filePath(name);
        QCOMPARE(fileChecksum(path), QString());
    }
};

QTEST_GUILESS_MAIN(TestChecksum)
#include "tst_checksum.moc"
