#pragma once

#include "result.h"

#include <QFile>
#include <QString>

#include <functional>
#include <memory>

// Writes one download into its staging file on the transfer thread: the bytes
// are gathered into large blocks, their CRC-32 taken on the way, and never more
// than the entry's declared size reaches the disk.
class FileSink final
{
public:
    FileSink();
    ~FileSink();
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;

    // Opens `path`, keeping its first `keepBytes` (whose CRC is `keptCrc`) and
    // dropping the rest. `limit` is the most the whole file may hold; below 0 none.
    Status open(const QString &path, qint64 limit, qint64 keepBytes = 0, quint32 keptCrc = 0);

    // Runs once before the first block reaches the disk while the file is still
    // incomplete (the resume record must exist before the part it describes).
    void setBeforeFirstWrite(std::function<Status()> hook) { beforeFirstWrite = std::move(hook); }

    // Starts the file over from its first byte.
    Status restart();
    Status append(const char *data, qint64 size);
    // Writes what is gathered and closes; the file on disk must hold exactly size() bytes.
    Status finish();
    // Writes what is gathered and closes, keeping the part for a later resume.
    void close();

    qint64 size() const { return written + gathered; }
    quint32 crc() const { return runningCrc; }
    bool isOpen() const { return file.isOpen(); }

    static QString writeFailedMessage();
    static QString verificationFailedMessage();

private:
    Status flush();

    struct FreeDeleter
    {
        void operator()(char *data) const;
    };

    QFile file;
    std::unique_ptr<char, FreeDeleter> block;
    std::function<Status()> beforeFirstWrite;
    qint64 limit = -1;
    qint64 written = 0;  // bytes on disk
    qint64 gathered = 0; // bytes waiting in the block
    quint32 runningCrc = 0;
};
