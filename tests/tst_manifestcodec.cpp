#include "checksum.h"
#include "chunkindex.h"
#include "manifestcodec.h"

#include <QJsonDocument>
#include <QTest>
#include <QtEndian>

#include <functional>

#include <zlib.h>
#include <zstd.h>

Q_DECLARE_METATYPE(ManifestError)

namespace {

QByteArray framed(const char *json)
{
    return qCompress(QByteArray(json));
}

QByteArray withAnnouncedSize(QByteArray body, quint32 size)
{
    body[0] = char(size >> 24);
    body[1] = char(size >> 16);
    body[2] = char(size >> 8);
    body[3] = char(size);
    return body;
}

// Streams `total` zero bytes through deflate without holding them in memory.
QByteArray deflateZeros(qint64 total, int windowBits)
{
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    const QByteArray zeros(1024 * 1024, '\0');
    QByteArray out;
    char chunk[65536];
    qint64 fed = 0;
    int flush = Z_NO_FLUSH;
    do {
        if (stream.avail_in == 0 && flush == Z_NO_FLUSH) {
            const qint64 piece = qMin<qint64>(zeros.size(), total - fed);
            stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
            stream.avail_in = uInt(piece);
            fed += piece;
            if (fed == total)
                flush = Z_FINISH;
        }
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        const int status = deflate(&stream, flush);
        out.append(chunk, qsizetype(sizeof chunk - stream.avail_out));
        if (status == Z_STREAM_END)
            break;
    } while (true);
    deflateEnd(&stream);
    return out;
}

QJsonObject entry(const QString &checksum, const QJsonValue &size)
{
    return QJsonObject{{QStringLiteral("checksum"), checksum}, {QStringLiteral("size"), size}};
}

// A small build's index: two files sharing a chunk, an empty file.
ChunkIndex sampleIndex(const QByteArray &manifestBody)
{
    ChunkIndex index;
    index.manifestSha = sha256Of(manifestBody);
    index.publishedAt = 1700000000;
    index.limits = ChunkLimits::forAverage(1024);
    index.chunks = {{sha256Of("one"), 200, 120}, {sha256Of("two"), 100, 90}};
    index.files = {{"/a.pak", 300, 0x11111111, {{0, 0}, {1, 200}}},
                   {"/b/c.dat", 200, 0x22222222, {{0, 0}}},
                   {"/empty", 0, 0, {}}};
    return index;
}

QJsonObject sampleManifest()
{
    return {{"/a.pak", entry("11111111", 300)},
            {"/b/c.dat", entry("22222222", 200)},
            {"/empty", entry("00000000", 0)}};
}

// The index's body with `patch` applied, framed again.
QByteArray patchedBody(const ChunkIndex &index, const std::function<void(QByteArray &)> &patch)
{
    const QByteArray stored = encodeChunkIndex(index);
    QByteArray body(qsizetype(ZSTD_getFrameContentSize(stored.constData(), size_t(stored.size()))),
                    Qt::Uninitialized);
    ZSTD_decompress(body.data(), size_t(body.size()), stored.constData(), size_t(stored.size()));
    patch(body);
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(body.size()))), Qt::Uninitialized);
    out.truncate(qsizetype(
        ZSTD_compress(out.data(), size_t(out.size()), body.constData(), size_t(body.size()), 1)));
    return out;
}

void putWord(QByteArray &body, qsizetype at, quint32 value)
{
    qToLittleEndian(value, body.data() + at);
}

} // namespace

class TestManifestCodec : public QObject
{
    Q_OBJECT

private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<ManifestError>("error");
        QTest::addColumn<QJsonObject>("files");

        const QByteArray good = framed(R"({"files":{"/a.pak":{"checksum":"0012d20a","size":3}}})");
        const QJsonObject goodFiles{{"/a.pak", entry("0012d20a", 3)}};

        QTest::newRow("plain") << good << ManifestError::None << goodFiles;
        QTest::newRow("gzip file")
            << deflateZeros(16, 31) << ManifestError::BadCompression << QJsonObject();
        QTest::newRow("gzip file behind framing")
            << QByteArray("\0\0\0\x10", 4) + deflateZeros(16, 31) << ManifestError::BadCompression
            << QJsonObject();
        QTest::newRow("empty body") << QByteArray() << ManifestError::Empty << QJsonObject();
        QTest::newRow("framing of nothing")
            << QByteArray(4, '\0') << ManifestError::Empty << QJsonObject();
        QTest::newRow("compressed nothing")
            << QByteArray(4, '\0') + deflateZeros(0, 15) << ManifestError::Empty << QJsonObject();
        QTest::newRow("shorter than framing")
            << QByteArray("\0\0\x01", 3) << ManifestError::BadCompression << QJsonObject();
        QTest::newRow("framing without stream")
            << QByteArray("\0\0\0\x05", 4) << ManifestError::BadCompression << QJsonObject();
        QTest::newRow("corrupt stream")
            << good.left(6) + QByteArray(20, 'x') << ManifestError::BadCompression << QJsonObject();
        QTest::newRow("truncated stream")
            << good.left(good.size() - 5) << ManifestError::BadCompression << QJsonObject();
        // The announced length is only a hint, as it is for qUncompress.
        QTest::newRow("announced size too small")
            << withAnnouncedSize(good, 1) << ManifestError::None << goodFiles;
        QTest::newRow("announced size over bound")
            << withAnnouncedSize(good, quint32(maxManifestDecodedBytes + 1))
            << ManifestError::TooLarge << QJsonObject();
        QTest::newRow("body over bound") << good + QByteArray(maxManifestBodyBytes, ' ')
                                         << ManifestError::TooLarge << QJsonObject();
        QTest::newRow("not json") << framed("files: none") << ManifestError::NotJson
                                  << QJsonObject();
        QTest::newRow("array") << framed("[1]") << ManifestError::NotJson << QJsonObject();
        QTest::newRow("empty object") << framed("{}") << ManifestError::NotJson << QJsonObject();
        QTest::newRow("no files")
            << framed(R"({"binary":{"file":"/x","checksum":"00000000","size":"0"}})")
            << ManifestError::NoFiles << QJsonObject();
        QTest::newRow("files not an object")
            << framed(R"({"files":[]})") << ManifestError::NoFiles << QJsonObject();
        QTest::newRow("empty files")
            << framed(R"({"files":{}})") << ManifestError::None << QJsonObject();
        QTest::newRow("sizes")
            << framed(
                   R"({"files":{"/fraction":{"checksum":"a","size":12.5},)"
                   R"("/text":{"checksum":"b","size":"12"},"/big":{"checksum":"c","size":5000000000},)"
                   R"("/negative":{"checksum":"d","size":-1},"/null":{"checksum":"e","size":null}}})")
            << ManifestError::None
            << QJsonObject{{"/fraction", entry("a", 0)},
                           {"/text", entry("b", 0)},
                           {"/big", entry("c", 5000000000LL)},
                           {"/negative", entry("d", -1)},
                           {"/null", entry("e", 0)}};
        QTest::newRow("missing members")
            << framed(R"({"files":{"/no-size":{"checksum":"a"},"/no-checksum":{"size":1},)"
                      R"("/not-object":7,"/kept":{"checksum":"b","size":2,"extra":true}}})")
            << ManifestError::None << QJsonObject{{"/kept", entry("b", 2)}};
        QTest::newRow("checksum not text")
            << framed(R"({"files":{"/a":{"checksum":123,"size":1}}})") << ManifestError::None
            << QJsonObject{{"/a", entry("", 1)}};
        QTest::newRow("binary with numeric size")
            << framed(
                   R"({"files":{},"binary":{"file":"/bin/client.exe","checksum":"abcd1234","size":42}})")
            << ManifestError::None << QJsonObject{{"/bin/client.exe", entry("abcd1234", "")}};
        QTest::newRow("binary replaces same key")
            << framed(R"({"files":{"/bin/client.exe":{"checksum":"11111111","size":9},)"
                      R"("/other":{"checksum":"22222222","size":1}},)"
                      R"("binary":{"file":"/bin/client.exe","checksum":"33333333","size":"9"}})")
            << ManifestError::None
            << QJsonObject{{"/bin/client.exe", entry("33333333", "9")},
                           {"/other", entry("22222222", 1)}};
        QTest::newRow("binary without file")
            << framed(R"({"files":{},"binary":{"checksum":"33333333"}})") << ManifestError::None
            << QJsonObject{{"", entry("33333333", "")}};
        QTest::newRow("binary not an object")
            << framed(R"({"files":{},"binary":5})") << ManifestError::None
            << QJsonObject{{"", entry("", "")}};
        QTest::newRow("keys normalised") << framed(R"({"files":{"a.bin":{"checksum":"a","size":1},)"
                                                   "\"sub/\x2f"
                                                   "b.bin\":{\"checksum\":\"b\",\"size\":2},"
                                                   R"("./c/./d/":{"checksum":"c","size":3}}})")
                                         << ManifestError::None
                                         << QJsonObject{{"/a.bin", entry("a", 1)},
                                                        {"/sub/b.bin", entry("b", 2)},
                                                        {"/c/d", entry("c", 3)}};
        QTest::newRow("binary replaces same key spelled otherwise")
            << framed(R"({"files":{"/bin/client.exe":{"checksum":"11111111","size":9}},)"
                      "\"binary\":{\"file\":\"bin/\x2f"
                      "client.exe\","
                      R"("checksum":"33333333","size":"9"}})")
            << ManifestError::None << QJsonObject{{"/bin/client.exe", entry("33333333", "9")}};
        QTest::newRow("empty and root keys kept")
            << framed(R"({"files":{"":{"checksum":"a","size":1},"/":{"checksum":"b","size":2}}})")
            << ManifestError::None << QJsonObject{{"", entry("a", 1)}, {"/", entry("b", 2)}};
    }

    void decode()
    {
        QFETCH(QByteArray, body);
        QFETCH(ManifestError, error);
        const DecodedManifest manifest = decodeManifest(body);
        QCOMPARE(manifest.error, error);
        QCOMPARE(manifest.ok(), error == ManifestError::None);
        QCOMPARE(manifest.detail.isEmpty(), manifest.ok());
        QTEST(manifest.files, "files");
    }

    // A small body whose stream inflates past the bound while announcing a tiny size.
    void lyingSizeHintIsBounded()
    {
        const QByteArray body =
            QByteArray("\0\0\0\x10", 4) + deflateZeros(maxManifestDecodedBytes + 1, 15);
        QVERIFY(body.size() < maxManifestBodyBytes);
        const DecodedManifest manifest = decodeManifest(body);
        QCOMPARE(manifest.error, ManifestError::TooLarge);
        QVERIFY(manifest.files.isEmpty());
    }

    void unsafeKeys_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("parent") << "../evil.dll";
        QTest::newRow("parent after slash") << "/../evil.dll";
        QTest::newRow("parent inside") << "/bin/../../evil.dll";
        QTest::newRow("parent at end") << "/bin/..";
        QTest::newRow("backslash") << "/bin\\evil.dll";
        QTest::newRow("drive") << "C:/Windows/evil.dll";
        QTest::newRow("drive after slash") << "/C:/evil.dll";
        QTest::newRow("unc") << "//server/share/evil.dll";
        QTest::newRow("absolute") << "///etc/passwd";
        QTest::newRow("nul") << QStringLiteral("/a") + QChar(0) + QStringLiteral("b");
        QTest::newRow("newline") << "/a\nb";
        QTest::newRow("escape") << "/a\x1b[2Jb";
        QTest::newRow("delete") << QStringLiteral("/a") + QChar(0x7f);
    }

    // One hostile key refuses the whole manifest, wherever it stands.
    void unsafeKeys()
    {
        QFETCH(QString, key);
        const QJsonObject good{{"/good.pak", entry("00000000", 0)}};
        QJsonObject withKey = good;
        withKey.insert(key, entry("00000000", 0));
        QJsonObject withIncompleteEntry = good;
        withIncompleteEntry.insert(key, QJsonObject{{"checksum", "00000000"}});
        const QJsonObject binary{
            {"files", good},
            {"binary", QJsonObject{{"file", key}, {"checksum", "00000000"}, {"size", "0"}}}};

        const QList<QByteArray> bodies{
            encodeManifest(withKey), encodeManifest(withIncompleteEntry),
            qCompress(QJsonDocument(binary).toJson(QJsonDocument::Compact))};
        for (const QByteArray &body : bodies) {
            const DecodedManifest manifest = decodeManifest(body);
            QCOMPARE(manifest.error, ManifestError::UnsafeKey);
            QVERIFY(manifest.files.isEmpty());
            QVERIFY(!manifest.detail.isEmpty());
            for (const QChar c : manifest.detail)
                QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x7f, "control character in detail");
        }
    }

    // Entries one folder cannot hold side by side refuse the manifest.
    void sameFile_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("refusedOnLinux");
        QTest::addColumn<bool>("refusedOnWindows");

        const auto files = [](const QStringList &keys) {
            QJsonObject table;
            for (const QString &key : keys)
                table.insert(key, entry("00000000", 0));
            return QJsonDocument(QJsonObject{{"files", table}}).toJson(QJsonDocument::Compact);
        };
        QTest::newRow("leading slash") << files({"/a.bin", "a.bin"}) << true << true;
        QTest::newRow("doubled separator") << files({"/sub//b.bin", "/sub/b.bin"}) << true << true;
        QTest::newRow("current folder") << files({"/./a.bin", "/a.bin"}) << true << true;
        QTest::newRow("letter case") << files({"/Data/A.bin", "/data/a.bin"}) << false << true;
        QTest::newRow("file and folder") << files({"/data", "/data/x/y"}) << true << true;
        QTest::newRow("file and folder in other case")
            << files({"/Data", "/data/x"}) << false << true;
        QTest::newRow("names sharing a prefix")
            << files({"/data", "/database/x", "/data.old", "/b.bin", "/B.bin.old"}) << false
            << false;
        QTest::newRow("no-file keys") << files({"", "/", "/./"}) << false << false;
        QTest::newRow("binary in other case")
            << QByteArray(R"({"files":{"/bin/Client.exe":{"checksum":"1","size":1}},)"
                          R"("binary":{"file":"/bin/client.exe","checksum":"2","size":"1"}})")
            << false << true;
    }

    void sameFile()
    {
        QFETCH(QByteArray, json);
        for (const platform::Os os : {platform::Os::Other, platform::Os::Windows}) {
            const DecodedManifest manifest = decodeManifest(qCompress(json), os);
            const bool refused = manifest.error == ManifestError::SameFile;
            QTEST(refused, os == platform::Os::Windows ? "refusedOnWindows" : "refusedOnLinux");
            QCOMPARE(manifest.ok(), !refused);
            QCOMPARE(manifest.files.isEmpty(), refused);
        }
    }

    void chunkIndex_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QJsonObject>("manifest");
        QTest::addColumn<QString>("refusal"); // empty: accepted

        const QByteArray body = encodeManifest(sampleManifest());
        const ChunkIndex good = sampleIndex(body);
        const auto changed = [&](const std::function<void(ChunkIndex &)> &change) {
            ChunkIndex index = good;
            change(index);
            return encodeChunkIndex(index);
        };
        const auto patched = [&](const std::function<void(QByteArray &)> &patch) {
            return patchedBody(good, patch);
        };
        constexpr qsizetype chunkCountAt = 60; // after magic, version, hash, time, limits
        constexpr qsizetype firstKeyAt = 68 + 2 * 40;
        const QJsonObject manifest = sampleManifest();

        QTest::newRow("good") << encodeChunkIndex(good) << manifest << "";
        QTest::newRow("not zstd") << QByteArray("LCIX") << manifest << "zstd frame";
        QTest::newRow("cut short")
            << encodeChunkIndex(good).chopped(3) << manifest << "does not decompress";
        QTest::newRow("magic") << patched([](QByteArray &b) { b[0] = 'X'; }) << manifest
                               << "not an index";
        QTest::newRow("version") << patched([](QByteArray &b) { putWord(b, 4, 2); }) << manifest
                                 << "version 2";
        QTest::newRow("absurd chunk count")
            << patched([](QByteArray &b) { putWord(b, chunkCountAt, 0xffffffffu); }) << manifest
            << "cannot fit";
        QTest::newRow("absurd file count")
            << patched([](QByteArray &b) { putWord(b, chunkCountAt + 4, 0x10000000u); }) << manifest
            << "cannot fit";
        QTest::newRow("absurd key length")
            << patched([](QByteArray &b) { putWord(b, firstKeyAt, 0xfffffff0u); }) << manifest
            << "cut short";
        QTest::newRow("trailing bytes")
            << patched([](QByteArray &b) { b.append('x'); }) << manifest << "after the file table";
        QTest::newRow("average not a power of two")
            << changed([](ChunkIndex &i) { i.limits.averageSize = 1000; }) << manifest << "limits";
        QTest::newRow("maximum too large")
            << changed([](ChunkIndex &i) { i.limits.maxSize = 64 * 1024 * 1024; }) << manifest
            << "limits";
        QTest::newRow("empty chunk") << changed([](ChunkIndex &i) { i.chunks[1].size = 0; })
                                     << manifest << "chunk 1 has size";
        QTest::newRow("chunk over maximum")
            << changed([](ChunkIndex &i) { i.chunks[0].size = 4097; }) << manifest
            << "chunk 0 has size";
        QTest::newRow("stored size beyond any frame")
            << changed([](ChunkIndex &i) { i.chunks[1].storedSize = 1 << 30; }) << manifest
            << "chunk 1 has size";
        QTest::newRow("chunk listed twice")
            << changed([](ChunkIndex &i) { i.chunks[1].id = i.chunks[0].id; }) << manifest
            << "listed twice";
        QTest::newRow("unsafe key") << changed([](ChunkIndex &i) { i.files[0].key = "/../a.pak"; })
                                    << manifest << "unsafe key";
        QTest::newRow("empty key")
            << changed([](ChunkIndex &i) { i.files[2].key = ""; }) << manifest << "unsafe key";
        QTest::newRow("file listed twice")
            << changed([](ChunkIndex &i) { i.files[1].key = "/a.pak"; }) << manifest
            << "listed twice";
        QTest::newRow("chunk row out of range")
            << changed([](ChunkIndex &i) { i.files[1].chunks[0].chunk = 2; }) << manifest
            << "names chunk 2 of 2";
        QTest::newRow("overlapping chunks")
            << changed([](ChunkIndex &i) { i.files[0].chunks[1].offset = 150; }) << manifest
            << "overlaps";
        QTest::newRow("gap between chunks")
            << changed([](ChunkIndex &i) { i.files[0].chunks[1].offset = 250; }) << manifest
            << "gap";
        QTest::newRow("chunks short of the end")
            << changed([](ChunkIndex &i) { i.files[0].size = 301; }) << manifest << "cover 300";
        QTest::newRow("chunks past the end")
            << changed([](ChunkIndex &i) { i.files[1].size = 199; }) << manifest << "run past";
        QTest::newRow("another build's index")
            << changed([](ChunkIndex &i) { i.manifestSha = sha256Of("other"); }) << manifest
            << "another build";
        QJsonObject resized = manifest;
        resized.insert("/a.pak", entry("11111111", 301));
        QTest::newRow("size differs from the manifest")
            << encodeChunkIndex(sampleIndex(encodeManifest(resized))) << resized
            << "differs from the manifest";
        QJsonObject rechecked = manifest;
        rechecked.insert("/b/c.dat", entry("33333333", 200));
        QTest::newRow("checksum differs from the manifest")
            << encodeChunkIndex(sampleIndex(encodeManifest(rechecked))) << rechecked
            << "differs from the manifest";
        QJsonObject fewer = manifest;
        fewer.remove("/empty");
        QTest::newRow("file the manifest lacks")
            << encodeChunkIndex(sampleIndex(encodeManifest(fewer))) << fewer
            << "not in the manifest";
    }

    void chunkIndex()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QJsonObject, manifest);
        QFETCH(QString, refusal);
        const QByteArray body = encodeManifest(manifest);
        const Result<ChunkIndex> index = decodeChunkIndex(stored);
        const Status fits =
            index ? checkIndexAgainstManifest(*index, body, manifest) : Status(index.failure());
        QVERIFY2(refusal.isEmpty() == fits.ok(), qPrintable(fits.message()));
        if (!refusal.isEmpty()) {
            QCOMPARE(fits.kind(), Failure::Kind::InvalidData);
            QVERIFY2(fits.message().contains(refusal), qPrintable(fits.message()));
            return;
        }
        const ChunkIndex expected = sampleIndex(body);
        QCOMPARE(index->chunks.size(), expected.chunks.size());
        QCOMPARE(index->chunks[1].id, expected.chunks[1].id);
        QCOMPARE(index->files[0].chunks[1].offset, 200);
        QCOMPARE(index->limits, expected.limits);
        QCOMPARE(index->publishedAt, expected.publishedAt);
    }

    void roundTrip()
    {
        const QJsonObject files{{"/.initcomplete", entry("00000000", 0)},
                                {"/bin/data 1.pak", entry("cbf43926", 9)},
                                {"/música/ñ.ogg", entry("414fa339", 43)},
                                {"/huge.bin", entry("0012d20a", 6000000000LL)}};
        const QByteArray body = encodeManifest(files);
        QCOMPARE(qUncompress(body).isEmpty(), false);
        const DecodedManifest manifest = decodeManifest(body);
        QVERIFY2(manifest.ok(), qPrintable(manifest.detail));
        QCOMPARE(manifest.files, files);
        QVERIFY(!manifest.build.isEmpty());
        QVERIFY(decodeManifest(encodeManifest({{"/other", entry("00000000", 0)}})).build !=
                manifest.build);
        QCOMPARE(manifest.files.value("/huge.bin").toObject().value("size").toInteger(),
                 6000000000LL);
    }
};

QTEST_GUILESS_MAIN(TestManifestCodec)
#include "tst_manifestcodec.moc"
