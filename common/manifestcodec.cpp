#include "manifestcodec.h"

#include "checksum.h"
#include "filekey.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QList>

#include <algorithm>
#include <numeric>

#include <zlib.h>

namespace {

DecodedManifest failure(ManifestError error, const QString &detail)
{
    DecodedManifest result;
    result.error = error;
    result.detail = detail;
    return result;
}

quint32 announcedSize(const QByteArray &body)
{
    const auto *p = reinterpret_cast<const uchar *>(body.constData());
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

// Same acceptance as qUncompress (zlib header required, bytes after the end of
// the stream ignored), but the output is capped whatever the framing announces:
// qUncompress would keep doubling its buffer for a lying size hint.
ManifestError inflateFramed(const QByteArray &body, QByteArray &out, QString &detail)
{
    z_stream stream{};
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(body.constData())) + 4;
    stream.avail_in = uInt(body.size() - 4);
    if (inflateInit(&stream) != Z_OK) {
        detail = QStringLiteral("zlib could not be initialised");
        return ManifestError::BadCompression;
    }
    constexpr qsizetype chunk = 256 * 1024;
    int status = Z_OK;
    while (status == Z_OK) {
        const qsizetype used = out.size();
        // One byte past the bound is enough to know the bound was crossed.
        const qsizetype room = qMin<qint64>(chunk, maxManifestDecodedBytes + 1 - used);
        if (room <= 0)
            break;
        out.resize(used + room);
        stream.next_out = reinterpret_cast<Bytef *>(out.data() + used);
        stream.avail_out = uInt(room);
        status = inflate(&stream, Z_NO_FLUSH);
        out.resize(used + room - qsizetype(stream.avail_out));
        // With room to write, Z_BUF_ERROR means the input ended before the stream.
    }
    inflateEnd(&stream);
    if (out.size() > maxManifestDecodedBytes) {
        detail = QStringLiteral("decompresses to more than %1 bytes").arg(maxManifestDecodedBytes);
        out.clear();
        return ManifestError::TooLarge;
    }
    if (status != Z_STREAM_END) {
        detail = status == Z_BUF_ERROR ? QStringLiteral("zlib stream is truncated")
                                       : QStringLiteral("zlib stream is corrupt");
        out.clear();
        return ManifestError::BadCompression;
    }
    return ManifestError::None;
}

// Hostile keys carry control characters; logs and terminals get them escaped.
QString printableKey(const QString &key)
{
    QString shown;
    for (const QChar c : key) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('\\'))
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

} // namespace

DecodedManifest decodeManifest(const QByteArray &body, platform::Os os)
{
    if (body.isEmpty())
        return failure(ManifestError::Empty, QStringLiteral("empty body"));
    if (body.size() > maxManifestBodyBytes)
        return failure(ManifestError::TooLarge,
                       QStringLiteral("body of %1 bytes is over the bound").arg(body.size()));
    if (body.size() < 4)
        return failure(ManifestError::BadCompression, QStringLiteral("shorter than its framing"));
    const quint32 announced = announcedSize(body);
    if (announced > maxManifestDecodedBytes)
        return failure(ManifestError::TooLarge,
                       QStringLiteral("framing announces %1 bytes").arg(announced));
    if (body.size() == 4) {
        // qUncompress's reading: four zero bytes are the framing of nothing.
        return announced == 0 ? failure(ManifestError::Empty, QStringLiteral("no content"))
                              : failure(ManifestError::BadCompression,
                                        QStringLiteral("framing without a zlib stream"));
    }

    QByteArray json;
    QString detail;
    const ManifestError inflated = inflateFramed(body, json, detail);
    if (inflated != ManifestError::None)
        return failure(inflated, detail);
    if (json.isEmpty())
        return failure(ManifestError::Empty, QStringLiteral("decompresses to nothing"));

    QJsonParseError parseError{};
    parseError.error = QJsonParseError::NoError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    json.clear();
    if (parseError.error != QJsonParseError::NoError)
        return failure(ManifestError::NotJson, parseError.errorString());
    if (!document.isObject() || document.object().isEmpty())
        return failure(ManifestError::NotJson,
                       QStringLiteral("top level is not a non-empty object"));
    const QJsonObject top = document.object();
    const QJsonValue filesValue = top.value(QLatin1String("files"));
    if (!filesValue.isObject())
        return failure(ManifestError::NoFiles, QStringLiteral("no \"files\" object"));

    const auto unsafe = [](const QString &key) {
        return failure(ManifestError::UnsafeKey,
                       QStringLiteral("unsafe file key \"%1\"").arg(printableKey(key)));
    };

    DecodedManifest result;
    const QJsonObject files = filesValue.toObject();
    QStringList keys; // as normalised, one per entry: spellings of one file meet below
    keys.reserve(files.size() + 1);
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QString spelled = it.key();
        // Checked before the entry is judged: a hostile name refuses the manifest
        // even on an entry that would be dropped.
        if (!isSafeFileKey(spelled))
            return unsafe(spelled);
        const QJsonObject entry = it.value().toObject();
        if (!entry.contains(QLatin1String("checksum")) || !entry.contains(QLatin1String("size")))
            continue;
        // Shared, not copied, when it is spelled right already.
        const QString key = isNormalizedFileKey(spelled) ? spelled : normalizedFileKey(spelled);
        keys.append(key);
        // An entry already in the table's form is shared rather than built again.
        const QJsonValue size = entry.value(QLatin1String("size"));
        if (entry.size() == 2 && entry.value(QLatin1String("checksum")).isString() &&
            size.isDouble() && double(size.toInteger(-1)) == size.toDouble()) {
            result.files.insert(key, it.value());
            continue;
        }
        result.files.insert(key, QJsonObject{{QStringLiteral("checksum"),
                                              entry.value(QLatin1String("checksum")).toString()},
                                             {QStringLiteral("size"),
                                              entry.value(QLatin1String("size")).toInteger(0)}});
    }

    if (top.contains(QLatin1String("binary"))) {
        const QJsonObject binary = top.value(QLatin1String("binary")).toObject();
        const QString spelled = binary.value(QLatin1String("file")).toString();
        if (!isSafeFileKey(spelled))
            return unsafe(spelled);
        // It replaces the entry of its own key.
        const QString key = normalizedFileKey(spelled);
        if (!result.files.contains(key))
            keys.append(key);
        // The size stays text, so every size reader takes it as 0.
        result.files.insert(key, QJsonObject{{QStringLiteral("checksum"),
                                              binary.value(QLatin1String("checksum")).toString()},
                                             {QStringLiteral("size"),
                                              binary.value(QLatin1String("size")).toString()}});
    }
    const QString clash = sameFileClash(keys, os);
    if (!clash.isEmpty())
        return failure(ManifestError::SameFile, clash);
    result.build = crc32Hex(crc32Update(0, body.constData(), body.size()));
    return result;
}

QString sameFileClash(const QStringList &keys, platform::Os os)
{
    // Sorted by identity, one file's spellings meet, and the keys below a folder
    // follow the folder's own name and a "/" (filekey.h).
    QStringList identities;
    QList<qsizetype> order;
    identities.reserve(keys.size());
    order.reserve(keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (fileKeyPath(keys[i]).isEmpty())
            continue;
        identities.append(fileKeyIdentity(keys[i], os));
        order.append(i);
    }
    // A manifest's keys come sorted already; letter case folded may not be.
    if (!std::is_sorted(identities.cbegin(), identities.cend())) {
        QList<qsizetype> byIdentity(identities.size());
        std::iota(byIdentity.begin(), byIdentity.end(), 0);
        std::sort(byIdentity.begin(), byIdentity.end(), [&identities](qsizetype a, qsizetype b) {
            return identities[a] < identities[b];
        });
        QStringList sortedIdentities;
        QList<qsizetype> sortedOrder;
        for (const qsizetype i : std::as_const(byIdentity)) {
            sortedIdentities.append(identities[i]);
            sortedOrder.append(order[i]);
        }
        identities.swap(sortedIdentities);
        order.swap(sortedOrder);
    }
    for (qsizetype i = 1; i < identities.size(); ++i) {
        if (identities[i] == identities[i - 1])
            return QStringLiteral("\"%1\" and \"%2\" name the same file")
                .arg(printableKey(keys[order[i - 1]]), printableKey(keys[order[i]]));
    }
    for (qsizetype i = 0; i < identities.size(); ++i) {
        const QString folder = identities[i] + QLatin1Char('/');
        const auto below = std::lower_bound(identities.cbegin() + i + 1, identities.cend(), folder);
        if (below != identities.cend() && below->startsWith(folder))
            return QStringLiteral("\"%1\" is a file and also a folder of \"%2\"")
                .arg(printableKey(keys[order[i]]),
                     printableKey(keys[order[below - identities.cbegin()]]));
    }
    return {};
}

QByteArray encodeManifest(const QJsonObject &files)
{
    const QJsonObject top{{QStringLiteral("files"), files}};
    return qCompress(QJsonDocument(top).toJson(QJsonDocument::Compact));
}
