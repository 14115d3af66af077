#include "partrecord.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

constexpr qint64 maxRecordBytes = 16 * 1024;

} // namespace

PartRecord::PartRecord(const QString &folder, const QString &key)
{
    // Named by a hash: a key never becomes a path of its own here.
    if (!folder.isEmpty())
        path = folder + QLatin1Char('/') +
               QString::fromLatin1(
                   QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex());
}

QByteArray PartRecord::read(const QByteArray &url) const
{
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.read(maxRecordBytes).split('\n');
    if (lines.size() < 2 || lines.at(0) != url)
        return {};
    return lines.at(1);
}

Status PartRecord::write(const QByteArray &url, const QByteArray &validator) const
{
    if (path.isEmpty() || validator.isEmpty()) {
        remove();
        return {};
    }
    // Whole or not at all: a torn record must not pass for a validator.
    QSaveFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly) ||
        file.write(url + '\n' + validator + '\n') < 0 || !file.commit())
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("Failed to write download data to file"));
    return {};
}

void PartRecord::remove() const
{
    if (!path.isEmpty())
        QFile::remove(path);
}
