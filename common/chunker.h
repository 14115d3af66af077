#pragma once

#include "result.h"

#include <QByteArrayView>
#include <QIODevice>

#include <memory>

// Content-defined chunking: a boundary falls where a rolling hash of the last 64
// bytes matches a pattern, so an insertion or removal moves only the boundaries
// near it and the chunks after it come out the same as before. The publishing
// tool and the launcher cut with this one routine, so equal bytes give equal
// chunks on both sides.

struct ChunkLimits
{
    qint32 minSize = 0;
    qint32 averageSize = 0; // a power of two
    qint32 maxSize = 0;

    // Minimum a quarter, maximum four times the average.
    static ChunkLimits forAverage(qint32 averageSize);
    bool valid() const;
    bool operator==(const ChunkLimits &other) const
    {
        return minSize == other.minSize && averageSize == other.averageSize &&
               maxSize == other.maxSize;
    }
};

// Chosen from the update benchmark: see README ("What the chunk store costs").
constexpr qint32 defaultChunkAverage = 64 * 1024;

// Bounds of what an index may declare; the cutter refuses nothing inside them.
constexpr qint32 smallestChunkAverage = 1024;
constexpr qint32 largestChunkMax = 16 * 1024 * 1024;

// Length of the chunk starting at data[0]. `size` must reach limits.maxSize unless
// the data ends earlier (then the last chunk ends with it).
qsizetype chunkLength(const uchar *data, qsizetype size, const ChunkLimits &limits);

// Reads a device from its current position and hands out its chunks in order;
// with limits that are not valid (ChunkLimits{}), plain pieces of up to 4 MiB.
class ChunkStream final
{
public:
    ChunkStream(QIODevice *device, const ChunkLimits &limits);
    ~ChunkStream();
    ChunkStream(const ChunkStream &) = delete;
    ChunkStream &operator=(const ChunkStream &) = delete;

    // The next chunk's bytes, valid until the next call; empty at the end.
    Result<QByteArrayView> next();
    // Where the chunk last returned starts in the device.
    qint64 offset() const { return chunkOffset; }

private:
    Status fill();

    QIODevice *device;
    ChunkLimits limits;
    struct Buffer;
    std::unique_ptr<Buffer> buffer;
    qsizetype begin = 0; // first byte not yet handed out
    qsizetype end = 0;   // one past the last byte read
    bool atEnd = false;
    qint64 chunkOffset = 0;
    qint64 nextOffset = 0;
};
