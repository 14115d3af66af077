#include "stagedfile.h"

#include "checksum.h"

#include <QFile>
#include <QFileInfo>

StagedStart inspectStagedFile(const QString &path, qint64 expectedSize, const QString &checksum)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.size() <= 0 || expectedSize <= 0)
        return {};
    QFile file(path);
    char *const buffer = checksumReadBuffer();
    if (!buffer || !file.open(QIODevice::ReadOnly))
        return {};

    StagedStart start;
    for (;;) {
        const qint64 length = file.read(buffer, checksumReadBufferBytes);
        if (length < 0)
            return {};
        if (length == 0)
            break;
        start.bytes += length;
        // Past the manifest size the file cannot be the published one.
        if (start.bytes > expectedSize)
            return {};
        start.crc = crc32Update(start.crc, buffer, length);
    }
    if (start.bytes < expectedSize) {
        start.kind = StagedStart::Kind::Resume;
        return start;
    }
    if (crc32Hex(start.crc) == checksum) {
        start.kind = StagedStart::Kind::Complete;
        return start;
    }
    return {};
}

RangeAnswer classifyRangeAnswer(int status, const QByteArray &contentRange, qint64 rangeStart)
{
    if (status == 200)
        return RangeAnswer::Restart;
    if (status != 206)
        return RangeAnswer::Refused;
    // "bytes FIRST-LAST/TOTAL": only a range that starts where the file ends is usable.
    const QByteArray value = contentRange.trimmed();
    if (!value.startsWith("bytes "))
        return RangeAnswer::Refused;
    const qsizetype dash = value.indexOf('-');
    bool ok = false;
    const qint64 first = value.mid(6, dash - 6).trimmed().toLongLong(&ok);
    return ok && dash > 6 && first == rangeStart ? RangeAnswer::Append : RangeAnswer::Refused;
}
