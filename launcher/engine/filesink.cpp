#include "filesink.h"

#include "checksum.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Large enough that a file of up to this size reaches the disk in one write
// (and needs no resume record at all), small enough to keep one per transfer.
constexpr qint64 blockBytes = 1024 * 1024;
constexpr std::size_t blockAlignment = 4096;

} // namespace

void FileSink::FreeDeleter::operator()(char *data) const
{
    std::free(data);
}

FileSink::FileSink() = default;

FileSink::~FileSink()
{
    close();
}

QString FileSink::writeFailedMessage()
{
    return QStringLiteral("Failed to write download data to file");
}

QString FileSink::verificationFailedMessage()
{
    return QStringLiteral("File verification failed");
}

Status FileSink::open(const QString &path, qint64 sizeLimit, qint64 keepBytes, quint32 keptCrc)
{
    close();
    limit = sizeLimit;
    written = 0;
    gathered = 0;
    runningCrc = 0;
    file.setFileName(path);
    // Unbuffered: the block below is the only copy between the socket and the file.
    const QIODevice::OpenMode mode =
        keepBytes > 0 ? QIODevice::ReadWrite : QIODevice::WriteOnly | QIODevice::Truncate;
    if (!file.open(mode | QIODevice::Unbuffered) ||
        (keepBytes > 0 && (!file.resize(keepBytes) || !file.seek(keepBytes)))) {
        file.close();
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("Could not create temporary file for download"));
    }
    written = keepBytes;
    runningCrc = keptCrc;
    if (!block) {
        block.reset(static_cast<char *>(std::aligned_alloc(blockAlignment, blockBytes)));
        if (!block)
            qFatal("Out of memory for the download buffer");
    }
    return {};
}

Status FileSink::restart()
{
    gathered = 0;
    runningCrc = 0;
    written = 0;
    if (!file.resize(0) || !file.seek(0))
        return Status::fail(Failure::Kind::FileSystem, writeFailedMessage());
    return {};
}

Status FileSink::append(const char *data, qint64 size)
{
    if (size <= 0)
        return {};
    if (limit >= 0 && this->size() + size > limit)
        return Status::fail(Failure::Kind::InvalidData, verificationFailedMessage());
    runningCrc = crc32Update(runningCrc, data, size);
    while (size > 0) {
        if (gathered == 0 && size >= blockBytes) {
            // A whole block's worth needs no copy.
            const qint64 direct = size - size % blockBytes;
            if (beforeFirstWrite) {
                if (const Status hook = std::exchange(beforeFirstWrite, {})(); !hook)
                    return hook;
            }
            if (file.write(data, direct) != direct)
                return Status::fail(Failure::Kind::FileSystem, writeFailedMessage());
            written += direct;
            data += direct;
            size -= direct;
            continue;
        }
        const qint64 take = qMin(size, blockBytes - gathered);
        std::memcpy(block.get() + gathered, data, size_t(take));
        gathered += take;
        data += take;
        size -= take;
        if (gathered == blockBytes) {
            if (beforeFirstWrite) {
                if (const Status hook = std::exchange(beforeFirstWrite, {})(); !hook)
                    return hook;
            }
            if (const Status flushed = flush(); !flushed)
                return flushed;
        }
    }
    return {};
}

Status FileSink::flush()
{
    if (gathered > 0) {
        if (file.write(block.get(), gathered) != gathered)
            return Status::fail(Failure::Kind::FileSystem, writeFailedMessage());
        written += gathered;
        gathered = 0;
    }
    return {};
}

Status FileSink::finish()
{
    beforeFirstWrite = {}; // complete: nothing left to resume
    Status flushed = flush();
    const bool intact = flushed && file.size() == written;
    file.close();
    if (!flushed)
        return flushed;
    if (!intact || file.error() != QFileDevice::NoError)
        return Status::fail(Failure::Kind::FileSystem, writeFailedMessage());
    return {};
}

void FileSink::close()
{
    if (!file.isOpen())
        return;
    // Kept for a resume only when its record could be written first.
    if (gathered > 0 && beforeFirstWrite)
        (void)std::exchange(beforeFirstWrite, {})();
    (void)flush();
    file.close();
}
