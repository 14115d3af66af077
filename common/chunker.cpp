#include "chunker.h"

#include <array>
#include <cstring>
#include <new>

namespace {

// The gear table: 256 fixed pseudo-random words. Made by splitmix64 at compile
// time so every build and platform holds the same table; changing it changes
// every boundary and so every published chunk.
constexpr std::array<quint64, 256> makeGear()
{
    std::array<quint64, 256> table{};
    quint64 state = 0x6a09e667f3bcc908ULL;
    for (quint64 &word : table) {
        state += 0x9e3779b97f4a7c15ULL;
        quint64 z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        word = z ^ (z >> 31);
    }
    return table;
}
constexpr std::array<quint64, 256> gear = makeGear();

int log2Of(qint32 value)
{
    int bits = 0;
    while ((qint64(1) << (bits + 1)) <= value)
        ++bits;
    return bits;
}

// The top bits of the hash depend on the last 64 bytes; the low bits on fewer.
quint64 topBits(int bits)
{
    return ~quint64(0) << (64 - bits);
}

// Reads land at a page-aligned spot: unaligned reads run several times slower here.
constexpr qsizetype pageSize = 4096;
constexpr qsizetype readSize = 4 * 1024 * 1024;

} // namespace

ChunkLimits ChunkLimits::forAverage(qint32 averageSize)
{
    return ChunkLimits{averageSize / 4, averageSize, averageSize * 4};
}

bool ChunkLimits::valid() const
{
    const bool powerOfTwo = averageSize > 0 && (averageSize & (averageSize - 1)) == 0;
    return powerOfTwo && averageSize >= smallestChunkAverage && minSize >= 64 &&
           minSize < averageSize && averageSize < maxSize && maxSize <= largestChunkMax;
}

namespace {

// Rolls the hash over data[from, to); one past the first byte after which the
// hash has no bit of `mask` set, or -1 when none in the range.
inline qsizetype boundaryIn(const uchar *data, qsizetype from, qsizetype to, quint64 mask,
                            quint64 &hash)
{
    qsizetype i = from;
    // Eight bytes a round: a test of the loop's end per byte cost as much as the hash.
    for (; i + 8 <= to; i += 8) {
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            hash = (hash << 1) + gear[data[i + k]];
            if (!(hash & mask))
                return i + k + 1;
        }
    }
    for (; i < to; ++i) {
        hash = (hash << 1) + gear[data[i]];
        if (!(hash & mask))
            return i + 1;
    }
    return -1;
}

} // namespace

// Normalised chunking: below the average size a boundary needs two more matching
// bits, above it two fewer, which gathers chunk sizes near the average.
qsizetype chunkLength(const uchar *data, qsizetype size, const ChunkLimits &limits)
{
    if (size <= limits.minSize)
        return size;
    const qsizetype end = qMin<qsizetype>(size, limits.maxSize);
    const qsizetype normal = qMin<qsizetype>(end, limits.averageSize);
    const int bits = log2Of(limits.averageSize);
    // The hash starts 64 bytes early so the first boundary tested sees a full window.
    quint64 hash = 0;
    for (qsizetype i = limits.minSize - 64; i < limits.minSize; ++i)
        hash = (hash << 1) + gear[data[i]];
    if (const qsizetype found = boundaryIn(data, limits.minSize, normal, topBits(bits + 2), hash);
        found >= 0)
        return found;
    const qsizetype found = boundaryIn(data, normal, end, topBits(bits - 2), hash);
    return found >= 0 ? found : end;
}

struct ChunkStream::Buffer
{
    explicit Buffer(qsizetype size)
        : bytes(
              static_cast<uchar *>(::operator new(size, std::align_val_t(pageSize), std::nothrow)))
    {
    }
    ~Buffer() { ::operator delete(bytes, std::align_val_t(pageSize)); }
    uchar *bytes;
};

ChunkStream::ChunkStream(QIODevice *device, const ChunkLimits &limits)
    : device(device), limits(limits)
{
    // Leftover bytes (less than one maximal chunk) move in front of the aligned
    // read position, so a chunk is always contiguous.
    const qsizetype front = (qsizetype(limits.maxSize) + pageSize - 1) / pageSize * pageSize;
    buffer = std::make_unique<Buffer>(front + readSize);
    begin = end = front;
}

ChunkStream::~ChunkStream() = default;

Status ChunkStream::fill()
{
    const qsizetype front = begin == end ? 0 : end - begin;
    const qsizetype readAt = (qsizetype(limits.maxSize) + pageSize - 1) / pageSize * pageSize;
    std::memmove(buffer->bytes + readAt - front, buffer->bytes + begin, size_t(front));
    begin = readAt - front;
    end = readAt;
    while (end < readAt + readSize) {
        const qint64 got =
            device->read(reinterpret_cast<char *>(buffer->bytes + end), readAt + readSize - end);
        if (got < 0)
            return Status::fail(Failure::Kind::FileSystem,
                                QStringLiteral("read failed: %1").arg(device->errorString()));
        if (got == 0) {
            atEnd = true;
            break;
        }
        end += got;
    }
    return {};
}

Result<QByteArrayView> ChunkStream::next()
{
    if (!buffer->bytes)
        return Result<QByteArrayView>::fail(Failure::Kind::Internal,
                                            QStringLiteral("out of memory"));
    if (!atEnd && (end - begin < limits.maxSize || begin == end)) {
        if (Status filled = fill(); !filled)
            return filled.failure();
    }
    const qsizetype length =
        limits.valid() ? chunkLength(buffer->bytes + begin, end - begin, limits) : end - begin;
    const QByteArrayView chunk(reinterpret_cast<const char *>(buffer->bytes + begin), length);
    begin += length;
    chunkOffset = nextOffset;
    nextOffset += length;
    return chunk;
}
