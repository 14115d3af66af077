#include "manifestcodec.h"

#include <QJsonDocument>
#include <QTest>

#include <zlib.h>

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
