#include "checksum.h"

#include <QFile>

#include <memory>
#include <new>

#if defined(LAUNCHER_HAVE_ISAL)
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

namespace {

// Reads into buffers a few bytes past a page boundary run several times slower.
constexpr std::size_t readBufferAlignment = 4096;

struct AlignedDeleter
{
    void operator()(char *p) const { ::operator delete(p, std::align_val_t(readBufferAlignment)); }
};

} // namespace

// The size is small enough to stay in a core's L2 cache between the read and the
// CRC pass (1-4 MiB buffers measured a third slower here), large enough that
// system calls cost nothing worth measuring. One per thread: verification reads
// thousands of small files, and a fresh allocation each time would cost more.
char *checksumReadBuffer()
{
    thread_local std::unique_ptr<char, AlignedDeleter> buffer(static_cast<char *>(::operator new(
        checksumReadBufferBytes, std::align_val_t(readBufferAlignment), std::nothrow)));
    return buffer.get();
}

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

std::optional<quint32> parseCrc32Hex(QStringView text)
{
    if (text.size() != 8)
        return std::nullopt;
    quint32 crc = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const int digit = u >= u'0' && u <= u'9'   ? u - u'0'
                          : u >= u'a' && u <= u'f' ? u - u'a' + 10
                                                   : -1;
        if (digit < 0)
            return std::nullopt;
        crc = (crc << 4) | quint32(digit);
    }
    return crc;
}

QString fileChecksum(const QString &path)
{
    char *buffer = checksumReadBuffer();
    if (!buffer || path.isEmpty())
        return {};
    // Unbuffered: QFile's own buffer would add a copy of every byte.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    quint32 crc = 0;
    for (;;) {
        const qint64 got = file.read(buffer, checksumReadBufferBytes);
        if (got < 0)
            return {};
        if (got == 0)
            break;
        crc = crc32Update(crc, buffer, got);
    }
    return crc32Hex(crc);
}
