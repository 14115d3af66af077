#pragma once

#include <QByteArray>
#include <QString>

// What a file left in staging by an earlier run (a killed process, a lost
// connection) is worth to a new download of the same key.
struct StagedStart
{
    enum class Kind
    {
        Fresh,   // nothing usable: download the whole file
        Resume,  // a shorter prefix: ask for the rest
        Complete // already the published file: nothing to download
    };
    Kind kind = Kind::Fresh;
    qint64 bytes = 0; // staged bytes kept
    quint32 crc = 0;  // running CRC-32 of those bytes
};

// A file at or above the manifest size is checked whole, never resumed.
StagedStart inspectStagedFile(const QString &path, qint64 expectedSize, const QString &checksum);

// How the answer to a request from byte `rangeStart` on is written.
enum class RangeAnswer
{
    Append,  // 206 for exactly the bytes asked for
    Restart, // a whole body (200): the staged bytes are dropped
    Refused  // anything else that is not an error page: unusable for this file
};

RangeAnswer classifyRangeAnswer(int status, const QByteArray &contentRange, qint64 rangeStart);
