#include "chunkstore.h"

#include "chunker.h"

#include <openssl/evp.h>
#include <zstd.h>

#include <memory>

namespace {

struct ContextDeleter
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

// One of each per thread: publishing and installing cut thousands of chunks.
ZSTD_CCtx *compressor()
{
    thread_local std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
    return context.get();
}

ZSTD_DCtx *decompressor()
{
    thread_local std::unique_ptr<ZSTD_DCtx, ContextDeleter> context(ZSTD_createDCtx());
    return context.get();
}

EVP_MD_CTX *digestContext()
{
    thread_local std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    return context.get();
}

} // namespace

ChunkId sha256Of(QByteArrayView bytes)
{
    // Fetched once: an implicit fetch per call costs more than hashing a small chunk.
    static EVP_MD *const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    ChunkId id(chunkIdBytes, Qt::Uninitialized);
    EVP_MD_CTX *context = digestContext();
    unsigned int length = 0;
    if (!sha256 || !context || !EVP_DigestInit_ex(context, sha256, nullptr) ||
        !EVP_DigestUpdate(context, bytes.data(), size_t(bytes.size())) ||
        !EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(id.data()), &length) ||
        length != chunkIdBytes)
        qFatal("SHA-256 is not available from OpenSSL");
    return id;
}

QString chunkPath(const ChunkId &id)
{
    const QString hex = QString::fromLatin1(id.toHex());
    return QStringLiteral("/%1/chunks/%2/%3").arg(chunkStoreFolder, hex.left(2), hex);
}

QString buildIndexPath(const ChunkId &manifestSha)
{
    return QStringLiteral("/%1/builds/%2.index")
        .arg(chunkStoreFolder, QString::fromLatin1(manifestSha.toHex()));
}

Result<QByteArray> compressChunk(QByteArrayView raw, int level)
{
    ZSTD_CCtx *context = compressor();
    if (!context)
        return Result<QByteArray>::fail(Failure::Kind::Internal, QStringLiteral("out of memory"));
    QByteArray out(qsizetype(ZSTD_compressBound(size_t(raw.size()))), Qt::Uninitialized);
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    const size_t written =
        ZSTD_compress2(context, out.data(), size_t(out.size()), raw.data(), size_t(raw.size()));
    if (ZSTD_isError(written))
        return Result<QByteArray>::fail(Failure::Kind::Internal,
                                        QString::fromLatin1(ZSTD_getErrorName(written)));
    out.truncate(qsizetype(written));
    return out;
}

Result<QByteArray> unpackChunk(QByteArrayView stored, qint64 rawSize, const ChunkId &id)
{
    const auto refuse = [](const QString &why) {
        return Result<QByteArray>::fail(Failure::Kind::InvalidData, why);
    };
    if (rawSize < 0 || rawSize > largestChunkMax)
        return refuse(QStringLiteral("chunk size %1 is out of bounds").arg(rawSize));
    const unsigned long long declared =
        ZSTD_getFrameContentSize(stored.data(), size_t(stored.size()));
    if (declared != (unsigned long long)rawSize)
        return refuse(QStringLiteral("chunk frame does not state %1 bytes").arg(rawSize));
    ZSTD_DCtx *context = decompressor();
    if (!context)
        return Result<QByteArray>::fail(Failure::Kind::Internal, QStringLiteral("out of memory"));
    // One byte of room past the size tells a frame that goes on from one that ends.
    QByteArray raw(qsizetype(rawSize) + 1, Qt::Uninitialized);
    const size_t got = ZSTD_decompressDCtx(context, raw.data(), size_t(raw.size()), stored.data(),
                                           size_t(stored.size()));
    if (ZSTD_isError(got) || got != size_t(rawSize))
        return refuse(QStringLiteral("chunk does not decompress to its %1 bytes").arg(rawSize));
    raw.truncate(qsizetype(rawSize));
    if (sha256Of(raw) != id)
        return refuse(QStringLiteral("chunk %1 does not match its hash")
                          .arg(QString::fromLatin1(id.toHex())));
    return raw;
}
