#include "ownedfiles.h"

#include "checksum.h"
#include "filekey.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>

namespace {

QString joined(const QString &folder, QStringView relative)
{
    QString path = folder + QLatin1Char('/');
    return path.append(relative);
}

QString refusal(const QString &path)
{
    return QStringLiteral("The update cannot replace %1, which was not installed by the "
                          "launcher. Please move it out of the game folder and try again.")
        .arg(QDir::toNativeSeparators(path));
}

} // namespace

bool isLaunchersFile(const InstallRecord &record, const QString &key)
{
    const InstallRecord::File *file = record.find(key);
    if (!file)
        return false;
    const QString path = record.pathOf(key);
    const std::optional<platform::FileStat> now = platform::regularFileStat(path);
    if (!now)
        return false;
    return *now == file->stat ||
           (now->size == file->stat.size && fileChecksum(path) == crc32Hex(file->crc));
}

OwnedFiles ownedFiles(const InstallRecord &record, const QJsonObject &manifest,
                      const QString &folder)
{
    OwnedFiles owned;
    if (!record.isEmpty()) {
        for (auto it = record.files().constBegin(); it != record.files().constEnd(); ++it)
            (isLaunchersFile(record, it.key()) ? owned.keys : owned.changed).append(it.key());
        return owned;
    }
    for (auto it = manifest.constBegin(); it != manifest.constEnd(); ++it) {
        if (!isNormalizedFileKey(it.key()))
            continue;
        const QJsonObject entry = it.value().toObject();
        const QString path = joined(folder, fileKeyPath(it.key()));
        const std::optional<platform::FileStat> now = platform::regularFileStat(path);
        if (!now)
            continue;
        const bool same = now->size == entry.value(QLatin1String("size")).toInteger(-1) &&
                          fileChecksum(path) == entry.value(QLatin1String("checksum")).toString();
        (same ? owned.keys : owned.changed).append(it.key());
    }
    return owned;
}

OwnedFiles droppedFiles(const InstallRecord &record, const QJsonObject &manifest)
{
    OwnedFiles dropped;
    for (auto it = record.files().constBegin(); it != record.files().constEnd(); ++it) {
        if (manifest.contains(it.key()))
            continue;
        const std::optional<platform::FileStat> now =
            platform::regularFileStat(record.pathOf(it.key()));
        if (!now)
            continue; // already gone
        (*now == it->stat ? dropped.keys : dropped.changed).append(it.key());
    }
    return dropped;
}

Result<QStringList> entriesInTheWay(const QStringList &keys, const InstallRecord &record,
                                    const QString &folder)
{
    QStringList inTheWay;
    QSet<QString> seen;
    const auto claim = [&](const QString &key) -> bool {
        if (seen.contains(key))
            return true;
        seen.insert(key);
        if (!isLaunchersFile(record, key))
            return false;
        inTheWay.append(fileKeyPath(key).toString());
        return true;
    };
    for (const QString &key : keys) {
        const QStringView relative = fileKeyPath(key);
        // A file where one of its folders must be.
        for (qsizetype slash = relative.indexOf(QLatin1Char('/')); slash > 0;
             slash = relative.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString parent = joined(folder, relative.left(slash));
            const QFileInfo info(parent);
            if (!info.exists() && !info.isSymLink())
                break;
            if (info.isDir() && !info.isSymLink())
                continue;
            if (!claim(QLatin1Char('/') + relative.left(slash).toString()))
                return Result<QStringList>::fail(Failure::Kind::Refused, refusal(parent));
            break;
        }
        // A folder where the file must be: everything in it must be ours.
        const QString path = joined(folder, relative);
        const QFileInfo info(path);
        if (!info.isDir() || info.isSymLink())
            continue;
        QDirIterator it(path,
                        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System |
                            platform::everyFileFilter(),
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString inside = it.next();
            if (it.fileInfo().isDir() && !it.fileInfo().isSymLink())
                continue;
            const QString insideKey = key + QLatin1Char('/') + QDir(path).relativeFilePath(inside);
            if (!claim(insideKey))
                return Result<QStringList>::fail(Failure::Kind::Refused, refusal(inside));
        }
    }
    return inTheWay;
}
