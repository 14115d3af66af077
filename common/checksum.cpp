#include "checksum.h"

#include <QFile>

#include <cstdlib>
#include <memory>

#if defined(LAUNCHER_HAVE_ISAL)
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

namespace {

// Small enough to stay in a core's L2 cache between the read and the CRC pass,
// large enough that system calls cost nothing worth measuring.
constexpr qsizetype readBufferBytes = 1024 * 1024;
// Reads into buffers a few bytes past a page boundary run several times slower.
constexpr std::size_t readBufferAlignment = 4096;

struct FreeDeleter
{
    void operator()(void *p) const { std::free(p); }
};

// One buffer per thread, kept for the thread's life: verification calls this for
// thousands of small files, and a fresh multi-megabyte allocation each time
// would cost more than reading them.
char *threadReadBuffer()
{
    thread_local std::unique_ptr<char, FreeDeleter> buffer(
        static_cast<char *>(std::aligned_alloc(readBufferAlignment, readBufferBytes)));
    return buffer.get();
}

} // namespace

quint32 crc32Update(quint32 crc, const void *data, qsizetype size)
{
    if (size <= 0)
        return crc;
#if defined(LAUNCHER_HAVE_ISAL)
    return crc32_gzip_refl(crc, static_cast<const unsigned char *>(data), quint64(size));
#else
    return quint32(crc32_z(crc, static_cast<const Bytef *>(data), z_size_t(size)));
#endif
}

QString crc32Hex(quint32 crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

QString fileChecksum(const QString &path)
{
    char *buffer = threadReadBuffer();
    if (!buffer || path.isEmpty())
        return {};
    // Unbuffered: QFile's own buffer would add a copy of every byte.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    quint32 crc = 0;
    for (;;) {
        const qint64 got = file.read(buffer, readBufferBytes);
        if (got < 0)
            return {};
        if (got == 0)
            break;
        crc = crc32Update(crc, buffer, got);
    }
    return crc32Hex(crc);
}
