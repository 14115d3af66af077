#include "chunkindex.h"

#include "checksum.h"
#include "filekey.h"

#include <QSet>
#include <QtEndian>

#include <zstd.h>

namespace {

constexpr char magic[4] = {'L', 'C', 'I', 'X'};
constexpr qsizetype headerBytes = 4 + 4 + chunkIdBytes + 8 + 3 * 4 + 4 + 4;
constexpr qsizetype chunkRowBytes = chunkIdBytes + 4 + 4;
constexpr qsizetype fileRowMinBytes = 4 + 8 + 4 + 4;
constexpr qsizetype refBytes = 4 + 8;
constexpr qsizetype maxKeyBytes = 4096;

template <typename T> void put(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

// Reads the body front to back; every read is checked against what is left.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : bytes(bytes) {}
    qsizetype left() const { return bytes.size() - at; }
    template <typename T> bool get(T &value)
    {
        if (left() < qsizetype(sizeof(T)))
            return false;
        value = qFromLittleEndian<T>(bytes.constData() + at);
        at += sizeof(T);
        return true;
    }
    bool take(qsizetype count, QByteArray &out)
    {
        if (count < 0 || left() < count)
            return false;
        out = bytes.mid(at, count);
        at += count;
        return true;
    }

private:
    const QByteArray &bytes;
    qsizetype at = 0;
};

Result<ChunkIndex> refuse(const QString &why)
{
    return Result<ChunkIndex>::fail(Failure::Kind::InvalidData,
                                    QStringLiteral("chunk index: ") + why);
}

Result<QByteArray> inflateIndex(const QByteArray &stored)
{
    const auto bad = [](const QString &why) {
        return Result<QByteArray>::fail(Failure::Kind::InvalidData,
                                        QStringLiteral("chunk index: ") + why);
    };
    if (stored.size() > maxChunkIndexStoredBytes)
        return bad(QStringLiteral("%1 bytes is over the bound").arg(stored.size()));
    const unsigned long long declared =
        ZSTD_getFrameContentSize(stored.constData(), size_t(stored.size()));
    if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN)
        return bad(QStringLiteral("not a zstd frame that states its size"));
    if (declared > (unsigned long long)maxChunkIndexBytes)
        return bad(QStringLiteral("states %1 bytes").arg(declared));
    QByteArray body(qsizetype(declared) + 1, Qt::Uninitialized);
    const size_t got = ZSTD_decompress(body.data(), size_t(body.size()), stored.constData(),
                                       size_t(stored.size()));
    if (ZSTD_isError(got) || got != declared)
        return bad(QStringLiteral("does not decompress to the size it states"));
    body.truncate(qsizetype(declared));
    return body;
}

} // namespace

QByteArray encodeChunkIndex(const ChunkIndex &index)
{
    QByteArray body;
    body.append(magic, sizeof magic);
    put<quint32>(body, chunkIndexVersion);
    body.append(index.manifestSha);
    put<qint64>(body, index.publishedAt);
    put<qint32>(body, index.limits.minSize);
    put<qint32>(body, index.limits.averageSize);
    put<qint32>(body, index.limits.maxSize);
    put<quint32>(body, quint32(index.chunks.size()));
    put<quint32>(body, quint32(index.files.size()));
    for (const IndexedChunk &chunk : index.chunks) {
        body.append(chunk.id);
        put<quint32>(body, quint32(chunk.size));
        put<quint32>(body, quint32(chunk.storedSize));
    }
    for (const IndexedFile &file : index.files) {
        const QByteArray key = file.key.toUtf8();
        put<quint32>(body, quint32(key.size()));
        body.append(key);
        put<quint64>(body, quint64(file.size));
        put<quint32>(body, file.crc);
        put<quint32>(body, quint32(file.chunks.size()));
        for (const ChunkRef &ref : file.chunks) {
            put<quint32>(body, ref.chunk);
            put<quint64>(body, quint64(ref.offset));
        }
    }
    QByteArray stored(qsizetype(ZSTD_compressBound(size_t(body.size()))), Qt::Uninitialized);
    const size_t written = ZSTD_compress(stored.data(), size_t(stored.size()), body.constData(),
                                         size_t(body.size()), 3);
    // Only a too-small output buffer fails, and compressBound rules that out.
    Q_ASSERT(!ZSTD_isError(written));
    stored.truncate(qsizetype(written));
    return stored;
}

Result<ChunkIndex> decodeChunkIndex(const QByteArray &stored)
{
    Result<QByteArray> inflated = inflateIndex(stored);
    if (!inflated)
        return inflated.failure();
    const QByteArray &body = inflated.value();
    Reader in(body);
    ChunkIndex index;
    QByteArray head;
    quint32 version = 0;
    quint32 chunkCount = 0;
    quint32 fileCount = 0;
    if (body.size() < headerBytes || !in.take(4, head) || head != QByteArray(magic, 4))
        return refuse(QStringLiteral("not an index"));
    if (!in.get(version) || version != chunkIndexVersion)
        return refuse(QStringLiteral("version %1 is not known").arg(version));
    if (!in.take(chunkIdBytes, index.manifestSha) || !in.get(index.publishedAt) ||
        !in.get(index.limits.minSize) || !in.get(index.limits.averageSize) ||
        !in.get(index.limits.maxSize) || !in.get(chunkCount) || !in.get(fileCount))
        return refuse(QStringLiteral("header cut short"));
    if (!index.limits.valid())
        return refuse(QStringLiteral("cutter limits %1/%2/%3 are out of bounds")
                          .arg(index.limits.minSize)
                          .arg(index.limits.averageSize)
                          .arg(index.limits.maxSize));
    // Counts are weighed against the bytes that would have to hold them before
    // anything is reserved.
    if (qint64(chunkCount) * chunkRowBytes + qint64(fileCount) * fileRowMinBytes > in.left())
        return refuse(QStringLiteral("%1 chunks and %2 files cannot fit in %3 bytes")
                          .arg(chunkCount)
                          .arg(fileCount)
                          .arg(in.left()));

    const qint64 storedBound = qint64(ZSTD_compressBound(size_t(index.limits.maxSize)));
    QSet<ChunkId> seen;
    index.chunks.reserve(chunkCount);
    for (quint32 i = 0; i < chunkCount; ++i) {
        IndexedChunk chunk;
        quint32 size = 0;
        quint32 storedSize = 0;
        if (!in.take(chunkIdBytes, chunk.id) || !in.get(size) || !in.get(storedSize))
            return refuse(QStringLiteral("chunk table cut short"));
        if (size == 0 || size > quint32(index.limits.maxSize) || storedSize == 0 ||
            storedSize > storedBound)
            return refuse(QStringLiteral("chunk %1 has size %2 stored in %3")
                              .arg(i)
                              .arg(size)
                              .arg(storedSize));
        if (seen.contains(chunk.id))
            return refuse(QStringLiteral("chunk %1 is listed twice").arg(i));
        seen.insert(chunk.id);
        chunk.size = qint32(size);
        chunk.storedSize = qint32(storedSize);
        index.chunks.append(chunk);
    }

    QSet<QString> keys;
    index.files.reserve(fileCount);
    for (quint32 i = 0; i < fileCount; ++i) {
        IndexedFile file;
        quint32 keyBytes = 0;
        QByteArray key;
        quint64 size = 0;
        quint32 refCount = 0;
        if (!in.get(keyBytes) || keyBytes > maxKeyBytes || !in.take(keyBytes, key) ||
            !in.get(size) || !in.get(file.crc) || !in.get(refCount))
            return refuse(QStringLiteral("file table cut short"));
        file.key = QString::fromUtf8(key);
        if (file.key.toUtf8() != key || file.key.isEmpty() || file.key == QLatin1String("/") ||
            !isSafeFileKey(file.key))
            return refuse(QStringLiteral("file %1 has an unsafe key").arg(i));
        if (keys.contains(file.key))
            return refuse(QStringLiteral("%1 is listed twice").arg(file.key));
        keys.insert(file.key);
        if (qint64(refCount) * refBytes > in.left() || size > quint64(maxChunkIndexBytes) << 20)
            return refuse(QStringLiteral("%1 declares %2 chunks").arg(file.key).arg(refCount));
        file.size = qint64(size);
        qint64 end = 0;
        file.chunks.reserve(refCount);
        for (quint32 r = 0; r < refCount; ++r) {
            ChunkRef ref;
            quint64 offset = 0;
            if (!in.get(ref.chunk) || !in.get(offset))
                return refuse(QStringLiteral("file table cut short"));
            if (ref.chunk >= chunkCount)
                return refuse(QStringLiteral("%1 names chunk %2 of %3")
                                  .arg(file.key)
                                  .arg(ref.chunk)
                                  .arg(chunkCount));
            if (offset != quint64(end))
                return refuse(QStringLiteral("%1: chunk at %2 %3 the one before it")
                                  .arg(file.key)
                                  .arg(offset)
                                  .arg(offset < quint64(end)
                                           ? QStringLiteral("overlaps")
                                           : QStringLiteral("leaves a gap after")));
            ref.offset = end;
            end += index.chunks[ref.chunk].size;
            if (end > file.size)
                return refuse(QStringLiteral("%1: chunks run past its %2 bytes")
                                  .arg(file.key)
                                  .arg(file.size));
            file.chunks.append(ref);
        }
        if (end != file.size)
            return refuse(QStringLiteral("%1: chunks cover %2 of its %3 bytes")
                              .arg(file.key)
                              .arg(end)
                              .arg(file.size));
        index.files.append(file);
    }
    if (in.left() != 0)
        return refuse(QStringLiteral("%1 bytes after the file table").arg(in.left()));
    return index;
}

Status checkIndexAgainstManifest(const ChunkIndex &index, const QByteArray &manifestBody,
                                 const QJsonObject &manifestFiles)
{
    const auto refuse = [](const QString &why) {
        return Status::fail(Failure::Kind::InvalidData, QStringLiteral("chunk index: ") + why);
    };
    if (index.manifestSha != sha256Of(manifestBody))
        return refuse(QStringLiteral("belongs to another build"));
    for (const IndexedFile &file : index.files) {
        const QJsonObject entry = manifestFiles.value(file.key).toObject();
        if (entry.isEmpty())
            return refuse(QStringLiteral("%1 is not in the manifest").arg(file.key));
        if (entry.value(QLatin1String("size")).toInteger(-1) != file.size ||
            entry.value(QLatin1String("checksum")).toString() != crc32Hex(file.crc))
            return refuse(QStringLiteral("%1 differs from the manifest").arg(file.key));
    }
    return {};
}
