#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The patch server's manifest: Qt's compression framing (4-byte big-endian
// length, then a zlib stream) around a JSON object whose "files" member maps
// file keys to { "checksum": 8 hex digits, "size": bytes }, plus an optional
// "binary" object { "file", "checksum", "size" (read as text) }.

// Bounds on what a hostile body may make us do.
constexpr qint64 maxManifestBodyBytes = 64LL * 1024 * 1024;
constexpr qint64 maxManifestDecodedBytes = 512LL * 1024 * 1024;

enum class ManifestError
{
    None,
    Empty,          // no body, or it decompresses to nothing
    TooLarge,       // body or announced decoded size over the bounds above
    BadCompression, // wrong framing or corrupt zlib stream (gzip files included)
    NotJson,        // invalid JSON, or a top level that is not a non-empty object
    NoFiles,        // "files" missing or not an object
    UnsafeKey,      // a key that fails isSafeFileKey (see filekey.h)
    SameFile,       // two keys name one file, or one file is the folder of another
};

struct DecodedManifest
{
    ManifestError error = ManifestError::None;
    QString detail; // for logs and tools: which key, what went wrong
    // Normalised key (filekey.h) -> { "checksum": string, "size": int64 (text for "binary") }
    QJsonObject files;
    QString build; // the body's own CRC-32: which build of the game it describes

    bool ok() const { return error == ManifestError::None; }
};

// Entries lacking "checksum" or "size" are dropped; a non-integral or non-number
// size reads as 0; "binary" replaces a "files" entry of the same key and keeps
// its size as text. Any refused key refuses the whole manifest, and so do two
// entries that one folder cannot hold side by side on `os`.
DecodedManifest decodeManifest(const QByteArray &body, platform::Os os = platform::hostOs());

// Empty when one folder on `os` can hold a file at every one of the normalised
// `keys`; otherwise which two cannot stand side by side (two spellings of one
// file, or a file that another key needs as a folder).
QString sameFileClash(const QStringList &keys, platform::Os os);

// The publishing side: `files` as above, framed and compressed.
QByteArray encodeManifest(const QJsonObject &files);
