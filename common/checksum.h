#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

// CRC-32 as the patch server publishes it: reflected polynomial 0xEDB88320,
// initial value all ones, final complement (the zlib / PNG / gzip CRC).

// Continues `crc` (start with 0) over `size` bytes.
quint32 crc32Update(quint32 crc, const void *data, qsizetype size);

// Exactly 8 lower-case hexadecimal digits.
QString crc32Hex(quint32 crc);

// The CRC-32 written as crc32Hex writes it (8 lower-case digits); nothing for any
// other text, which no file's checksum equals.
std::optional<quint32> parseCrc32Hex(QStringView text);

// CRC-32 of a file's contents as 8 lower-case hex digits, or the empty string
// when the file cannot be opened or read (a folder, a missing file). Safe to
// call from many threads at once.
QString fileChecksum(const QString &path);

// Reading files for a checksum: a page-aligned buffer of checksumReadBufferBytes owned by
// the calling thread and kept for its life (null only when memory ran out).
constexpr qsizetype checksumReadBufferBytes = 256 * 1024;
char *checksumReadBuffer();
