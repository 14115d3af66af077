#include "checksum.h"
#include "chunker.h"
#include "chunkplan.h"
#include "chunkstore.h"
#include "testenvironment.h"

#include <QBuffer>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {

const ChunkLimits cutLimits = ChunkLimits::forAverage(defaultChunkAverage);

// Random bytes, text-like bytes (16 symbols, about 2:1 for zstd) or zeros.
QByteArray bytes(const QString &kind, qsizetype size, quint64 seed)
{
    QByteArray out(size, '\0');
    if (kind == QLatin1String("zeros"))
        return out;
    quint64 state = seed * 0x9e3779b97f4a7c15ULL + 1;
    for (char &c : out) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = kind == QLatin1String("text") ? char('a' + (state >> 60)) : char(state >> 56);
    }
    return out;
}

QList<QByteArray> cut(const QByteArray &data)
{
    QList<QByteArray> chunks;
    for (qsizetype at = 0; at < data.size();) {
        const qsizetype length = chunkLength(reinterpret_cast<const uchar *>(data.constData()) + at,
                                             data.size() - at, cutLimits);
        chunks.append(data.mid(at, length));
        at += length;
    }
    return chunks;
}

// A one-file build as the publisher would index it; its stored chunks go to `store`.
ChunkIndex indexOf(const QString &key, const QByteArray &data, QHash<ChunkId, QByteArray> &store)
{
    ChunkIndex index;
    index.limits = cutLimits;
    IndexedFile file{key, data.size(), crc32Update(0, data.constData(), data.size()), {}};
    qint64 offset = 0;
    for (const QByteArray &chunk : cut(data)) {
        const ChunkId id = sha256Of(chunk);
        store.insert(id, compressChunk(chunk, 1).value());
        file.chunks.append({quint32(index.chunks.size()), offset});
        index.chunks.append({id, qint32(chunk.size()), qint32(store.value(id).size())});
        offset += chunk.size();
    }
    index.files = {file};
    return index;
}

} // namespace

class TestChunker : public QObject
{
    Q_OBJECT

private slots:
    void cuts_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("empty") << "random" << qsizetype(0);
        QTest::newRow("one byte") << "random" << qsizetype(1);
        QTest::newRow("below minimum") << "random" << qsizetype(cutLimits.minSize - 1);
        QTest::newRow("minimum") << "random" << qsizetype(cutLimits.minSize);
        QTest::newRow("just over minimum") << "random" << qsizetype(cutLimits.minSize + 1);
        QTest::newRow("just over maximum") << "random" << qsizetype(cutLimits.maxSize + 1);
        // Past the stream's 4 MiB reads, so chunks straddle refills.
        QTest::newRow("random, several reads") << "random" << qsizetype(9 * 1024 * 1024 + 7);
        QTest::newRow("text, several reads") << "text" << qsizetype(9 * 1024 * 1024 + 7);
        QTest::newRow("zeros") << "zeros" << qsizetype(5 * 1024 * 1024 + 3);
    }

    // Chunks cover the data exactly, keep to the limits, and come out the same
    // from a whole buffer and from a stream read piecewise.
    void cuts()
    {
        QFETCH(QString, kind);
        QFETCH(qsizetype, size);
        const QByteArray data = bytes(kind, size, 7);
        const QList<QByteArray> chunks = cut(data);
        QCOMPARE(chunks.join(), data);
        for (qsizetype i = 0; i < chunks.size(); ++i) {
            QVERIFY(chunks[i].size() <= cutLimits.maxSize);
            QVERIFY(i + 1 == chunks.size() || chunks[i].size() >= cutLimits.minSize);
            QVERIFY(!chunks[i].isEmpty());
        }
        if (kind != QLatin1String("zeros") && size > 1024 * 1024) {
            const qsizetype average = size / chunks.size();
            QVERIFY2(average > cutLimits.averageSize / 2 && average < cutLimits.averageSize * 2,
                     qPrintable(QString::number(average)));
        }

        QBuffer device;
        device.setData(data);
        QVERIFY(device.open(QIODevice::ReadOnly));
        ChunkStream stream(&device, cutLimits);
        QList<QByteArray> streamed;
        qint64 offset = 0;
        for (;;) {
            const Result<QByteArrayView> chunk = stream.next();
            QVERIFY(chunk.ok());
            if (chunk->isEmpty())
                break;
            QCOMPARE(stream.offset(), offset);
            offset += chunk->size();
            streamed.append(chunk->toByteArray());
        }
        QCOMPARE(streamed, chunks);
    }

    void editsResynchronise_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<qsizetype>("at");
        QTest::addColumn<qsizetype>("removed");
        QTest::addColumn<qsizetype>("inserted");
        QTest::addColumn<int>("maxNewChunks"); // -1: judged by bytes only
        QTest::newRow("insertion near the start")
            << "random" << qsizetype(1000) << qsizetype(0) << qsizetype(100) << 2;
        QTest::newRow("insertion near the start, text")
            << "text" << qsizetype(5000) << qsizetype(0) << qsizetype(1) << 2;
        QTest::newRow("removal") << "random" << qsizetype(3000000) << qsizetype(10) << qsizetype(0)
                                 << 2;
        QTest::newRow("asset inserted")
            << "random" << qsizetype(4000000) << qsizetype(0) << qsizetype(300 * 1024) << -1;
        QTest::newRow("asset replaced") << "text" << qsizetype(2000000) << qsizetype(1024 * 1024)
                                        << qsizetype(1024 * 1024) << -1;
    }

    // An edit changes only the chunks around it: new bytes stay within the edit
    // and one maximal chunk on each side.
    void editsResynchronise()
    {
        QFETCH(QString, kind);
        QFETCH(qsizetype, at);
        QFETCH(qsizetype, removed);
        QFETCH(qsizetype, inserted);
        QFETCH(int, maxNewChunks);
        const QByteArray before = bytes(kind, 8 * 1024 * 1024, 1);
        QByteArray after = before;
        after.replace(at, removed, bytes(kind, inserted, 2));

        QSet<ChunkId> known;
        for (const QByteArray &chunk : cut(before))
            known.insert(sha256Of(chunk));
        int newChunks = 0;
        qsizetype newBytes = 0;
        for (const QByteArray &chunk : cut(after)) {
            if (!known.contains(sha256Of(chunk))) {
                ++newChunks;
                newBytes += chunk.size();
            }
        }
        if (maxNewChunks >= 0)
            QVERIFY2(newChunks <= maxNewChunks, qPrintable(QString::number(newChunks)));
        QVERIFY2(newBytes <= inserted + 2 * cutLimits.maxSize,
                 qPrintable(QString::number(newBytes)));
    }

    void assemble_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("assembled");
        QTest::newRow("old and new chunks") << "" << true;
        QTest::newRow("installed file not intact") << "not intact" << true;
        QTest::newRow("installed file changed since") << "changed" << true;
        QTest::newRow("corrupt chunk") << "corrupt" << false;
        QTest::newRow("missing chunk") << "missing" << false;
        QTest::newRow("chunk larger than listed") << "oversized" << false;
    }

    // A file put together from the installed build and fetched chunks is the new
    // file byte for byte, or no file at all.
    void assemble()
    {
        QFETCH(QString, fault);
        QFETCH(bool, assembled);
        QTemporaryDir game;
        const QByteArray before = bytes(QStringLiteral("text"), 3 * 1024 * 1024, 5);
        QByteArray after = before;
        after.insert(700 * 1024, bytes(QStringLiteral("random"), 300 * 1024, 6));
        QVERIFY(writeFile(game.filePath(QStringLiteral("data.pak")), before));
        QHash<ChunkId, QByteArray> store;
        const ChunkIndex installed = indexOf(QStringLiteral("/data.pak"), before, store);
        const ChunkIndex target = indexOf(QStringLiteral("/data.pak"), after, store);

        const QSet<QString> intact{fault == QLatin1String("not intact") ? "" : "/data.pak"};
        const ChunkPlan plan = planChunks(target, {"/data.pak", "/other"}, &installed, intact);
        QCOMPARE(plan.wholeFiles, QStringList{"/other"});
        QCOMPARE(plan.files.size(), 1);
        // Incompressible with nothing installed to reuse: one request, not one per chunk.
        const ChunkIndex media = indexOf(QStringLiteral("/media.ogg"),
                                         bytes(QStringLiteral("random"), 1024 * 1024, 7), store);
        QCOMPARE(planChunks(media, {"/media.ogg"}, nullptr, {}).wholeFiles,
                 QStringList{"/media.ogg"});
        qint64 fetched = 0;
        for (const quint32 row : plan.fetch)
            fetched += target.chunks[row].size;
        if (fault.isEmpty())
            QVERIFY(fetched <= 300 * 1024 + 2 * cutLimits.maxSize);

        const ChunkId victim = target.chunks[plan.fetch.first()].id;
        if (fault == QLatin1String("changed")) { // a local chunk no longer matches
            QByteArray touched = before;
            touched[10] = '!';
            QVERIFY(writeFile(game.filePath(QStringLiteral("data.pak")), touched));
        }
        if (fault == QLatin1String("corrupt"))
            store[victim][store[victim].size() / 2] ^= 1;
        if (fault == QLatin1String("missing"))
            store.remove(victim);
        if (fault == QLatin1String("oversized"))
            store[victim] = compressChunk(QByteArray(cutLimits.maxSize, 'x'), 1).value();
        const FetchedChunk fetch = [&store](const ChunkId &id) {
            return store.contains(id) ? Result<QByteArray>(store.value(id))
                                      : Result<QByteArray>::fail(Failure::Kind::Server, "404");
        };
        const QString path = game.filePath(QStringLiteral("staged.pak"));
        const Status status = assembleFile(target, plan.files.first(), game.path(), fetch, path);
        QCOMPARE(status.ok(), assembled);
        QCOMPARE(QFileInfo::exists(path), assembled);
        if (assembled)
            QCOMPARE(readFile(path), after);
    }

    // Published stores are cut with today's table; a change would make every
    // launcher's local cuts miss them.
    void boundariesArePinned()
    {
        QByteArray lengths;
        for (const QByteArray &chunk : cut(bytes(QStringLiteral("random"), 4 * 1024 * 1024, 3)))
            lengths += QByteArray::number(chunk.size()) + ',';
        QCOMPARE(sha256Of(lengths).toHex().left(16), QByteArray("8e49bb881af56542"));
    }
};

QTEST_GUILESS_MAIN(TestChunker)
#include "tst_chunker.moc"
