#include "installrecord.h"

#include "checksum.h"
#include "filekey.h"

#include <QtEndian>

#include <cstring>
#include <utility>

namespace {

// Layout, little-endian: magic, version, folder, build, count, entries, CRC-32 of
// all that comes before it. A string is a length and its UTF-8 bytes.
constexpr char magic[8] = {'L', 'N', 'C', 'H', 'R', 'E', 'C', '\n'};
constexpr quint32 version = 1;
// Key length (2), size, time, device, file (8 each), CRC-32 (4).
constexpr qsizetype fixedEntryBytes = 2 + 4 * 8 + 4;
constexpr qsizetype maxTextBytes = 64 * 1024;

template <typename T> void put(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

void putText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    put<quint32>(out, quint32(utf8.size()));
    out.append(utf8);
}

// Bounds-checked reading: a failed read leaves `ok` false and reads nothing more.
class Reader
{
public:
    explicit Reader(QByteArrayView bytes) : data(bytes) {}

    template <typename T> T get()
    {
        if (!ok || remaining() < qsizetype(sizeof(T))) {
            ok = false;
            return T();
        }
        const T value = qFromLittleEndian<T>(data.data() + at);
        at += sizeof(T);
        return value;
    }

    QString text(qsizetype length)
    {
        if (!ok || length > remaining() || length > maxTextBytes) {
            ok = false;
            return {};
        }
        const QString value = QString::fromUtf8(data.data() + at, length);
        at += length;
        return value;
    }

    qsizetype remaining() const { return data.size() - at; }
    bool ok = true;

private:
    QByteArrayView data;
    qsizetype at = 0;
};

} // namespace

InstallRecord::InstallRecord(QString folder, QString build)
    : folder(std::move(folder)), buildId(std::move(build))
{
}

const InstallRecord::File *InstallRecord::find(const QString &key) const
{
    const auto it = entries.constFind(key);
    return it == entries.constEnd() ? nullptr : &*it;
}

QString InstallRecord::pathOf(const QString &key) const
{
    QString path = folder + QLatin1Char('/');
    return path.append(fileKeyPath(key));
}

bool InstallRecord::recordFile(const QString &key, quint32 crc)
{
    const std::optional<platform::FileStat> stat =
        isNormalizedFileKey(key) ? platform::regularFileStat(pathOf(key)) : std::nullopt;
    if (!stat) {
        entries.remove(key);
        return false;
    }
    entries.insert(key, File{*stat, crc});
    return true;
}

bool InstallRecord::isUnchanged(const QString &key, const platform::FileStat &now) const
{
    const File *file = find(key);
    return file && file->stat == now;
}

bool InstallRecord::vouchesFor(const QString &key, quint32 crc) const
{
    const File *file = find(key);
    if (!file || file->crc != crc)
        return false;
    const std::optional<platform::FileStat> now = platform::regularFileStat(pathOf(key));
    return now && *now == file->stat;
}

QByteArray InstallRecord::serialize() const
{
    QByteArray out;
    out.reserve(64 + folder.size() + entries.size() * (fixedEntryBytes + 48));
    out.append(magic, sizeof magic);
    put<quint32>(out, version);
    putText(out, folder);
    putText(out, buildId);
    put<quint32>(out, quint32(entries.size()));
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        const QByteArray key = it.key().toUtf8();
        put<quint16>(out, quint16(key.size()));
        out.append(key);
        put<qint64>(out, it->stat.size);
        put<qint64>(out, it->stat.modified);
        put<quint64>(out, it->stat.device);
        put<quint64>(out, it->stat.file);
        put<quint32>(out, it->crc);
    }
    put<quint32>(out, crc32Update(0, out.constData(), out.size()));
    return out;
}

InstallRecord InstallRecord::parse(const QByteArray &bytes)
{
    constexpr qsizetype trailerBytes = 4;
    if (bytes.size() < qsizetype(sizeof magic) + trailerBytes ||
        std::memcmp(bytes.constData(), magic, sizeof magic) != 0)
        return {};
    const qsizetype bodyBytes = bytes.size() - trailerBytes;
    if (qFromLittleEndian<quint32>(bytes.constData() + bodyBytes) !=
        crc32Update(0, bytes.constData(), bodyBytes))
        return {};

    Reader in(QByteArrayView(bytes).sliced(sizeof magic, bodyBytes - qsizetype(sizeof magic)));
    if (in.get<quint32>() != version)
        return {};
    InstallRecord record;
    record.folder = in.text(in.get<quint32>());
    record.buildId = in.text(in.get<quint32>());
    const quint32 count = in.get<quint32>();
    // A count the bytes cannot hold would only reserve memory for nothing.
    if (!in.ok || record.folder.isEmpty() || count > quint64(in.remaining()) / fixedEntryBytes)
        return {};
    record.entries.reserve(qsizetype(count));
    for (quint32 i = 0; i < count; ++i) {
        const QString key = in.text(in.get<quint16>());
        File file;
        file.stat.size = in.get<qint64>();
        file.stat.modified = in.get<qint64>();
        file.stat.device = in.get<quint64>();
        file.stat.file = in.get<quint64>();
        file.crc = in.get<quint32>();
        // Removal trusts these keys: one that could lead elsewhere spoils the record.
        if (!in.ok || !isNormalizedFileKey(key) || file.stat.size < 0 ||
            record.entries.contains(key))
            return {};
        record.entries.insert(key, file);
    }
    if (!in.ok || in.remaining() != 0)
        return {};
    return record;
}
